# The test suites of the Windows build, run by CTest under wine64 (scripts/wine-run, the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR): one Wine process per suite, since Wine's start-up
# costs a second or more per process. A file left out here is Linux by nature; the reason stands
# beside it. docs/platforms.md lists them.

tav_test(runtime DEPS tav_runtime)
tav_test(expr    DEPS tav_expr)
tav_test(index   DEPS tav_index)
tav_test(gui     DEPS tav_gui)
tav_test(engine  DEPS tav_engine EXCLUDE
  crash_test.cpp         # kills forked children in the middle of a write (fork, waitpid)
  locks_test.cpp         # a second process holding locks, made with fork
  pack_test.cpp          # runs dbftool and python3 through popen
)
# Read a table's file behind the engine while the table is open exclusively (Linux lets another
# open read it, Windows refuses every other open of a file held that way), and the second reads
# the memos back with python3's dbfread, a Linux program.
set_tests_properties(engine PROPERTIES ENVIRONMENT
  "GTEST_FILTER=-WorkAreaTest.MemoReplacedInPlaceWhenItFitsAndMovedWhenItGrows:WorkAreaTest.AMemoOutgrowingItsBlocksMovesAndTheNextMemoReadsBackUnchanged")
# The subsystems' suites work on drive C: through TempDriveMap: under Wine the prefix's own C:,
# whatever a test made at its root taken away after it.
tav_test(db      DEPS tav_db EXCLUDE
  database_test_test.cpp   # permission bits and geteuid decide what the disk test may write
  indexing_test.cpp        # chmod's read-only bits, dbftool and python3 through std::system
  structure_change_test.cpp  # chmod's read-only bits on a table and its memo
  table_access_test.cpp    # a second process holding a table, made with fork
  workstation_name_test.cpp  # the host name through setenv and gethostname
  xbpreg_test.cpp          # the registry store files of a TAV_PREFIX (the os suite has the API)
)
# Network shares mapped into the drive map, and a symbolic link inside a tree (Wine makes none).
set_tests_properties(db PROPERTIES ENVIRONMENT
  "GTEST_FILTER=-DirectoriesTest.MakedirRelativeAndNetworkPaths:DirectoriesTest.DelAllDirDoesNotFollowLinks")
# The subsystems' suites write their sample trees with this build's mkrelease.exe and look into
# tables with its dbftool.exe (tests/support/programs.h), both started under the same Wine.
tav_test(convert DEPS tav_convert)
# upgrade_run_test.cpp's TheNewVersionRecordArrivesSayingIncomplete forks the run to have it killed
# by the fault seam at a rename: it is built on Linux only. Its jobs case runs with one job here
# (no worker processes on Windows).
tav_test(upgrade DEPS tav_upgrade)
tav_test(install DEPS tav_install)
# The tools' suite runs dbftool.exe and mkrelease.exe; the comparisons of dbftool's dumps with
# dbfread and python-dbf, the tables python-dbf writes, and dbfread's reading of a whole sample
# database are Python programs: those cases of dbftool_test.cpp and mkrelease_generator_test.cpp
# are built on Linux only (#ifndef _WIN32).
tav_test(tools DEPS tav_system)
if(TARGET mkrelease_gen AND TARGET test_tools)
  target_link_libraries(test_tools PRIVATE mkrelease_gen)
endif()

# The os suite of the Windows backend (os/windows/); the Linux files test the drive map, the
# registry store files, /proc, xattrs and lnkinfo run as a Linux program.
tav_test(os DEPS tav_engine EXCLUDE
  children_in_order_test.cpp  # child processes are copies made with fork (none on Windows)
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

tav_tests_run_tools(test_db test_upgrade test_convert test_tools test_install test_os)

# The suites that work on drive C: share the prefix's one C:, and a test takes away whatever was
# made at its root while it ran (TempDriveMap): they run one at a time.
set_tests_properties(db os convert upgrade install PROPERTIES RESOURCE_LOCK wine_drive_c)

# The screens of tav_setup.exe under wine64 on Xvfb, driven by keys and clicks, their photographs
# beside the Linux screenshot tests' in the Linux build's artifacts (scripts/wine-gui); and the
# package an office runs, unpacked and read back (tests/e2e/windows_package_test.py).
# The screens the Linux gallery photographs alone (a notice, the progress bar), each shown by
# screens_gallery.exe until gui_wine has photographed it: a test program, never packaged. It
# carries the tool's manifest, so the windows look as the tool's own.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/screens_gallery.rc CONTENT "1 24 \"${TAV_MANIFEST}\"\n")
add_executable(screens_gallery e2e/windows/screens_gallery.cpp ${CMAKE_CURRENT_BINARY_DIR}/screens_gallery.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/screens_gallery.rc PROPERTIES OBJECT_DEPENDS ${TAV_MANIFEST})
target_link_libraries(screens_gallery PRIVATE tav_dialogs)
target_include_directories(screens_gallery PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME gui_wine COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-gui ${CMAKE_BINARY_DIR} ${TAV_LINUX_BUILD})
set_tests_properties(gui_wine PROPERTIES TIMEOUT 1500 SKIP_RETURN_CODE 77)
add_test(NAME windows_package COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/windows_package_test.py
  ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(windows_package PROPERTIES TIMEOUT 300)
