/*
** The library of a Lua application: run_code starts Lua on main.lua from
** the folder this library was unpacked to and returns the script's exit
** status. lua54.dll lies beside it and is found through the bootstrap's
** library search.
**
** Paths are UTF-8 on the Lua side. Lua opens files with the narrow fopen,
** which reads them in the ANSI code page and so cannot open a file below a
** folder such as C:\Users\Jūratė\AppData\Local\Temp; main.lua, modules and
** io.open therefore go through _wfopen here. (io.lines, io.input and
** io.output given a name, loadfile, dofile and the os functions still take
** ANSI names.)
*/
#include <windows.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lua.hpp>
#include <onefile.h>

struct application {
    int argc;
    wchar_t **argv;
    const wchar_t *library_path;
    int exit_status;
};

/* Converted strings live on the Lua stack, so an error that unwinds past
** them leaks nothing. */
static const wchar_t *push_utf16(lua_State *L, const char *text)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    wchar_t *wide = (wchar_t *)lua_newuserdatauv(L, length * sizeof(wchar_t), 0);
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, length);
    return wide;
}

static void push_utf8(lua_State *L, const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    luaL_Buffer buffer;
    char *bytes = luaL_buffinitsize(L, &buffer, size);
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, NULL, NULL);
    luaL_pushresultsize(&buffer, size - 1);
}

static int close_stream(lua_State *L)
{
    luaL_Stream *stream = (luaL_Stream *)luaL_checkudata(L, 1, LUA_FILEHANDLE);
    return luaL_fileresult(L, fclose(stream->f) == 0, NULL);
}

/* Pushes an io library file handle, so that Lua closes the file when an
** error drops it. Its FILE is NULL, with errno set, when the file cannot be
** opened. */
static luaL_Stream *open_stream(lua_State *L, const char *path, const char *mode)
{
    const wchar_t *wide_path = push_utf16(L, path);
    const wchar_t *wide_mode = push_utf16(L, mode);
    luaL_Stream *stream = (luaL_Stream *)lua_newuserdatauv(L, sizeof *stream, 0);
    stream->f = NULL;
    stream->closef = NULL;
    luaL_setmetatable(L, LUA_FILEHANDLE);
    stream->f = _wfopen(wide_path, wide_mode);
    if (stream->f != NULL)
        stream->closef = close_stream;
    lua_replace(L, -3);
    lua_pop(L, 1);
    return stream;
}

/* The modes io.open accepts; _wfopen must not see anything else. */
static bool is_file_mode(const char *mode)
{
    if (*mode == '\0' || strchr("rwa", *mode++) == NULL)
        return false;
    if (*mode == '+')
        mode++;
    return strspn(mode, "b") == strlen(mode);
}

/* io.open for UTF-8 names. */
static int open_file(lua_State *L)
{
    const char *path = luaL_checkstring(L, 1);
    const char *mode = luaL_optstring(L, 2, "r");
    luaL_argcheck(L, is_file_mode(mode), 2, "invalid mode");
    return open_stream(L, path, mode)->f != NULL ? 1 : luaL_fileresult(L, 0, path);
}

/* Replaces the open stream on top of the stack by the chunk loaded from it,
** or by an error message. */
static int load_stream(lua_State *L, luaL_Stream *stream, const char *chunk_name)
{
    luaL_Buffer content;
    luaL_buffinit(L, &content);
    size_t count;
    do {
        count = fread(luaL_prepbuffer(&content), 1, LUAL_BUFFERSIZE, stream->f);
        luaL_addsize(&content, count);
    } while (count == LUAL_BUFFERSIZE);
    luaL_pushresult(&content);
    bool failed = ferror(stream->f);
    fclose(stream->f);
    stream->closef = NULL;
    int status;
    if (failed) {
        lua_pushfstring(L, "cannot read %s", chunk_name + 1);
        status = LUA_ERRFILE;
    } else {
        size_t size;
        const char *text = lua_tolstring(L, -1, &size);
        /* Windows editors like to start UTF-8 files with a byte order mark. */
        if (size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
            text += 3;
            size -= 3;
        }
        status = luaL_loadbufferx(L, text, size, chunk_name, NULL);
    }
    lua_replace(L, -3);
    lua_pop(L, 1);
    return status;
}

/* Lua's own searcher for Lua modules, package.searchers[2], with _wfopen:
** the same walk along package.path, the same messages. Upvalues: the
** package table and the application folder with a trailing backslash. */
static int search_lua_module(lua_State *L)
{
    const char *name = luaL_checkstring(L, 1);
    if (lua_getfield(L, lua_upvalueindex(1), "path") != LUA_TSTRING)
        return luaL_error(L, "'package.path' must be a string");
    const char *path = lua_tostring(L, -1);
    const char *file_names = luaL_gsub(L, path, LUA_PATH_MARK, luaL_gsub(L, name, ".", LUA_DIRSEP));
    size_t folder_length;
    const char *folder = lua_tolstring(L, lua_upvalueindex(2), &folder_length);
    for (const char *entry = file_names; *entry != '\0';) {
        size_t length = strcspn(entry, LUA_PATH_SEP);
        const char *file_name = lua_pushlstring(L, entry, length);
        luaL_Stream *stream = open_stream(L, file_name, "rb");
        if (stream->f != NULL) {
            /* Messages name the application's files as it ships them. */
            bool in_folder = strncmp(file_name, folder, folder_length) == 0;
            const char *chunk_name =
                lua_pushfstring(L, "@%s", in_folder ? file_name + folder_length : file_name);
            lua_insert(L, -2);
            if (load_stream(L, stream, chunk_name) != LUA_OK)
                return luaL_error(L, "error loading module '%s' from file '%s':\n\t%s", name,
                                  file_name, lua_tostring(L, -1));
            lua_pushstring(L, file_name);
            return 2;
        }
        lua_pop(L, 2);
        entry += length + (entry[length] != '\0');
    }
    lua_pushliteral(L, "no file '");
    luaL_gsub(L, file_names, LUA_PATH_SEP, "'\n\tno file '");
    lua_pushliteral(L, "'");
    lua_concat(L, 3);
    return 1;
}

/* The bootstrap shows its splash until the application says it is ready. */
static void end_splash_at_exit(void)
{
    onefile_end_splash();
}

static int end_splash(lua_State *)
{
    onefile_end_splash();
    return 0;
}

/* Errors come back with a traceback, as from the stand-alone interpreter. */
static int add_traceback(lua_State *L)
{
    const char *message = lua_tostring(L, 1);
    if (message == NULL) {
        if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING)
            return 1;
        message = lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    }
    luaL_traceback(L, L, message, 1);
    return 1;
}

/* Everything that can raise a Lua error runs here, under lua_pcall. */
static int run_application(lua_State *L)
{
    application *app = (application *)lua_touserdata(L, 1);
    luaL_openlibs(L);

    push_utf8(L, app->library_path);
    const char *library = lua_tostring(L, -1);
    const char *separator = strrchr(library, '\\');
    const char *folder =
        lua_pushlstring(L, library, separator != NULL ? (size_t)(separator - library) : 0);

    lua_getglobal(L, "package");
    lua_getfield(L, -1, "path");
    lua_pushfstring(L, "%s\\?.lua;%s\\?\\init.lua;%s", folder, folder, lua_tostring(L, -1));
    lua_setfield(L, -3, "path");
    lua_pop(L, 1);
    lua_getfield(L, -1, "searchers");
    lua_pushvalue(L, -2);
    lua_pushfstring(L, "%s\\", folder);
    lua_pushcclosure(L, search_lua_module, 2);
    lua_rawseti(L, -2, 2);
    lua_pop(L, 2);

    lua_getglobal(L, "io");
    lua_pushcfunction(L, open_file);
    lua_setfield(L, -2, "open");
    lua_pop(L, 1);

    lua_createtable(L, 0, 2);
    lua_pushstring(L, folder);
    lua_setfield(L, -2, "directory");
    lua_pushcfunction(L, end_splash);
    lua_setfield(L, -2, "end_splash");
    lua_setglobal(L, "onefile");

    lua_createtable(L, app->argc, 1);
    for (int i = 0; i < app->argc; i++) {
        push_utf8(L, app->argv[i]);
        lua_rawseti(L, -2, i);
    }
    lua_setglobal(L, "arg");

    const char *main_path = lua_pushfstring(L, "%s\\main.lua", folder);
    luaL_Stream *stream = open_stream(L, main_path, "rb");
    if (stream->f == NULL)
        return luaL_error(L, "cannot open %s: %s", main_path, strerror(errno));
    if (load_stream(L, stream, "@main.lua") != LUA_OK)
        return lua_error(L);
    /* The arguments also come as the script's "...", as in the stand-alone
    ** interpreter. */
    luaL_checkstack(L, app->argc, "too many arguments");
    int count = 0;
    for (int i = 1; i < app->argc; i++, count++)
        push_utf8(L, app->argv[i]);
    lua_call(L, count, 1);

    if (lua_isnil(L, -1))
        app->exit_status = 0;
    else if (lua_isinteger(L, -1))
        app->exit_status = (int)lua_tointeger(L, -1);
    else
        return luaL_error(L, "main.lua returned a %s, not an exit status", luaL_typename(L, -1));
    return 0;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    /* Also when the script fails before it ends the splash, or leaves
    ** through os.exit: the bootstrap never deletes the file itself. */
    atexit(end_splash_at_exit);
    lua_State *L = luaL_newstate();
    if (L == NULL) {
        fputs("not enough memory to start Lua\n", stderr);
        return 1;
    }
    application app = {argc, argv, library_path, 1};
    lua_pushcfunction(L, add_traceback);
    lua_pushcfunction(L, run_application);
    lua_pushlightuserdata(L, &app);
    if (lua_pcall(L, 1, 0, 1) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        app.exit_status = 1;
    }
    lua_close(L);
    fflush(stdout);
    return app.exit_status;
}
