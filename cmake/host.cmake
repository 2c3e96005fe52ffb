# The host side: the packer and its tests, then the Windows side.
include(ExternalProject)

set(ONEFILE_DEPS_DIR ${CMAKE_BINARY_DIR}/deps CACHE PATH
    "Where scripts/install-deps.sh unpacked the third-party sources")
set(ONEFILE_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
set(ONEFILE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# The build tree has the installed layout: the packer in bin/, and in
# share/onefile-pack/ the templates that the Windows build stages there.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(ONEFILE_RUNTIME_DIR ${CMAKE_BINARY_DIR}/share/onefile-pack)

# zstd's, libpng's and zlib's sources, before the warnings that our own
# code is built with.
include(cmake/zstd.cmake)
include(cmake/expat.cmake)
include(cmake/png.cmake)
add_compile_options(-Wall -Wextra -Wpedantic)

find_package(GTest REQUIRED)
include(GoogleTest)

add_subdirectory(tools/binary)
add_subdirectory(tools/pe)
add_subdirectory(tools/resources)
add_subdirectory(tools/onefile-pack)
add_subdirectory(tests/host)
add_subdirectory(tests/signing)
add_subdirectory(tests/install)
add_subdirectory(tests/cmake_package)
# Tests that start no Windows program run once, not once per Wine
# (scripts/test-wine10.sh leaves out the label "host").
set_property(DIRECTORY tests/host PROPERTY LABELS host)

ExternalProject_Add(windows
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${ONEFILE_WINDOWS_BINARY_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DONEFILE_WINEPREFIX=${ONEFILE_WINEPREFIX}
    -DONEFILE_DEPS_DIR=${ONEFILE_DEPS_DIR}
    -DONEFILE_PACKER=$<TARGET_FILE:onefile-pack>
    -DONEFILE_RUNTIME_DIR=${ONEFILE_RUNTIME_DIR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS TRUE
  USES_TERMINAL_CONFIGURE TRUE
  USES_TERMINAL_BUILD TRUE
  DEPENDS onefile-pack)

# One ctest run covers both builds.
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake
     "subdirs(\"${ONEFILE_WINDOWS_BINARY_DIR}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
             ${CMAKE_BINARY_DIR}/windows-tests.cmake)

# `cmake --install` and the Debian package: the packer and the templates
# that the Windows build staged, in the layout the packer looks for beside
# itself.
install(TARGETS onefile-pack RUNTIME DESTINATION bin)
install(DIRECTORY ${ONEFILE_RUNTIME_DIR}/ DESTINATION share/onefile-pack)
include(cmake/package/install.cmake)
include(cmake/packaging.cmake)
