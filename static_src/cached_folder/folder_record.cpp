/*
** The record of a cached folder: what the attached data holds, written
** last inside the folder, so that a later start checks the folder without
** decoding the attached data.
*/
#include <windows.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define XXH_STATIC_LINKING_ONLY
#include "common/xxhash.h"

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "cached_folder/cached_folder.h"
#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "format/entry_names.h"
#include "format/folder_record.h"
#include "state/process_state.h"

#define RECORD_NAME ONEFILE_WIDE(ONEFILE_RECORD_NAME)

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static wchar_t target_path[ONEFILE_PATH_CAPACITY];

static bool read_whole_file(const wchar_t *path, unsigned char **content, size_t *length)
{
    HANDLE file = open_for_reading(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    DWORD read = 0;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x10000000;
    if (ok) {
        *length = (size_t)size.QuadPart;
        *content = (unsigned char *)malloc(*length + 1);
        ok = *content != NULL && ReadFile(file, *content, (DWORD)*length, &read, NULL)
             && read == *length;
        if (!ok)
            free(*content);
    }
    CloseHandle(file);
    return ok;
}

static uint64_t little_endian(const unsigned char *bytes, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; i--)
        value = (value << 8) | bytes[i];
    return value;
}

/* The record's layout: format/folder_record.h. A name that breaks the
** entries' rule, or a second one for the same file, makes it damaged.
** False for a record that is missing or damaged. */
bool load_record(const wchar_t *folder, unsigned long long *digest)
{
    join_unpack_path(target_path, folder, RECORD_NAME, L"");
    unsigned char *record = NULL;
    size_t length = 0;
    if (!read_whole_file(target_path, &record, &length))
        return false;
    bool ok = length >= ONEFILE_RECORD_HEADER_SIZE + ONEFILE_RECORD_DIGEST_SIZE
              && memcmp(record, ONEFILE_RECORD_MAGIC, 4) == 0
              && XXH64(record, length - ONEFILE_RECORD_DIGEST_SIZE, 0)
                     == little_endian(record + length - ONEFILE_RECORD_DIGEST_SIZE, 8);
    if (ok) {
        length -= ONEFILE_RECORD_DIGEST_SIZE;
        *digest = little_endian(record + length, 8);
    }
    size_t at = ONEFILE_RECORD_HEADER_SIZE;
    uint64_t count = ok ? little_endian(record + 4, 4) : 0;
    for (uint64_t i = 0; ok && i < count; i++) {
        ok = length - at >= ONEFILE_RECORD_ENTRY_FIXED_SIZE;
        size_t units = ok ? (size_t)little_endian(record + at + 16, 2) : 0;
        ok = ok && units > 0 && units < ONEFILE_ENTRY_NAME_CAPACITY && length - at >= record_entry_size(units);
        if (!ok)
            break;
        for (size_t u = 0; u < units; u++)
            entry_name[u] = (wchar_t)little_endian(record + at + ONEFILE_RECORD_ENTRY_FIXED_SIZE + 2 * u, 2);
        entry_name[units] = L'\0';
        size_t before = expected_count;
        ok = check_entry_name(entry_name, units) == ENTRY_NAME_ACCEPTED;
        if (ok)
            expect_file(entry_name, little_endian(record + at, 8), little_endian(record + at + 8, 8));
        ok = ok && expected_count == before + 1;
        at += record_entry_size(units);
    }
    free(record);
    return ok && at == length && count > 0;
}

/* Written last, so that a record promises only files already in place. */
void write_record(const wchar_t *folder, bool fresh)
{
    size_t length = ONEFILE_RECORD_HEADER_SIZE + ONEFILE_RECORD_DIGEST_SIZE;
    for (size_t i = 0; i < expected_count; i++)
        length += record_entry_size(wcslen(entries[expected_order[i]].name));
    unsigned char *record = (unsigned char *)checked_realloc(NULL, length);
    record_header(record, (uint32_t)expected_count);
    size_t at = ONEFILE_RECORD_HEADER_SIZE;
    for (size_t i = 0; i < expected_count; i++) {
        const folder_entry *entry = &entries[expected_order[i]];
        size_t units = wcslen(entry->name);
        record_entry(record + at, entry->expected_size, entry->expected_hash, entry->name, units);
        at += record_entry_size(units);
    }
    uint64_t digest = XXH64(record, at, 0);
    if (onefile_record_digest != 0 && digest != onefile_record_digest)
        fatal_error("Error, couldn't decode attached data.");
    record_store(record + at, digest, ONEFILE_RECORD_DIGEST_SIZE);

    begin_unpack_work();
    join_unpack_path(target_path, folder, RECORD_NAME, L"");
    if (!fresh)
        name_repair_file(target_path);
    open_unpack_file(fresh ? target_path : repair_file, target_path);
    write_unpack_bytes(record, (DWORD)length);
    close_unpack_file(true);
    if (!fresh)
        replace_with_repair_file(target_path);
    end_unpack_work();
    free(record);
}

