/*
** The executable's own path, plain and resolved. The resolved form names a
** file the same way whichever way it was reached (a link, a short name,
** another letter case that the file system folds), so two processes can tell
** whether they run the same executable file.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "paths/paths.h"
#include "errors/errors.h"

#define EXECUTABLE_PATH_CAPACITY (ONEFILE_PATH_CAPACITY + 1)

/* Empty until first asked for; never changed afterwards. */
static wchar_t plain_executable_path[EXECUTABLE_PATH_CAPACITY];
static wchar_t resolved_executable_path[EXECUTABLE_PATH_CAPACITY];

typedef DWORD (WINAPI *final_path_query)(HANDLE, LPWSTR, DWORD, DWORD);

static bool is_terminated(const wchar_t *buffer, size_t capacity)
{
    return wmemchr(buffer, L'\0', capacity) != NULL;
}

static void read_module_path(wchar_t *buffer)
{
    GetModuleFileNameW(NULL, buffer, EXECUTABLE_PATH_CAPACITY);
    if (!is_terminated(buffer, EXECUTABLE_PATH_CAPACITY))
        abort_on_overflow("the executable's path");
}

const wchar_t *get_executable_path(bool resolved)
{
    if (!resolved) {
        if (plain_executable_path[0] == L'\0')
            read_module_path(plain_executable_path);
        return plain_executable_path;
    }
    if (resolved_executable_path[0] == L'\0') {
        read_module_path(resolved_executable_path);
        resolve_final_path(resolved_executable_path, EXECUTABLE_PATH_CAPACITY);
    }
    return resolved_executable_path;
}

static bool starts_with(const wchar_t *text, const wchar_t *prefix)
{
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

/* "\\?\C:\x" becomes "C:\x"; "\\?\UNC\srv\share" becomes "\\srv\share";
** other extended-length forms keep their prefix. */
static void remove_extended_prefix(wchar_t *path)
{
    if (starts_with(path, L"\\\\?\\") && path[4] != L'\0' && path[5] == L':')
        wmemmove(path, path + 4, wcslen(path + 4) + 1);
    if (starts_with(path, L"\\\\?\\UNC\\")) {
        wmemmove(path, path + 6, wcslen(path + 6) + 1);
        path[0] = L'\\';
    }
}

void resolve_final_path(wchar_t *buffer, size_t capacity)
{
    if (!is_terminated(buffer, capacity))
        abort_on_overflow("a path");

    HANDLE file = CreateFileW(buffer,
                              0,                      /* dwDesiredAccess: none */
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL,                   /* lpSecurityAttributes */
                              OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL,
                              NULL);                  /* hTemplateFile */
    if (file != INVALID_HANDLE_VALUE) {
        /* Looked up at run time: systems before Vista lack it. */
        final_path_query query = (final_path_query)(void (*)(void))GetProcAddress(
            GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW");
        if (query != NULL) {
            DWORD length = query(file, buffer, (DWORD)capacity, 0 /* normalised, drive letter */);
            CloseHandle(file);
            if (length > capacity - 1)
                abort_on_overflow("a final path");
        } else {
            CloseHandle(file);
        }
        remove_extended_prefix(buffer);
    }
    shorten_directory_part(buffer, capacity);
}

void shorten_directory_part(wchar_t *buffer, size_t capacity)
{
    wchar_t *separator = wcsrchr(buffer, L'\\');
    wchar_t *last_component = NULL;
    if (separator != NULL) {
        last_component = _wcsdup(separator + 1);
        if (last_component == NULL)
            fatal_out_of_memory();
        *separator = L'\0';
    }

    DWORD needed = GetShortPathNameW(buffer, NULL, 0);
    wchar_t *short_form = NULL;
    DWORD length = 0;
    if (needed != 0) {
        short_form = (wchar_t *)malloc(((size_t)needed + 1) * sizeof(wchar_t));
        if (short_form == NULL)
            fatal_out_of_memory();
        length = GetShortPathNameW(buffer, short_form, needed);
        if (length > needed)
            abort_on_overflow("a short path");
    }

    if (length != 0) {
        if ((size_t)length + 1 > capacity)
            abort_on_overflow("a short path");
        wmemcpy(buffer, short_form, (size_t)length + 1);
    }
    free(short_form);

    if (last_component != NULL) {
        if (!join_path(buffer, capacity, buffer, L"\\", last_component))
            abort_on_overflow("a short path");
        free(last_component);
    }
}
