# Cross-compiling this project for 64-bit Windows with MinGW-w64: the
# toolchain file that the CMake package installs for applications, and the
# Wine that runs the tests. The posix thread model is used for everything:
# GoogleTest needs std::mutex.
include(${CMAKE_CURRENT_LIST_DIR}/package/mingw-w64-x86_64.cmake)

# Tests run under Wine in the build's private prefix. A persistent wineserver
# (started by scripts/test.sh) keeps each start at a few tens of milliseconds.
if(NOT CMAKE_HOST_WIN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${ONEFILE_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine)
endif()
