# libpng and zlib from Debian's source packages (unpacked by
# scripts/install-deps.sh, never committed), built the same way on both
# sides: both packers decode the splash image with them, so that both write
# the same pixels. libpng with its prebuilt configuration, and without the
# platforms' assembly and intrinsics (none is enabled without asking).
# Compiled with -fexceptions: the packer's error callback throws through
# libpng's frames.
file(GLOB ZLIB_SOURCE_DIR LIST_DIRECTORIES true "${ONEFILE_DEPS_DIR}/zlib-*/src")
file(GLOB PNG_SOURCE_DIR LIST_DIRECTORIES true "${ONEFILE_DEPS_DIR}/libpng1.6-*/src")
if(NOT ZLIB_SOURCE_DIR OR NOT EXISTS "${ZLIB_SOURCE_DIR}/zlib.h"
   OR NOT PNG_SOURCE_DIR OR NOT EXISTS "${PNG_SOURCE_DIR}/png.h")
  message(FATAL_ERROR "libpng or zlib sources not found under ${ONEFILE_DEPS_DIR}; run scripts/install-deps.sh")
endif()

# Whole libraries, but for zlib's gz file functions, which libpng never
# calls: the prebuilt configuration's shared code refers to the writing half
# as well. The packer links only what it reads with.
set(ZLIB_SOURCES adler32.c compress.c crc32.c deflate.c infback.c inffast.c inflate.c inftrees.c trees.c
    uncompr.c zutil.c)
list(TRANSFORM ZLIB_SOURCES PREPEND ${ZLIB_SOURCE_DIR}/)
add_library(zlib_static STATIC ${ZLIB_SOURCES})
target_include_directories(zlib_static PUBLIC ${ZLIB_SOURCE_DIR})
target_compile_options(zlib_static PRIVATE -fexceptions)

set(PNG_CONFIGURED_DIR ${CMAKE_BINARY_DIR}/libpng-config)
configure_file(${PNG_SOURCE_DIR}/scripts/pnglibconf.h.prebuilt ${PNG_CONFIGURED_DIR}/pnglibconf.h COPYONLY)
set(PNG_SOURCES png.c pngerror.c pngget.c pngmem.c pngpread.c pngread.c pngrio.c pngrtran.c pngrutil.c
    pngset.c pngtrans.c pngwio.c pngwrite.c pngwtran.c pngwutil.c)
list(TRANSFORM PNG_SOURCES PREPEND ${PNG_SOURCE_DIR}/)
add_library(png_static STATIC ${PNG_SOURCES})
target_include_directories(png_static PUBLIC ${PNG_SOURCE_DIR} ${PNG_CONFIGURED_DIR})
target_compile_options(png_static PRIVATE -fexceptions)
target_link_libraries(png_static PUBLIC zlib_static)
if(NOT WIN32)
  target_link_libraries(png_static PUBLIC m)
endif()
