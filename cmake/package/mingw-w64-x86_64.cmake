# Building for 64-bit Windows with MinGW-w64 on Linux (Debian's
# g++-mingw-w64-x86-64), installed with the CMake package so that an
# application's project can name it:
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=<prefix>/share/cmake/onefile/mingw-w64-x86_64.cmake ...
#
# The posix thread model, which std::thread and std::mutex need; linked
# with -static, programs and DLLs still import nothing but system DLLs.
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
