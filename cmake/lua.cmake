# Lua 5.4 as lua54.dll, from Debian's source package (unpacked by
# scripts/install-deps.sh, never committed). Linked -static, so it imports
# only system DLLs and an application folder needs nothing else beside it.
file(GLOB LUA_SOURCE_DIR LIST_DIRECTORIES true "${ONEFILE_DEPS_DIR}/lua5.4-*/src")
if(NOT LUA_SOURCE_DIR OR NOT EXISTS "${LUA_SOURCE_DIR}/src/lua.h")
  message(FATAL_ERROR "Lua sources not found under ${ONEFILE_DEPS_DIR}; run scripts/install-deps.sh")
endif()
file(GLOB LUA_LIBRARY_SOURCES ${LUA_SOURCE_DIR}/src/*.c)
# The stand-alone interpreter and compiler have main functions of their own.
list(FILTER LUA_LIBRARY_SOURCES EXCLUDE REGEX "/(lua|luac)\\.c$")
add_library(lua54 SHARED ${LUA_LIBRARY_SOURCES})
set_target_properties(lua54 PROPERTIES PREFIX "" OUTPUT_NAME lua54)
# Exports from the DLL, imports in everything that includes lua.h.
target_compile_definitions(lua54 PUBLIC LUA_BUILD_AS_DLL)
target_include_directories(lua54 PUBLIC ${LUA_SOURCE_DIR}/src)
target_link_options(lua54 PRIVATE -static)
