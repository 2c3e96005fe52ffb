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

static wchar_t parent[ONEFILE_PATH_CAPACITY];
static unpack_writer main_writer = {0, {}};
/* Where the main thread's file stands: what it holds so far. */
static uint64_t main_position;

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

void make_unpack_parents(const wchar_t *path)
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

/* A full volume is said so (Windows reports 112 or 39; Wine 8 a write fault,
** 29), with the folder the start was filling; the code stays in the line. */
[[noreturn]] static void fail_to_write(DWORD code)
{
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == ERROR_WRITE_FAULT)
        fatal_system_path_error("Error, couldn't unpack file to target path: the volume that holds '",
                                unpack_directory, "' is full.", code);
    fatal_system_error("Error, couldn't unpack file to target path.", code);
}

const wchar_t *open_writer_file(unpack_writer *writer, const wchar_t *path, const wchar_t *reported_path,
                                bool create)
{
    /* The plain path in messages, the extended one for the system. */
    const wchar_t *system_path =
        make_extended_length_path(path, writer->system_path, ONEFILE_EXTENDED_PATH_CAPACITY) ? writer->system_path
                                                                                             : NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (system_path != NULL)
        file = CreateFileW(system_path,
                           GENERIC_WRITE,
                           FILE_SHARE_WRITE,
                           NULL,                             /* lpSecurityAttributes */
                           create ? CREATE_ALWAYS : OPEN_EXISTING,
                           0,                                /* dwFlagsAndAttributes */
                           NULL);                            /* hTemplateFile */
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
            fail_to_write(code);
        fatal_path_error("Error, failed to open '", reported_path, "' for writing.");
    }
    unfinished_files[writer->slot] = file;
    return system_path;
}

void write_writer_bytes(unpack_writer *writer, const void *data, size_t length, uint64_t offset)
{
    const unsigned char *bytes = (const unsigned char *)data;
    while (length > 0) {
        /* A piece of a frame: within one call but for a frame beyond 1 GiB. */
        DWORD piece = length < 0x40000000u ? (DWORD)length : 0x40000000u;
        OVERLAPPED at = {};
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(unfinished_files[writer->slot], bytes, piece, &written, &at))
            fail_to_write(GetLastError());
        /* A short write would leave a truncated file behind a success. */
        if (written != piece)
            fail_to_write(ERROR_WRITE_FAULT);
        bytes += piece;
        length -= piece;
        offset += piece;
    }
}

void close_writer_file(unpack_writer *writer, bool flush)
{
    HANDLE file = unfinished_files[writer->slot];
    if (flush && !FlushFileBuffers(file))
        fail_to_write(GetLastError());
    CloseHandle(file);
    unfinished_files[writer->slot] = NULL;
}

const wchar_t *open_unpack_file(const wchar_t *path, const wchar_t *reported_path)
{
    make_unpack_parents(path);
    main_position = 0;
    return open_writer_file(&main_writer, path, reported_path, true);
}

void write_unpack_bytes(const void *data, DWORD length)
{
    write_writer_bytes(&main_writer, data, length, main_position);
    main_position += length;
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
    close_writer_file(&main_writer, flush);
}
