# The test suites of the Windows build, run by CTest under wine64 (scripts/wine-run, the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR): one Wine process per suite, since Wine's start-up
# costs a second or more per process. A file left out here is Linux by nature; the reason stands
# beside it. docs/platforms.md lists them.

tav_test(runtime DEPS tav_runtime)
tav_test(expr    DEPS tav_expr)
tav_test(index   DEPS tav_index)
tav_test(gui     DEPS tav_gui)
# The os suite of the Windows backend (os/windows/); the Linux files test the drive map, the
# registry store files, /proc, xattrs and lnkinfo run as a Linux program.
tav_test(os DEPS tav_engine EXCLUDE
  files_test.cpp         # the drive map and user.DOSATTRIB extended attributes
  path_test.cpp          # the drive map, dosdevices links and the mount table
  process_test.cpp       # /proc and processes started with posix_spawn
  registry_test.cpp      # the registry store files, flock and forked writers
  shelllink_test.cpp     # lnkinfo run as a Linux program (the e2e run reads the .exe's links with it)
  system_info_test.cpp   # the host name through setenv/gethostname
  wine_registry_test.cpp # Wine's registry files, written by the Linux build into a prefix
)

# The whole tool under Wine, read back by Linux's independent readers, and the same upgrade by
# both builds compared (scripts/wine-e2e; needs the Linux build's mkrelease and tav_setup).
set(TAV_LINUX_BUILD ${CMAKE_SOURCE_DIR}/build CACHE PATH "The Linux build the Windows e2e compares with")
add_test(NAME e2e_wine COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-e2e ${CMAKE_BINARY_DIR} ${TAV_LINUX_BUILD})
set_tests_properties(e2e_wine PROPERTIES TIMEOUT 1200 SKIP_RETURN_CODE 77)
