# expat from Debian's source package (unpacked by scripts/install-deps.sh,
# never committed): the XML parser with which both packers check a manifest
# of the user's own and read back the one an executable carries. Built the
# same way on both sides, as a static library, with namespaces and without
# DTD parameter entities, which no manifest needs.
file(GLOB EXPAT_SOURCE_DIR LIST_DIRECTORIES true "${ONEFILE_DEPS_DIR}/expat-*/src/expat")
if(NOT EXPAT_SOURCE_DIR OR NOT EXISTS "${EXPAT_SOURCE_DIR}/lib/expat.h")
  message(FATAL_ERROR "expat sources not found under ${ONEFILE_DEPS_DIR}; run scripts/install-deps.sh")
endif()
# What expat's own configure step finds on both systems: little-endian
# machines, and an entropy source for its hash salt (getrandom on Linux,
# rand_s on Windows, which expat picks by itself).
set(expat_config "#define BYTEORDER 1234\n#define XML_CONTEXT_BYTES 1024\n#define XML_NS 1\n")
if(NOT WIN32)
  string(APPEND expat_config "#define HAVE_GETRANDOM 1\n")
endif()
set(EXPAT_CONFIG_DIR ${CMAKE_BINARY_DIR}/expat-config)
file(CONFIGURE OUTPUT ${EXPAT_CONFIG_DIR}/expat_config.h CONTENT "${expat_config}")
add_library(expat STATIC ${EXPAT_SOURCE_DIR}/lib/xmlparse.c ${EXPAT_SOURCE_DIR}/lib/xmlrole.c
            ${EXPAT_SOURCE_DIR}/lib/xmltok.c)
target_include_directories(expat PRIVATE ${EXPAT_CONFIG_DIR})
target_include_directories(expat SYSTEM PUBLIC ${EXPAT_SOURCE_DIR}/lib)
# Linked into the program, not imported from a DLL.
target_compile_definitions(expat PUBLIC XML_STATIC)
# Its assertions name their files without the build tree, which an
# installed packer must not hold.
target_compile_options(expat PRIVATE -fmacro-prefix-map=${EXPAT_SOURCE_DIR}/=expat/)
