# Real windows come from FLTK 1.3 when it is installed (Debian libfltk1.3-dev); without it the
# tool still builds and runs with the headless backend only.
find_path(TAV_FLTK_INCLUDE FL/Fl.H)
find_library(TAV_FLTK_LIBRARY fltk)
find_package(X11 QUIET)
if(TAV_FLTK_INCLUDE AND TAV_FLTK_LIBRARY AND X11_FOUND AND TARGET tav_gui)
  get_target_property(tav_gui_type tav_gui TYPE)
  if(NOT tav_gui_type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(tav_gui SYSTEM PRIVATE ${TAV_FLTK_INCLUDE})
    target_link_libraries(tav_gui PUBLIC ${TAV_FLTK_LIBRARY} ${X11_LIBRARIES})
    target_compile_definitions(tav_gui PRIVATE TAV_HAVE_FLTK=1)
    message(STATUS "GUI: FLTK backend (${TAV_FLTK_LIBRARY})")
  endif()
endif()
