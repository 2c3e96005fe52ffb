/*
** Directory listings of a cached folder into the table, and the check of a
** folder against its record.
*/
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#define XXH_STATIC_LINKING_ONLY
#include "common/xxhash.h"

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "cached_folder/cached_folder.h"
#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "state/process_state.h"

/* Reads of a whole file when its content is verified. */
#define VERIFY_CHUNK (1u << 20)

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t listing_path[ONEFILE_PATH_CAPACITY];
static wchar_t system_path[ONEFILE_EXTENDED_PATH_CAPACITY];
static XXH64_state_t content_hash;

found_kind kind_of(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return FOUND_OTHER;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FOUND_DIRECTORY : FOUND_FILE;
}

/* Puts what one directory holds into the table: names, kinds and sizes come
** in bulk with the listing, with no request per file. */
static void list_directory(const wchar_t *folder, const wchar_t *relative)
{
    join_unpack_path(listing_path, folder, relative, relative[0] == L'\0' ? L"*" : L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = find_first_entry(extended_unpack_path(listing_path, system_path), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        /* A longer name is no entry's. */
        wchar_t child[ONEFILE_ENTRY_NAME_CAPACITY];
        if (!join_path(child, ONEFILE_ENTRY_NAME_CAPACITY, relative, relative[0] == L'\0' ? L"" : L"\\",
                       found.cFileName))
            continue;
        folder_entry *entry = &entries[entry_for(child)];
        entry->found = kind_of(found.dwFileAttributes);
        entry->found_size = ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

/* Lists the directory that holds `name`, once per folder and table. */
void list_parent_of(const wchar_t *folder, const wchar_t *name)
{
    const wchar_t *separator = wcsrchr(name, L'\\');
    if (separator == NULL) {
        if (!root_listed)
            list_directory(folder, L"");
        root_listed = true;
        return;
    }
    wchar_t parent[ONEFILE_ENTRY_NAME_CAPACITY];
    size_t length = (size_t)(separator - name);
    wmemcpy(parent, name, length);
    parent[length] = L'\0';
    size_t index = entry_for(parent);
    if (!entries[index].listed) {
        entries[index].listed = true;
        list_directory(folder, parent);
    }
}

bool is_intact(const folder_entry *entry)
{
    return entry->found == FOUND_FILE && entry->found_size == entry->expected_size;
}

HANDLE open_for_reading(const wchar_t *path)
{
    return CreateFileW(extended_unpack_path(path, system_path),
                       GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL,               /* lpSecurityAttributes */
                       OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN,
                       NULL);              /* hTemplateFile */
}

/* Whether the record's first file is the attached data's first entry, the
** one the application is loaded from; decodes no more than that name. */
static bool record_starts_as_attached_data(void)
{
    payload_open(onefile_attached_data, (size_t)onefile_attached_data_size);
    read_entry_name(entry_name);
    payload_close();
    return wcscmp(entries[expected_order[0]].name, entry_name) == 0;
}

bool hash_file(const wchar_t *path, unsigned long long *hash)
{
    static unsigned char verify_buffer[VERIFY_CHUNK];
    HANDLE file = open_for_reading(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    XXH64_reset(&content_hash, 0);
    DWORD read = 0;
    bool ok;
    while ((ok = ReadFile(file, verify_buffer, VERIFY_CHUNK, &read, NULL) != FALSE) && read > 0)
        XXH64_update(&content_hash, verify_buffer, read);
    CloseHandle(file);
    *hash = XXH64_digest(&content_hash);
    return ok;
}

/* Every file's content has the hash that the record gives it. */
static bool contents_match_record(const wchar_t *folder)
{
    for (size_t i = 0; i < expected_count; i++) {
        const folder_entry *entry = &entries[expected_order[i]];
        unsigned long long hash = 0;
        join_unpack_path(target_path, folder, entry->name, L"");
        if (!hash_file(target_path, &hash) || hash != entry->expected_hash)
            return false;
    }
    return true;
}

/* A record of another shape than the one written (no file, a name outside
** the folder, another first file), or, where the packer recorded which
** record belongs to this build, any other record than that one, is
** damaged: the folder is repaired. */
bool folder_is_intact(const wchar_t *folder)
{
    unsigned long long digest = 0;
    if (!load_record(folder, &digest))
        return false;
    /* The digest covers every name, the first one's too; without one, the
    ** first name is read from the attached data. */
    if (onefile_record_digest != 0 ? digest != onefile_record_digest : !record_starts_as_attached_data())
        return false;
    for (size_t i = 0; i < expected_count; i++) {
        folder_entry *entry = &entries[expected_order[i]];
        list_parent_of(folder, entry->name);
        if (!is_intact(entry))
            return false;
    }
    return onefile_cache_check != ONEFILE_CHECK_CONTENT || contents_match_record(folder);
}
