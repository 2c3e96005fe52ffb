/*
** Filling a cached folder: a fresh one file by file, a damaged one by
** rewriting, under a name of this process's own and a rename, each file
** that is missing, of another size, of other content or not a plain file.
*/
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define XXH_STATIC_LINKING_ONLY
#include "common/xxhash.h"

#include "attached_data/attached_data.h"
#include "cached_folder/cached_folder.h"
#include "cached_folder/folder_internal.h"
#include "driver/driver.h"

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t temporary_path[ONEFILE_PATH_CAPACITY];
static unsigned char write_buffer[ONEFILE_WRITE_CHUNK];
static unsigned char compare_buffer[ONEFILE_WRITE_CHUNK];
static XXH64_state_t content_hash;

HANDLE create_for_writing(const wchar_t *path)
{
    return CreateFileW(path,
                       GENERIC_WRITE,
                       FILE_SHARE_WRITE,
                       NULL,               /* lpSecurityAttributes */
                       CREATE_ALWAYS,
                       0,                  /* dwFlagsAndAttributes */
                       NULL);              /* hTemplateFile */
}

void write_or_fail(HANDLE file, const void *data, DWORD length)
{
    DWORD written = 0;
    if (!WriteFile(file, data, length, &written, NULL))
        fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
    if (written != length)
        fatal_system_error("Error, couldn't unpack file to target path.", ERROR_WRITE_FAULT);
}

/* Writes the next `remaining` decoded bytes, adding them to content_hash. */
static void write_content(HANDLE file, uint64_t remaining)
{
    while (remaining > 0) {
        DWORD chunk = remaining < ONEFILE_WRITE_CHUNK ? (DWORD)remaining : ONEFILE_WRITE_CHUNK;
        payload_read(write_buffer, chunk);
        XXH64_update(&content_hash, write_buffer, chunk);
        write_or_fail(file, write_buffer, chunk);
        remaining -= chunk;
    }
}

/* Flushes what was written to disk, then closes the handle: a file is
** flushed before anything that publishes it is renamed. */
void flush_and_close(HANDLE file)
{
    if (!FlushFileBuffers(file))
        fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
    CloseHandle(file);
}

/* Directories of a fresh folder: the known-directories table spares the
** file system a request per file. */
static void make_parent_in_fresh_folder(const wchar_t *path)
{
    wchar_t parent[ONEFILE_PATH_CAPACITY];
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

/* Removes the file or link at `path`, whose attributes are given: the tree
** removal takes links itself but leaves a plain file where it is. */
void remove_non_directory(const wchar_t *path, DWORD attributes)
{
    if (kind_of(attributes) == FOUND_FILE)
        DeleteFileW(path);
    else
        remove_directory_tree(path);
}

/* Directories of a damaged folder: each level below the folder is made a
** real directory, whatever stands at its path (a file, a link). */
static void make_parent_in_damaged_folder(const wchar_t *folder, const wchar_t *path)
{
    wchar_t level[ONEFILE_PATH_CAPACITY];
    wcscpy(level, path);
    for (size_t i = wcslen(folder) + 1; level[i] != L'\0'; i++) {
        if (level[i] != L'\\')
            continue;
        level[i] = L'\0';
        DWORD attributes = GetFileAttributesW(level);
        if (attributes != INVALID_FILE_ATTRIBUTES && kind_of(attributes) != FOUND_DIRECTORY)
            remove_non_directory(level, attributes);
        if (attributes == INVALID_FILE_ATTRIBUTES || kind_of(attributes) != FOUND_DIRECTORY)
            CreateDirectoryW(level, NULL);
        level[i] = L'\\';
    }
}

[[noreturn]] void fail_to_open(const wchar_t *path)
{
    fatal_path_error("Error, failed to open '", path, "' for writing.");
}

/* Renames `from` over `to`, which may exist; bounded retries while a
** scanner holds either. */
void replace_file(const wchar_t *from, const wchar_t *to)
{
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < RENAME_ATTEMPTS; attempt++) {
        if (attempt > 0)
            Sleep(RENAME_PAUSE_MS);
        if (MoveFileExW(from,
                        to,
                        MOVEFILE_REPLACE_EXISTING))
            return;
        error = GetLastError();
    }
    DeleteFileW(from);
    fatal_system_error("Error, couldn't unpack file to target path.", error);
}

/* Starts repairing the same folder at once never write the same file. */
void form_temporary_path(wchar_t *temporary, const wchar_t *path)
{
    wchar_t suffix[32];
    _snwprintf(suffix, 32, L".repair-%lu", (unsigned long)GetCurrentProcessId());
    suffix[31] = L'\0';
    size_t length = wcslen(path);
    if (length + wcslen(suffix) + 1 > ONEFILE_PATH_CAPACITY)
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    wmemcpy(temporary, path, length);
    wcscpy(temporary + length, suffix);
}

/* Writes one file of `size` bytes from the stream to `path`; in a damaged
** folder through a name of this process's own and a rename. */
static void write_file_at(const wchar_t *folder, const wchar_t *path, uint64_t size,
                          found_kind was, bool fresh)
{
    if (fresh) {
        make_parent_in_fresh_folder(path);
        HANDLE file = create_for_writing(path);
        if (file == INVALID_HANDLE_VALUE)
            fail_to_open(path);
        write_content(file, size);
        flush_and_close(file);
        return;
    }
    form_temporary_path(temporary_path, path);
    make_parent_in_damaged_folder(folder, path);
    HANDLE file = create_for_writing(temporary_path);
    if (file == INVALID_HANDLE_VALUE)
        fail_to_open(path);
    write_content(file, size);
    flush_and_close(file);
    if (was == FOUND_DIRECTORY || was == FOUND_OTHER)
        remove_directory_tree(path);
    replace_file(temporary_path, path);
}

/* Compares the file at `path`, of the entry's size, with the next `size`
** decoded bytes. At the first difference it is written afresh under a name
** of this process's own, from the bytes that matched (copied from it) and
** the rest of the stream, and renamed over. */
static void compare_or_rewrite(const wchar_t *path, uint64_t size)
{
    HANDLE existing = open_for_reading(path);
    uint64_t matched = 0;
    DWORD chunk = 0;
    bool same = true;
    while (same && matched < size) {
        chunk = size - matched < ONEFILE_WRITE_CHUNK ? (DWORD)(size - matched) : ONEFILE_WRITE_CHUNK;
        payload_read(write_buffer, chunk);
        XXH64_update(&content_hash, write_buffer, chunk);
        DWORD read = 0;
        same = existing != INVALID_HANDLE_VALUE && ReadFile(existing, compare_buffer, chunk, &read, NULL)
               && read == chunk && memcmp(write_buffer, compare_buffer, chunk) == 0;
        if (same)
            matched += chunk;
    }
    if (same) {
        if (existing != INVALID_HANDLE_VALUE)
            CloseHandle(existing);
        return;
    }
    form_temporary_path(temporary_path, path);
    HANDLE file = create_for_writing(temporary_path);
    if (file == INVALID_HANDLE_VALUE)
        fail_to_open(path);
    LARGE_INTEGER start = {};
    if (matched > 0 && !SetFilePointerEx(existing, start, NULL, FILE_BEGIN))
        fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
    for (uint64_t copied = 0; copied < matched; copied += ONEFILE_WRITE_CHUNK) {
        DWORD read = 0;
        if (!ReadFile(existing, compare_buffer, ONEFILE_WRITE_CHUNK, &read, NULL) || read != ONEFILE_WRITE_CHUNK)
            fatal_system_error("Error, couldn't unpack file to target path.", ERROR_READ_FAULT);
        write_or_fail(file, compare_buffer, ONEFILE_WRITE_CHUNK);
    }
    if (existing != INVALID_HANDLE_VALUE)
        CloseHandle(existing);
    write_or_fail(file, write_buffer, chunk);
    write_content(file, size - matched - chunk);
    flush_and_close(file);
    replace_file(temporary_path, path);
}

/* Decodes the attached data once and writes every file that the folder
** lacks (all of them in a fresh folder), then the record. */
void fill_folder(const wchar_t *folder, bool fresh)
{
    clear_table();
    /* A fresh folder is empty: nothing to list. */
    root_listed = fresh;
    payload_open(onefile_attached_data, (size_t)onefile_attached_data_size);
    for (;;) {
        read_entry_name(entry_name);
        if (entry_name[0] == L'\0')
            break;
        uint64_t size = read_entry_size();
        expect_file(entry_name, size, 0);
        folder_entry *entry = &entries[entry_for(entry_name)];
        if (!fresh)
            list_parent_of(folder, entry->name);
        join_path(target_path, folder, entry_name, L"");
        XXH64_reset(&content_hash, 0);
        /* The clean-up of a console event must not delete a half-written file. */
        begin_unpack_work();
        /* A name that comes again was written now: the later content wins. */
        bool compare = is_intact(entry) && !entry->written;
        if (compare)
            compare_or_rewrite(target_path, size);
        else
            write_file_at(folder, target_path, size, entry->found, fresh);
        end_unpack_work();
        /* A name met again later is compared with what was written now. */
        entry = &entries[entry_for(entry_name)];
        entry->expected_hash = XXH64_digest(&content_hash);
        entry->found = FOUND_FILE;
        entry->found_size = size;
        entry->written = !compare;
    }
    payload_close();
    write_record(folder, fresh);
}

