# For applications: onefile.h, the CMake package (find_package(onefile)) and
# the MinGW-w64 toolchain file, installed beside the packer by `cmake
# --install` and the packages.
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/onefileConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_SOURCE_DIR}/include/onefile/onefile.h DESTINATION include/onefile)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/onefileConfig.cmake
              ${CMAKE_BINARY_DIR}/onefileConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake
        DESTINATION share/cmake/onefile)
