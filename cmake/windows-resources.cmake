# The Windows executable's resources (resources/tav_setup.rc.in): the icon, made at build time
# from the same drawing the main window shows (resources/xpm_to_ico.py), the manifest (common
# controls 6, no elevation) and the version, TAV_RELEASE, which also names the package that
# `make windows-package` writes (scripts/windows-package).
set(TAV_RELEASE "25.01.046" CACHE STRING "The newest TAV release whose conversions the tool carries")
string(REPLACE "." ";" tav_release_parts "${TAV_RELEASE}")
set(tav_numbers)
foreach(p ${tav_release_parts})
  math(EXPR n "${p}")  # "01" is 1, "046" is 46
  list(APPEND tav_numbers ${n})
endforeach()
list(APPEND tav_numbers 0)
list(JOIN tav_numbers "," TAV_VERSION_COMMAS)
list(JOIN tav_numbers "." TAV_VERSION_DOTS)

enable_language(RC)
set(TAV_ICON ${CMAKE_BINARY_DIR}/resources/tav_setup.ico)
set(TAV_MANIFEST ${CMAKE_BINARY_DIR}/resources/tav_setup.manifest)
configure_file(${CMAKE_SOURCE_DIR}/resources/tav_setup.manifest ${TAV_MANIFEST} @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/tav_setup.rc.in ${CMAKE_BINARY_DIR}/resources/tav_setup.rc @ONLY)
add_custom_command(OUTPUT ${TAV_ICON}
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/resources/xpm_to_ico.py
          ${CMAKE_SOURCE_DIR}/resources/icon_100.xpm ${TAV_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/xpm_to_ico.py ${CMAKE_SOURCE_DIR}/resources/icon_100.xpm
  COMMENT "The executable's icon from icon_100.xpm")
set_source_files_properties(${CMAKE_BINARY_DIR}/resources/tav_setup.rc PROPERTIES
  OBJECT_DEPENDS "${TAV_ICON};${TAV_MANIFEST}")
target_sources(tav_setup PRIVATE ${CMAKE_BINARY_DIR}/resources/tav_setup.rc)
