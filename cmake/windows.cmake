# The Windows side: the bootstrap library, zstd's decoder, the templates and
# files that the packer reads, the packer itself for Windows, test
# applications, packed executables and tests.
set(ONEFILE_DEPS_DIR "" CACHE PATH "Third-party sources (scripts/install-deps.sh)")
set(ONEFILE_PACKER "" CACHE FILEPATH "The host-side onefile-pack")
set(ONEFILE_RUNTIME_DIR ${CMAKE_BINARY_DIR}/share/onefile-pack CACHE PATH
    "Where the packer's templates are staged: share/onefile-pack beside its bin/")

# The bootstrap asserts; keep assertions in every build type.
string(REPLACE "-DNDEBUG" "" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")
string(REPLACE "-DNDEBUG" "" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")

include(cmake/zstd.cmake)
include(cmake/png.cmake)
include(cmake/lua.cmake)
include(cmake/windows-helpers.cmake)

add_subdirectory(static_src)
add_subdirectory(runtime)
include(cmake/windows-packer.cmake)
add_subdirectory(tests/apps)
add_subdirectory(tests/windows)
add_subdirectory(examples)
