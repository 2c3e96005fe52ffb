# onefile-pack.exe: the packer built for Windows from the same sources and
# CMake files as on Linux, with zstd's compressor from zstd.cmake and expat
# from expat.cmake. Linked -static, so it imports only system DLLs; with the
# templates it makes the zip (cpack -G ZIP in this build folder).
include(cmake/expat.cmake)
add_subdirectory(tools/binary)
add_subdirectory(tools/pe)
add_subdirectory(tools/resources)
add_subdirectory(tools/onefile-pack)

# CLI11 is header-only and Debian's copy lies in /usr/include: the compiler
# gets a folder that holds nothing but CLI/, so that no other Linux header
# can stand in for one of MinGW's.
set(ONEFILE_CLI11_DIR /usr/include/CLI CACHE PATH "CLI11's headers: the folder that holds CLI.hpp")
if(NOT EXISTS ${ONEFILE_CLI11_DIR}/CLI.hpp)
  message(FATAL_ERROR "CLI11 not found in ${ONEFILE_CLI11_DIR}; run scripts/install-deps.sh")
endif()
set(ONEFILE_CLI11_INCLUDE_DIR ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${ONEFILE_CLI11_INCLUDE_DIR})
file(CREATE_LINK ${ONEFILE_CLI11_DIR} ${ONEFILE_CLI11_INCLUDE_DIR}/CLI SYMBOLIC)
target_include_directories(onefile-pack SYSTEM PRIVATE ${ONEFILE_CLI11_INCLUDE_DIR})

foreach(target onefile_binary onefile_pe onefile_resources onefile_pack_core onefile-pack)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                         -fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
endforeach()
# wmain takes the arguments as UTF-16.
target_link_options(onefile-pack PRIVATE -municode -static)
set_target_properties(onefile-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

install(TARGETS onefile-pack RUNTIME DESTINATION bin)
install(DIRECTORY ${ONEFILE_RUNTIME_DIR}/ DESTINATION share/onefile-pack)
include(cmake/package/install.cmake)
include(cmake/packaging.cmake)
