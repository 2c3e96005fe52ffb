# zstd for Windows, from Debian's source package (unpacked by
# scripts/install-deps.sh, never committed). No assembly:
# the decompressor for the bootstrap, the compressor for the packer and the
# tests that make attached data of their own.
file(GLOB ZSTD_SOURCE_DIR LIST_DIRECTORIES true "${ONEFILE_DEPS_DIR}/libzstd-*/src")
if(NOT ZSTD_SOURCE_DIR OR NOT EXISTS "${ZSTD_SOURCE_DIR}/lib/zstd.h")
  message(FATAL_ERROR "zstd sources not found under ${ONEFILE_DEPS_DIR}; run scripts/install-deps.sh")
endif()
file(GLOB ZSTD_DECODER_SOURCES
     ${ZSTD_SOURCE_DIR}/lib/common/*.c
     ${ZSTD_SOURCE_DIR}/lib/decompress/*.c)
add_library(zstd_decompress STATIC ${ZSTD_DECODER_SOURCES})
target_compile_definitions(zstd_decompress PRIVATE ZSTD_DISABLE_ASM XXH_NAMESPACE=ZSTD_)
target_include_directories(zstd_decompress PUBLIC ${ZSTD_SOURCE_DIR}/lib)
set_target_properties(zstd_decompress PROPERTIES OUTPUT_NAME zstd_decompress)

# onefile-pack.exe writes the same bytes as the Linux packer only while this
# is the version of the host's libzstd (both Debian's, pinned in
# scripts/install-deps.sh): compressed frames differ between zstd versions.
# The packer compresses on several threads, as Debian's libzstd lets it on
# Linux: the thread pool is built here with threads, and comes before the
# decompressor's single-threaded one when the two are linked.
file(GLOB ZSTD_COMPRESSOR_SOURCES ${ZSTD_SOURCE_DIR}/lib/compress/*.c)
add_library(zstd_compress STATIC ${ZSTD_COMPRESSOR_SOURCES}
            ${ZSTD_SOURCE_DIR}/lib/common/pool.c ${ZSTD_SOURCE_DIR}/lib/common/threading.c)
target_compile_definitions(zstd_compress PRIVATE ZSTD_DISABLE_ASM XXH_NAMESPACE=ZSTD_ ZSTD_MULTITHREAD)
target_link_libraries(zstd_compress PUBLIC zstd_decompress)
