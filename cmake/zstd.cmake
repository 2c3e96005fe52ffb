# zstd from Debian's source package (unpacked by scripts/install-deps.sh,
# never committed), built the same way on both sides and without assembly:
# the decompressor for the bootstrap, the compressor for both packers and the
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

# Both packers link this compressor, not the host's libzstd: frames differ
# between zstd versions (1.5.7 splits blocks otherwise than 1.5.4), and the
# bytes a packer writes must depend on its own version alone.
# The packer compresses on several threads: the thread pool is built here
# with threads, and comes before the decompressor's single-threaded one when
# the two are linked.
file(GLOB ZSTD_COMPRESSOR_SOURCES ${ZSTD_SOURCE_DIR}/lib/compress/*.c)
add_library(zstd_compress STATIC ${ZSTD_COMPRESSOR_SOURCES}
            ${ZSTD_SOURCE_DIR}/lib/common/pool.c ${ZSTD_SOURCE_DIR}/lib/common/threading.c)
target_compile_definitions(zstd_compress PRIVATE ZSTD_DISABLE_ASM XXH_NAMESPACE=ZSTD_ ZSTD_MULTITHREAD)
target_link_libraries(zstd_compress PUBLIC zstd_decompress)
if(NOT WIN32)
  find_package(Threads REQUIRED)
  target_link_libraries(zstd_compress PUBLIC Threads::Threads)
endif()
