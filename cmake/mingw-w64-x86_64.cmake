# Cross-compiling for 64-bit Windows with MinGW-w64. The posix thread model is
# used for everything: GoogleTest needs std::mutex, and with -static the
# programs still import nothing but system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ONEFILE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ONEFILE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ONEFILE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ONEFILE_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ONEFILE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run under Wine in the build's private prefix. A persistent wineserver
# (started by scripts/test.sh) keeps each start at a few tens of milliseconds.
if(NOT CMAKE_HOST_WIN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${ONEFILE_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine)
endif()
