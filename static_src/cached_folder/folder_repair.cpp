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
#include "attached_data/file_writer.h"
#include "cached_folder/cached_folder.h"
#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "state/process_state.h"

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t system_path[ONEFILE_EXTENDED_PATH_CAPACITY];
static wchar_t system_path_to[ONEFILE_EXTENDED_PATH_CAPACITY];
static unsigned char stream_buffer[ONEFILE_WRITE_CHUNK];
static unsigned char compare_buffer[ONEFILE_WRITE_CHUNK];
static XXH64_state_t content_hash;

/* Removes the file or link at `path`, whose attributes are given: the tree
** removal takes links itself but leaves a plain file where it is. */
void remove_non_directory(const wchar_t *path, DWORD attributes)
{
    if (kind_of(attributes) == FOUND_FILE)
        DeleteFileW(extended_unpack_path(path, system_path));
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
        DWORD attributes = GetFileAttributesW(extended_unpack_path(level, system_path));
        if (attributes != INVALID_FILE_ATTRIBUTES && kind_of(attributes) != FOUND_DIRECTORY)
            remove_non_directory(level, attributes);
        if (attributes == INVALID_FILE_ATTRIBUTES || kind_of(attributes) != FOUND_DIRECTORY)
            CreateDirectoryW(extended_unpack_path(level, system_path), NULL);
        level[i] = L'\\';
    }
}

/* system_path over system_path_to. */
static DWORD move_repair_file(void *)
{
    return MoveFileExW(system_path,
                       system_path_to,
                       MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS : GetLastError();
}

void replace_with_repair_file(const wchar_t *path)
{
    extended_unpack_path(repair_file, system_path);
    extended_unpack_path(path, system_path_to);
    DWORD error = retry_while_transient(&rename_retry, move_repair_file, NULL);
    /* A file that cannot be removed either is left to the next repair. */
    if (error != ERROR_SUCCESS)
        DeleteFileW(system_path);
    repair_file[0] = L'\0';
    if (error != ERROR_SUCCESS)
        fatal_system_error("Error, couldn't unpack file to target path.", error);
}

/* Starts repairing the same folder at once never write the same file. */
void name_repair_file(const wchar_t *path)
{
    wchar_t suffix[32];
    _snwprintf(suffix, 32, L".repair-%lu", (unsigned long)GetCurrentProcessId());
    suffix[31] = L'\0';
    size_t length = wcslen(path);
    if (length + wcslen(suffix) + 1 > ONEFILE_PATH_CAPACITY)
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    wmemcpy(repair_file, path, length);
    wcscpy(repair_file + length, suffix);
}

/* Writes one file of `size` bytes from the stream to `path`; in a damaged
** folder through a name of this process's own and a rename. */
static void write_file_at(const wchar_t *folder, const wchar_t *path, uint64_t size,
                          found_kind was, bool fresh)
{
    if (!fresh) {
        name_repair_file(path);
        make_parent_in_damaged_folder(folder, path);
    }
    open_unpack_file(fresh ? path : repair_file, path);
    write_unpack_content(size, &content_hash);
    close_unpack_file(true);
    if (fresh)
        return;
    if (was == FOUND_DIRECTORY || was == FOUND_OTHER)
        remove_directory_tree(path);
    replace_with_repair_file(path);
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
        payload_read(stream_buffer, chunk);
        XXH64_update(&content_hash, stream_buffer, chunk);
        DWORD read = 0;
        same = existing != INVALID_HANDLE_VALUE && ReadFile(existing, compare_buffer, chunk, &read, NULL)
               && read == chunk && memcmp(stream_buffer, compare_buffer, chunk) == 0;
        if (same)
            matched += chunk;
    }
    if (same) {
        if (existing != INVALID_HANDLE_VALUE)
            CloseHandle(existing);
        return;
    }
    name_repair_file(path);
    open_unpack_file(repair_file, path);
    LARGE_INTEGER start = {};
    if (matched > 0 && !SetFilePointerEx(existing, start, NULL, FILE_BEGIN))
        fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
    for (uint64_t copied = 0; copied < matched; copied += ONEFILE_WRITE_CHUNK) {
        DWORD read = 0;
        if (!ReadFile(existing, compare_buffer, ONEFILE_WRITE_CHUNK, &read, NULL) || read != ONEFILE_WRITE_CHUNK)
            fatal_system_error("Error, couldn't unpack file to target path.", ERROR_READ_FAULT);
        write_unpack_bytes(compare_buffer, ONEFILE_WRITE_CHUNK);
    }
    if (existing != INVALID_HANDLE_VALUE)
        CloseHandle(existing);
    write_unpack_bytes(stream_buffer, chunk);
    write_unpack_content(size - matched - chunk, &content_hash);
    close_unpack_file(true);
    replace_with_repair_file(path);
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
        join_unpack_path(target_path, folder, entry_name, L"");
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

