/*
** The one writer of unpacked files (file_writer.h).
*/
#include <windows.h>
#include <stdint.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "errors/errors.h"
#include "paths/paths.h"
#include "state/process_state.h"

static wchar_t extended_path[ONEFILE_EXTENDED_PATH_CAPACITY];
static wchar_t parent[ONEFILE_PATH_CAPACITY];

void join_unpack_path(wchar_t *path, const wchar_t *folder, const wchar_t *relative,
                      const wchar_t *suffix)
{
    if (!join_path(path, ONEFILE_PATH_CAPACITY, folder, L"\\", relative, suffix))
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
}

const wchar_t *extended_unpack_path(const wchar_t *path, wchar_t *extended)
{
    if (!make_extended_length_path(path, extended, ONEFILE_EXTENDED_PATH_CAPACITY))
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    return extended;
}

/* A directory that still cannot be had shows up when the file is opened. */
static void make_parent_directory(const wchar_t *path)
{
    wcscpy(parent, path);
    wchar_t *separator = wcsrchr(parent, L'\\');
    if (separator == NULL || separator == parent)
        return;
    *separator = L'\0';
    if (!ensure_directory(parent)) {
        ensure_parent_directories(parent);
        ensure_directory(parent);
    }
}

const wchar_t *open_unpack_file(const wchar_t *path, const wchar_t *reported_path)
{
    make_parent_directory(path);
    /* The plain path in messages, the extended one for the system. */
    const wchar_t *system_path =
        make_extended_length_path(path, extended_path, ONEFILE_EXTENDED_PATH_CAPACITY) ? extended_path : NULL;
    if (system_path != NULL)
        unfinished_file = CreateFileW(system_path,
                                      GENERIC_WRITE,
                                      FILE_SHARE_WRITE,
                                      NULL,               /* lpSecurityAttributes */
                                      CREATE_ALWAYS,
                                      0,                  /* dwFlagsAndAttributes */
                                      NULL);              /* hTemplateFile */
    if (unfinished_file == INVALID_HANDLE_VALUE)
        fatal_path_error("Error, failed to open '", reported_path, "' for writing.");
    return system_path;
}

void write_unpack_bytes(const void *data, DWORD length)
{
    DWORD written = 0;
    if (!WriteFile(unfinished_file, data, length, &written, NULL))
        fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
    /* A short write would leave a truncated file behind a success. */
    if (written != length)
        fatal_system_error("Error, couldn't unpack file to target path.", ERROR_WRITE_FAULT);
}

/* One piece of content: into the hash, if any, and the file. */
static void write_piece(const unsigned char *piece, size_t length, void *hash)
{
    if (hash != NULL)
        XXH64_update((XXH64_state_t *)hash, piece, length);
    write_unpack_bytes(piece, (DWORD)length);
}

void write_unpack_content(uint64_t size, XXH64_state_t *hash)
{
    read_entry_content(size, write_piece, hash);
}

void close_unpack_file(bool flush)
{
    if (flush && !FlushFileBuffers(unfinished_file))
        fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
    CloseHandle(unfinished_file);
    unfinished_file = INVALID_HANDLE_VALUE;
}
