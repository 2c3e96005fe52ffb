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
#include "state/process_state.h"

#define RECORD_NAME L".onefile-record"
#define RECORD_MAGIC "QVR2"

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

/* A name of the shape the attached data's entries have: relative, below
** the folder, without a drive or stream colon, an empty, "." or ".." part,
** or a control character. */
static bool is_name_below_folder(const wchar_t *name)
{
    const wchar_t *part = name;
    for (const wchar_t *p = name;; p++) {
        if (*p == L':' || *p == L'/' || (*p != L'\0' && *p < 0x20))
            return false;
        if (*p != L'\\' && *p != L'\0')
            continue;
        size_t length = (size_t)(p - part);
        if (length == 0 || (part[0] == L'.' && (length == 1 || (length == 2 && part[1] == L'.'))))
            return false;
        if (*p == L'\0')
            return true;
        part = p + 1;
    }
}

/* Record: "QVR2", 32-bit count, then per file a 64-bit size, the 64-bit
** XXH64 of its content, a 16-bit name length in units and the UTF-16LE name;
** last the XXH64 of everything before it; all little-endian. False for a
** record that is missing or damaged. */
bool load_record(const wchar_t *folder)
{
    join_unpack_path(target_path, folder, RECORD_NAME, L"");
    unsigned char *record = NULL;
    size_t length = 0;
    if (!read_whole_file(target_path, &record, &length))
        return false;
    bool ok = length >= 16 && memcmp(record, RECORD_MAGIC, 4) == 0
              && XXH64(record, length - 8, 0) == little_endian(record + length - 8, 8);
    if (ok)
        length -= 8;
    size_t at = 8;
    uint64_t count = ok ? little_endian(record + 4, 4) : 0;
    for (uint64_t i = 0; ok && i < count; i++) {
        ok = length - at >= 18;
        size_t units = ok ? (size_t)little_endian(record + at + 16, 2) : 0;
        ok = ok && units > 0 && units < ONEFILE_ENTRY_NAME_CAPACITY && length - at - 18 >= 2 * units;
        if (!ok)
            break;
        for (size_t u = 0; u < units; u++)
            entry_name[u] = (wchar_t)little_endian(record + at + 18 + 2 * u, 2);
        entry_name[units] = L'\0';
        ok = is_name_below_folder(entry_name);
        if (!ok)
            break;
        expect_file(entry_name, little_endian(record + at, 8), little_endian(record + at + 8, 8));
        at += 18 + 2 * units;
    }
    free(record);
    return ok && at == length && count > 0 && expected_count == count;
}

static void append_bytes(unsigned char **buffer, size_t *length, size_t *capacity,
                         uint64_t value, int count)
{
    if (*length + (size_t)count > *capacity) {
        *capacity = 2 * *capacity + (size_t)count;
        *buffer = (unsigned char *)checked_realloc(*buffer, *capacity);
    }
    for (int i = 0; i < count; i++)
        (*buffer)[(*length)++] = (unsigned char)((value >> (8 * i)) & 0xff);
}

/* Written last, so that a record promises only files already in place. */
void write_record(const wchar_t *folder, bool fresh)
{
    size_t capacity = 4096;
    size_t length = 0;
    unsigned char *record = (unsigned char *)checked_realloc(NULL, capacity);
    for (int i = 0; i < 4; i++)
        append_bytes(&record, &length, &capacity, (unsigned char)RECORD_MAGIC[i], 1);
    append_bytes(&record, &length, &capacity, expected_count, 4);
    for (size_t i = 0; i < expected_count; i++) {
        const folder_entry *entry = &entries[expected_order[i]];
        size_t units = wcslen(entry->name);
        append_bytes(&record, &length, &capacity, entry->expected_size, 8);
        append_bytes(&record, &length, &capacity, entry->expected_hash, 8);
        append_bytes(&record, &length, &capacity, units, 2);
        for (size_t u = 0; u < units; u++)
            append_bytes(&record, &length, &capacity, (uint16_t)entry->name[u], 2);
    }
    append_bytes(&record, &length, &capacity, XXH64(record, length, 0), 8);

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

