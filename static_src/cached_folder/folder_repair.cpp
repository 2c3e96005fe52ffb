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
#include "attached_data/frames.h"
#include "cached_folder/cached_folder.h"
#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "state/process_state.h"

static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t system_path[ONEFILE_EXTENDED_PATH_CAPACITY];
static wchar_t system_path_to[ONEFILE_EXTENDED_PATH_CAPACITY];
static unsigned char stream_buffer[ONEFILE_WRITE_CHUNK];
static unsigned char compare_buffer[ONEFILE_WRITE_CHUNK];
static XXH64_state_t content_hash;

/* Removes the file or link at `path`, whose attributes are given, never
** what a link names (a Unix link looks like a file under Wine, which
** DeleteFileW would follow). What cannot be removed shows up when its path
** is next written or checked. */
void remove_non_directory(const wchar_t *path, DWORD attributes)
{
    if (kind_of(attributes) == FOUND_FILE)
        remove_file_entry(path);
    else
        remove_directory_tree(path);
}

/* Clears the way to a file of a damaged folder: whatever stands at a
** directory's path below the folder (a file, a link) goes. The writer's
** open then makes the directories that are missing, and reports a failure. */
static void clear_parents_in_damaged_folder(const wchar_t *folder, const wchar_t *path)
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
    if (!name_of_our_own(repair_file, path, L".repair-"))
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
}

/* Writes one file of `size` bytes from the stream to `path`; in a damaged
** folder through a name of this process's own and a rename. */
static void write_file_at(const wchar_t *folder, const wchar_t *path, uint64_t size,
                          found_kind was, bool fresh)
{
    if (!fresh) {
        name_repair_file(path);
        clear_parents_in_damaged_folder(folder, path);
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

/* The folder being filled. */
struct fill_target {
    const wchar_t *folder;
    bool fresh;
};

/* One entry of the attached data into the folder. */
static void fill_entry(const wchar_t *name, uint64_t size, void *context)
{
    const fill_target *target = (const fill_target *)context;
    expect_file(name, size, 0);
    folder_entry *entry = &entries[entry_for(name)];
    if (!target->fresh)
        list_parent_of(target->folder, entry->name);
    join_unpack_path(target_path, target->folder, name, L"");
    XXH64_reset(&content_hash, 0);
    /* The clean-up of a console event must not delete a half-written file. */
    begin_unpack_work();
    /* A name that comes again was written now: the later content wins. */
    bool compare = is_intact(entry) && !entry->written;
    if (compare)
        compare_or_rewrite(target_path, size);
    else
        write_file_at(target->folder, target_path, size, entry->found, target->fresh);
    end_unpack_work();
    /* A name met again later is compared with what was written now. */
    entry = &entries[entry_for(name)];
    entry->expected_hash = XXH64_digest(&content_hash);
    entry->found = FOUND_FILE;
    entry->found_size = size;
    entry->written = !compare;
}

/* The frame road's repair: the entries to write again, under names of this
** process's own (repair_suffix); the clean-up removes what is written of
** them (siblings.cpp). Empty while none runs. */
const bool *repair_wanted;
wchar_t repair_suffix[REPAIR_SUFFIX_CAPACITY];

/* Which entries of a damaged folder are to be written again: every one but
** the plain files of the entry's size whose content has the entry's hash. */
static bool *entries_to_repair(const frame_index *index, const wchar_t *folder)
{
    bool *wanted = (bool *)checked_realloc(NULL, index->entry_count * sizeof(bool) + 1);
    for (size_t i = 0; i < index->entry_count; i++) {
        folder_entry *entry = &entries[entry_for(index->entries[i].name)];
        list_parent_of(folder, entry->name);
        unsigned long long hash = 0;
        join_unpack_path(target_path, folder, entry->name, L"");
        wanted[i] = !is_intact(entry) || !hash_file(target_path, &hash) || hash != index->entries[i].hash;
        if (wanted[i])
            clear_parents_in_damaged_folder(folder, target_path);
    }
    return wanted;
}

/* A fresh folder written whole, a damaged one in place of the files it
** lacks, frame by frame on the process's cores. */
static void fill_from_frames(const frame_index *index, const wchar_t *folder, bool fresh)
{
    for (size_t i = 0; i < index->entry_count; i++)
        expect_file(index->entries[i].name, index->entries[i].size, index->entries[i].hash);
    if (fresh) {
        frame_unpacking everything = {folder, L"", NULL, true};
        unpack_frames(index, &everything);
        return;
    }
    bool *wanted = entries_to_repair(index, folder);
    /* "<name>.repair-<id>-<token>": the suffix of every file of ours. */
    if (!name_of_our_own(target_path, L"", L".repair-"))
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    begin_unpack_work();
    wcscpy(repair_suffix, target_path);
    repair_wanted = wanted;
    end_unpack_work();
    frame_unpacking damaged_files = {folder, repair_suffix, wanted, true};
    unpack_frames(index, &damaged_files);
    for (size_t i = 0; i < index->entry_count; i++) {
        if (!wanted[i])
            continue;
        const folder_entry *entry = &entries[entry_for(index->entries[i].name)];
        join_unpack_path(target_path, folder, entry->name, L"");
        begin_unpack_work();
        join_unpack_path(repair_file, folder, entry->name, repair_suffix);
        wanted[i] = false;
        if (entry->found == FOUND_DIRECTORY || entry->found == FOUND_OTHER)
            remove_directory_tree(target_path);
        replace_with_repair_file(target_path);
        end_unpack_work();
    }
    begin_unpack_work();
    repair_wanted = NULL;
    end_unpack_work();
    free(wanted);
}

void fill_folder(const wchar_t *folder, bool fresh)
{
    clear_table();
    /* A fresh folder is empty: nothing to list. */
    root_listed = fresh;
    const frame_index *index = linked_frame_index();
    if (index != NULL) {
        fill_from_frames(index, folder, fresh);
    } else {
        fill_target target = {folder, fresh};
        walk_entries(onefile_attached_data, (size_t)onefile_attached_data_size, fill_entry, &target);
    }
    write_record(folder, fresh);
}
