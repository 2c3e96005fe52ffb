/*
** Filling and checking the cached unpack folder.
**
** "Complete" means every file of the attached data is present with its
** size, and, in an executable packed to verify content, with its content.
** What the attached data holds is kept in a record inside the folder,
** written last: names, sizes and content hashes in stream order, closed by
** a hash of the record itself. A start that finds the record checks it
** against one directory listing per folder of the application and decodes
** nothing but the first name; reading the names from the attached data
** instead would cost a decode of all of it. Verifying content reads every
** file as well.
**
** A folder that fails the check is repaired in place: the attached data is
** decoded once more and each file that is missing, of another size, of
** other content or not a plain file is written under a name of this
** process's own and renamed over the damaged one, so a start running from
** the folder meanwhile never sees half a file. A missing folder is filled
** as a private sibling and renamed into place in one step. Every file is
** flushed to disk before it is renamed or its folder is, so a power loss
** never leaves a published file unwritten.
*/
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define XXH_STATIC_LINKING_ONLY
#include "common/xxhash.h"

#include "attached_data/attached_data.h"
#include "attached_data/cached_unpack.h"
#include "driver/driver.h"

#define RECORD_NAME L".onefile-record"
#define RECORD_MAGIC "QVR2"

/* Reads of a whole file when its content is verified. */
#define VERIFY_CHUNK (1u << 20)

/* A scanner may hold a freshly written file or folder for a moment. */
#define RENAME_ATTEMPTS 20
#define RENAME_PAUSE_MS 50

/* Rounds of "check, else fill and publish" before giving up: a folder that
** vanishes again after every round. */
#define PREPARE_ROUNDS 3

enum found_kind { FOUND_NOTHING, FOUND_FILE, FOUND_DIRECTORY, FOUND_OTHER };

/* One path below the folder: an expected file, something the listing saw,
** or both. */
struct folder_entry {
    wchar_t *name;                  /* as the attached data spells it */
    wchar_t *key;                   /* upper-cased: the file system ignores case */
    unsigned long long expected_size;
    unsigned long long expected_hash;  /* XXH64 of the content */
    unsigned long long found_size;
    found_kind found;
    bool expected;                  /* a file of the attached data */
    bool written;                   /* written by this process's current fill */
    bool listed;                    /* a directory whose listing is in the table */
};

/* The table: entries in the order first met, an open-addressing index
** (entry number + 1, 0 for a free slot) and the expected files in stream
** order. Rebuilt for every folder that is checked or filled. */
static folder_entry *entries;
static size_t entry_count, entry_capacity;
static size_t *slots;
static size_t slot_capacity;
static size_t *expected_order;
static size_t expected_count;
static bool root_listed;

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t temporary_path[ONEFILE_PATH_CAPACITY];
static wchar_t listing_path[ONEFILE_PATH_CAPACITY];
static wchar_t private_folder[ONEFILE_PATH_CAPACITY];
static unsigned char write_buffer[ONEFILE_WRITE_CHUNK];
static unsigned char compare_buffer[ONEFILE_WRITE_CHUNK];
static XXH64_state_t content_hash;

static void *checked_realloc(void *block, size_t size)
{
    void *grown = realloc(block, size);
    if (grown == NULL)
        fatal_error("Error, couldn't allocate memory.");
    return grown;
}

static wchar_t *checked_copy(const wchar_t *text)
{
    wchar_t *copy = _wcsdup(text);
    if (copy == NULL)
        fatal_error("Error, couldn't allocate memory.");
    return copy;
}

static void clear_table(void)
{
    for (size_t i = 0; i < entry_count; i++) {
        free(entries[i].name);
        free(entries[i].key);
    }
    entry_count = 0;
    expected_count = 0;
    root_listed = false;
    for (size_t i = 0; i < slot_capacity; i++)
        slots[i] = 0;
}

static uint32_t hash_key(const wchar_t *key)
{
    uint32_t hash = 2166136261u;
    for (; *key; key++)
        hash = (hash ^ (uint32_t)*key) * 16777619u;
    return hash;
}

static void place_in_slots(size_t index)
{
    size_t slot = hash_key(entries[index].key) & (slot_capacity - 1);
    while (slots[slot] != 0)
        slot = (slot + 1) & (slot_capacity - 1);
    slots[slot] = index + 1;
}

/* Keeps at least half the slots free, so every probe ends soon. */
static void grow_slots(void)
{
    free(slots);
    slot_capacity = slot_capacity == 0 ? 1024 : 2 * slot_capacity;
    slots = (size_t *)calloc(slot_capacity, sizeof *slots);
    if (slots == NULL)
        fatal_error("Error, couldn't allocate memory.");
    for (size_t i = 0; i < entry_count; i++)
        place_in_slots(i);
}

/* The entry for `name`, added (nothing found, nothing expected) if new. */
static size_t entry_for(const wchar_t *name)
{
    wchar_t *key = checked_copy(name);
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name, -1, key, (int)wcslen(key) + 1);
    if (slot_capacity != 0) {
        for (size_t slot = hash_key(key) & (slot_capacity - 1); slots[slot] != 0;
             slot = (slot + 1) & (slot_capacity - 1)) {
            if (wcscmp(entries[slots[slot] - 1].key, key) == 0) {
                free(key);
                return slots[slot] - 1;
            }
        }
    }
    if (2 * (entry_count + 1) > slot_capacity)
        grow_slots();
    if (entry_count == entry_capacity) {
        entry_capacity = entry_capacity == 0 ? 256 : 2 * entry_capacity;
        entries = (folder_entry *)checked_realloc(entries, entry_capacity * sizeof *entries);
        expected_order = (size_t *)checked_realloc(expected_order,
                                                   entry_capacity * sizeof *expected_order);
    }
    folder_entry *entry = &entries[entry_count];
    *entry = folder_entry{checked_copy(name), key, 0, 0, 0, FOUND_NOTHING, false, false, false};
    place_in_slots(entry_count);
    return entry_count++;
}

static void expect_file(const wchar_t *name, unsigned long long size, unsigned long long hash)
{
    size_t index = entry_for(name);
    if (!entries[index].expected) {
        entries[index].expected = true;
        expected_order[expected_count++] = index;
    }
    entries[index].expected_size = size;
    entries[index].expected_hash = hash;
}

/* folder + "\" + relative (+ suffix) into `out`; fatal when too long. */
static void join_path(wchar_t *out, const wchar_t *folder, const wchar_t *relative,
                      const wchar_t *suffix)
{
    size_t folder_length = wcslen(folder);
    size_t relative_length = wcslen(relative);
    size_t suffix_length = wcslen(suffix);
    if (folder_length + 1 + relative_length + suffix_length + 1 > ONEFILE_PATH_CAPACITY)
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    wmemcpy(out, folder, folder_length);
    out[folder_length] = L'\\';
    wmemcpy(out + folder_length + 1, relative, relative_length);
    wmemcpy(out + folder_length + 1 + relative_length, suffix, suffix_length + 1);
}

static found_kind kind_of(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return FOUND_OTHER;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FOUND_DIRECTORY : FOUND_FILE;
}

/* Puts what one directory holds into the table: names, kinds and sizes come
** in bulk with the listing, with no request per file. */
static void list_directory(const wchar_t *folder, const wchar_t *relative)
{
    join_path(listing_path, folder, relative, relative[0] == L'\0' ? L"*" : L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = find_first_entry(listing_path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        wchar_t child[ONEFILE_ENTRY_NAME_CAPACITY];
        if (relative[0] == L'\0')
            _snwprintf(child, ONEFILE_ENTRY_NAME_CAPACITY, L"%ls", found.cFileName);
        else
            _snwprintf(child, ONEFILE_ENTRY_NAME_CAPACITY, L"%ls\\%ls", relative, found.cFileName);
        child[ONEFILE_ENTRY_NAME_CAPACITY - 1] = L'\0';
        folder_entry *entry = &entries[entry_for(child)];
        entry->found = kind_of(found.dwFileAttributes);
        entry->found_size = ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

/* Lists the directory that holds `name`, once per folder and table. */
static void list_parent_of(const wchar_t *folder, const wchar_t *name)
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

static bool is_intact(const folder_entry *entry)
{
    return entry->found == FOUND_FILE && entry->found_size == entry->expected_size;
}

/* Opens a file of the folder to be read through once, whoever else has it open. */
static HANDLE open_for_reading(const wchar_t *path)
{
    return CreateFileW(path,
                       GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL,               /* lpSecurityAttributes */
                       OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN,
                       NULL);              /* hTemplateFile */
}

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
static bool load_record(const wchar_t *folder)
{
    join_path(target_path, folder, RECORD_NAME, L"");
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

/* Whether the record's first file is the attached data's first entry, the
** one the application is loaded from; decodes no more than that name. */
static bool record_starts_as_attached_data(void)
{
    payload_open(onefile_attached_data, (size_t)onefile_attached_data_size);
    read_entry_name(entry_name);
    payload_close();
    return wcscmp(entries[expected_order[0]].name, entry_name) == 0;
}

/* XXH64 of the file's content, read in large pieces; false when it cannot
** be read whole. */
static bool hash_file(const wchar_t *path, unsigned long long *hash)
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
        join_path(target_path, folder, entry->name, L"");
        if (!hash_file(target_path, &hash) || hash != entry->expected_hash)
            return false;
    }
    return true;
}

/* A record of another shape than the one written (no file, a name outside
** the folder, another first file) is damaged: the folder is repaired. */
static bool folder_is_intact(const wchar_t *folder)
{
    if (!load_record(folder) || !record_starts_as_attached_data())
        return false;
    for (size_t i = 0; i < expected_count; i++) {
        folder_entry *entry = &entries[expected_order[i]];
        list_parent_of(folder, entry->name);
        if (!is_intact(entry))
            return false;
    }
    return onefile_cache_check != ONEFILE_CHECK_CONTENT || contents_match_record(folder);
}

static HANDLE create_for_writing(const wchar_t *path)
{
    return CreateFileW(path,
                       GENERIC_WRITE,
                       FILE_SHARE_WRITE,
                       NULL,               /* lpSecurityAttributes */
                       CREATE_ALWAYS,
                       0,                  /* dwFlagsAndAttributes */
                       NULL);              /* hTemplateFile */
}

static void write_or_fail(HANDLE file, const void *data, DWORD length)
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
static void flush_and_close(HANDLE file)
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
static void remove_non_directory(const wchar_t *path, DWORD attributes)
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

[[noreturn]] static void fail_to_open(const wchar_t *path)
{
    fatal_path_error("Error, failed to open '", path, "' for writing.");
}

/* Renames `from` over `to`, which may exist; bounded retries while a
** scanner holds either. */
static void replace_file(const wchar_t *from, const wchar_t *to)
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

/* temporary_path: `path` with a suffix of this process's own, so that starts
** repairing the same folder at once never write the same file. */
static void form_temporary_path(const wchar_t *path)
{
    wchar_t suffix[32];
    _snwprintf(suffix, 32, L".repair-%lu", (unsigned long)GetCurrentProcessId());
    suffix[31] = L'\0';
    size_t length = wcslen(path);
    if (length + wcslen(suffix) + 1 > ONEFILE_PATH_CAPACITY)
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    wmemcpy(temporary_path, path, length);
    wcscpy(temporary_path + length, suffix);
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
    form_temporary_path(path);
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
    form_temporary_path(path);
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
static void write_record(const wchar_t *folder, bool fresh)
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

    join_path(target_path, folder, RECORD_NAME, L"");
    const wchar_t *written_path = target_path;
    if (!fresh) {
        form_temporary_path(target_path);
        written_path = temporary_path;
    }
    begin_unpack_work();
    HANDLE file = create_for_writing(written_path);
    if (file == INVALID_HANDLE_VALUE)
        fail_to_open(written_path);
    write_or_fail(file, record, (DWORD)length);
    flush_and_close(file);
    if (!fresh)
        replace_file(temporary_path, target_path);
    end_unpack_work();
    free(record);
}

/* Decodes the attached data once and writes every file that the folder
** lacks (all of them in a fresh folder), then the record. */
static void fill_folder(const wchar_t *folder, bool fresh)
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

static void set_first_entry_path(void)
{
    if (expected_count > 0)
        join_path(first_entry_path, unpack_directory, entries[expected_order[0]].name, L"");
}

/* A private folder named after this process: whatever stands at its path
** was left by an ended process that had the same id. */
static void make_private_folder(void)
{
    wchar_t suffix[32];
    _snwprintf(suffix, 32, L".unpacking-%lu", (unsigned long)GetCurrentProcessId());
    suffix[31] = L'\0';
    if (wcslen(unpack_directory) + wcslen(suffix) + 1 > ONEFILE_PATH_CAPACITY)
        fatal_error("Error, attached data holds a file whose unpack path is too long.");
    wcscpy(private_folder, unpack_directory);
    wcscat(private_folder, suffix);
    begin_unpack_work();
    wcscpy(unfinished_cache_folder, private_folder);
    remove_directory_tree(private_folder);
    if (create_private_directory(private_folder) != PRIVATE_DIRECTORY_CREATED)
        fail_to_open(private_folder);
    end_unpack_work();
}

/* Renames the filled private folder into place. False when another start's
** folder got there first. */
static bool publish_private_folder(void)
{
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < RENAME_ATTEMPTS; attempt++) {
        begin_unpack_work();
        bool moved = MoveFileExW(private_folder,
                                 unpack_directory,
                                 0) != FALSE;    /* never over an existing folder */
        error = GetLastError();
        if (moved)
            unfinished_cache_folder[0] = L'\0';
        end_unpack_work();
        if (moved)
            return true;
        DWORD attributes = GetFileAttributesW(unpack_directory);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (kind_of(attributes) == FOUND_DIRECTORY)
                return false;
            /* A file or a link in the folder's place is not ours to run from.
            ** The removal is not reentrant: the clean-up must not run it too. */
            begin_unpack_work();
            remove_non_directory(unpack_directory, attributes);
            end_unpack_work();
            continue;
        }
        Sleep(RENAME_PAUSE_MS);
    }
    fatal_system_error("Error, couldn't move the unpacked folder into place.", error);
}

/* Holds the folder at unpack_directory for the rest of the process when it
** is private to the user: one that someone else made or may change could
** hold anything, so it is never written into or loaded from. False when it
** is gone again. */
static bool hold_cached_folder(void)
{
    held_directory_result held = hold_private_directory(unpack_directory);
    DWORD error = GetLastError();
    /* A folder this user may not even read the security of is not theirs. */
    if (held == DIRECTORY_NOT_PRIVATE
        || (held == DIRECTORY_NOT_OPENED && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)) {
        fatal_path_error("Error, the unpack folder '", unpack_directory,
                         "' is not private to this user; nothing runs from it.");
    }
    return held == DIRECTORY_HELD;
}

void prepare_cached_folder(void)
{
    for (int round = 0; round < PREPARE_ROUNDS; round++) {
        DWORD attributes = GetFileAttributesW(unpack_directory);
        if (attributes != INVALID_FILE_ATTRIBUTES && kind_of(attributes) != FOUND_DIRECTORY) {
            begin_unpack_work();
            remove_non_directory(unpack_directory, attributes);
            end_unpack_work();
            attributes = INVALID_FILE_ATTRIBUTES;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && hold_cached_folder()) {
            clear_table();
            if (!folder_is_intact(unpack_directory))
                fill_folder(unpack_directory, false);
            set_first_entry_path();
            return;
        }
        make_private_folder();
        fill_folder(private_folder, true);
        bool published = publish_private_folder();
        /* Once in place, it is held like a folder found there. */
        if (published && hold_cached_folder()) {
            set_first_entry_path();
            return;
        }
        begin_unpack_work();
        remove_directory_tree(private_folder);
        unfinished_cache_folder[0] = L'\0';
        end_unpack_work();
    }
    fatal_error("Error, couldn't move the unpacked folder into place.");
}
