# Cross-compiling the tool for 64-bit Windows with Debian's mingw-w64 (posix threads, so that
# std::thread and std::mutex work as on Linux). Everything is linked statically: the .exe files
# import nothing but Windows' own DLLs, and a program that needs libstdc++ or libgcc DLLs ends
# silently under Wine. Tests run through scripts/wine-run (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAV_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAV_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAV_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TAV_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TAV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
