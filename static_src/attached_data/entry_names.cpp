/*
** The names of one walk through the attached data: each must keep the rule
** of format/entry_names.h, and no two may name one file, as the file system
** compares names (fold_entry_name_unit): a later entry would overwrite an
** earlier one, the main library among them. A set of the folded names met
** so far, open addressing over their hashes; the main thread's alone.
*/
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "errors/errors.h"
#include "format/entry_names.h"

static wchar_t **folded_names;     /* heap copies, NULL for a free slot */
static size_t slot_count;          /* a power of two, or 0 */
static size_t name_count;

static uint64_t hash_of(const wchar_t *folded)
{
    uint64_t hash = 14695981039346656037ull;
    for (; *folded != L'\0'; folded++)
        hash = (hash ^ (uint16_t)*folded) * 1099511628211ull;
    return hash;
}

/* Places `folded` in a free slot of the set, which has one. */
static void place(wchar_t *folded)
{
    size_t slot = (size_t)hash_of(folded) & (slot_count - 1);
    while (folded_names[slot] != NULL)
        slot = (slot + 1) & (slot_count - 1);
    folded_names[slot] = folded;
}

/* Keeps at least half the slots free, so every probe ends soon. */
static void grow(void)
{
    wchar_t **old = folded_names;
    size_t old_count = slot_count;
    slot_count = slot_count == 0 ? 1024 : 2 * slot_count;
    folded_names = (wchar_t **)calloc(slot_count, sizeof *folded_names);
    if (folded_names == NULL)
        fatal_out_of_memory();
    for (size_t i = 0; i < old_count; i++)
        if (old[i] != NULL)
            place(old[i]);
    free(old);
}

void forget_entry_names(void)
{
    for (size_t i = 0; i < slot_count; i++) {
        free(folded_names[i]);
        folded_names[i] = NULL;
    }
    name_count = 0;
}

void check_and_remember_entry_name(const wchar_t *name)
{
    size_t length = wcslen(name);
    if (check_entry_name(name, length) != ENTRY_NAME_ACCEPTED)
        fatal_error("Error, attached data holds an unsafe file name.");
    wchar_t *folded = (wchar_t *)malloc((length + 1) * sizeof *folded);
    if (folded == NULL)
        fatal_out_of_memory();
    for (size_t i = 0; i <= length; i++)
        folded[i] = (wchar_t)fold_entry_name_unit((uint16_t)name[i]);
    if (2 * (name_count + 1) > slot_count)
        grow();
    for (size_t slot = (size_t)hash_of(folded) & (slot_count - 1); folded_names[slot] != NULL;
         slot = (slot + 1) & (slot_count - 1)) {
        if (wcscmp(folded_names[slot], folded) == 0)
            fatal_error("Error, attached data holds an unsafe file name.");
    }
    place(folded);
    name_count++;
}
