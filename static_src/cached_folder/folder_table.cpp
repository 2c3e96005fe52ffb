/*
** The table of paths below one cached folder: every expected file and
** everything the listings saw, found by name ignoring case (as the entries'
** rule folds it) through an open-addressing hash index.
*/
#include <windows.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "format/entry_names.h"
#include "state/process_state.h"

/* The table: entries in the order first met, an open-addressing index
** (entry number + 1, 0 for a free slot) and the expected files in stream
** order. Rebuilt for every folder that is checked or filled. */
folder_entry *entries;
static size_t entry_count, entry_capacity;
static size_t *slots;
static size_t slot_capacity;
size_t *expected_order;
size_t expected_count;
bool root_listed;

void *checked_realloc(void *block, size_t size)
{
    void *grown = realloc(block, size);
    if (grown == NULL)
        fatal_out_of_memory();
    return grown;
}

static wchar_t *checked_copy(const wchar_t *text)
{
    wchar_t *copy = _wcsdup(text);
    if (copy == NULL)
        fatal_out_of_memory();
    return copy;
}

void clear_table(void)
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
        fatal_out_of_memory();
    for (size_t i = 0; i < entry_count; i++)
        place_in_slots(i);
}

size_t entry_for(const wchar_t *name)
{
    wchar_t *key = checked_copy(name);
    /* Letter case folded as the entries' rule folds it: the file system's. */
    for (wchar_t *unit = key; *unit != L'\0'; unit++)
        *unit = (wchar_t)fold_entry_name_unit((uint16_t)*unit);
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

void expect_file(const wchar_t *name, unsigned long long size, unsigned long long hash)
{
    size_t index = entry_for(name);
    if (!entries[index].expected) {
        entries[index].expected = true;
        expected_order[expected_count++] = index;
    }
    entries[index].expected_size = size;
    entries[index].expected_hash = hash;
}
