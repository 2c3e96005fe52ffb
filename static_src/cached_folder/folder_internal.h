/*
** The parts of the cached folder's work, one file each, and what they share:
** folder_table.cpp (the table of paths below a folder), folder_listing.cpp
** (directory listings and the check of a folder against its record),
** folder_record.cpp (the record's format), folder_repair.cpp (filling and
** repairing a folder), folder_publishing.cpp (the private folder, its
** rename into place and prepare_cached_folder) and siblings.cpp (the lock
** and the removal of older builds).
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
** never leaves a published file unwritten. Files are written by the
** unpack writer (attached_data/file_writer.h), and every path below the
** folder reaches the system in its extended-length form, as the per-run
** directory's do.
**
** Process-wide state: the private folder being filled, written by the main
** thread and read by the console handler's clean-up, both only while they
** hold the work lock (see begin_unpack_work); the table, the main thread's
** alone.
*/
#ifndef ONEFILE_CACHED_FOLDER_INTERNAL_H
#define ONEFILE_CACHED_FOLDER_INTERNAL_H

#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "paths/paths.h"
#include "errors/retry_policies.h"
#include "work_lock/work_lock.h"

/* siblings.cpp: the private sibling folder while it is being filled; empty
** otherwise. The clean-up removes it and repair_file. */
extern wchar_t unfinished_cache_folder[ONEFILE_PATH_CAPACITY];

/* siblings.cpp: the file that a repair writes under a name of this
** process's own, from the moment it is named until it is renamed over its
** path; empty otherwise. The main thread writes it and the clean-up reads
** it, both only while they hold the work lock. */
extern wchar_t repair_file[ONEFILE_PATH_CAPACITY];

/* folder_repair.cpp: while the frame road repairs a folder, which entries
** it writes again and the suffix of their names of this process's own
** ("<name><suffix>"), else NULL; the main thread writes them and the
** clean-up reads them, both only while they hold the work lock. */
#define REPAIR_SUFFIX_CAPACITY 64
extern const bool *repair_wanted;
extern wchar_t repair_suffix[REPAIR_SUFFIX_CAPACITY];

/* siblings.cpp: the mark of a private folder, "<folder><mark><id>-<token>",
** whose writer is the process of that id. */
#define PRIVATE_MARK L".unpacking-"

/* siblings.cpp: `path`, `mark`, this process's id, "-" and a random token
** into `output` (ONEFILE_PATH_CAPACITY units): a name that no other start
** uses and no one can guess; false when it does not fit. */
bool name_of_our_own(wchar_t *output, const wchar_t *path, const wchar_t *mark);

/* siblings.cpp: a new token for the names of our own, for when one is
** taken (planted in the shared folder the names lie in). */
void renew_names_of_our_own(void);

/* folder_table.cpp */

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

/* The table's entries in the order first met, and the indexes of the
** expected files among them in stream order; rebuilt for every folder that
** is checked or filled. */
extern folder_entry *entries;
extern size_t *expected_order;
extern size_t expected_count;

/* Whether the folder's own listing is in the table. */
extern bool root_listed;

/* realloc, fatal when memory runs out. */
void *checked_realloc(void *block, size_t size);

/* Empties the table. */
void clear_table(void);

/* The entry for `name`, added (nothing found, nothing expected) if new. */
size_t entry_for(const wchar_t *name);

/* Marks `name` as a file of the attached data with that size and hash;
** a name met again keeps its place in stream order. */
void expect_file(const wchar_t *name, unsigned long long size, unsigned long long hash);

/* folder_listing.cpp */

/* What the attributes of a found entry make it. */
found_kind kind_of(DWORD attributes);

/* Lists the directory of `folder` that holds `name`, once per table. */
void list_parent_of(const wchar_t *folder, const wchar_t *name);

/* A plain file of the size the entry expects. */
bool is_intact(const folder_entry *entry);

/* Opens a file of the folder to be read through once, whoever else has it open. */
HANDLE open_for_reading(const wchar_t *path);

/* XXH64 of the file's content, read in large pieces; false when it cannot
** be read whole. */
bool hash_file(const wchar_t *path, unsigned long long *hash);

/* Whether `folder` is complete as its record describes it, checked as
** onefile_cache_check asks; the table then holds the record. */
bool folder_is_intact(const wchar_t *folder);

/* folder_record.cpp */

/* Fills the table with the record of `folder` and gives its digest; false
** for a record that is missing or damaged. */
bool load_record(const wchar_t *folder, unsigned long long *digest);

/* Writes the record of the table's expected files into `folder`, written
** last, so that a record promises only files already in place; in a folder
** others may run from, through a name of this process's own. Fatal with
** "Error, couldn't decode attached data." when it is not the record that
** the packer recorded for this build (onefile_record_digest): the attached
** data then differs from what was packed. */
void write_record(const wchar_t *folder, bool fresh);

/* folder_repair.cpp */

/* Decodes the attached data once and writes every file that the folder
** lacks (all of them in a fresh folder), then the record. */
void fill_folder(const wchar_t *folder, bool fresh);

/* Removes the file or link at `path`, whose attributes are given. */
void remove_non_directory(const wchar_t *path, DWORD attributes);

/* Names repair_file "<path>.repair-<process id>". */
void name_repair_file(const wchar_t *path);

/* Renames repair_file over `path`, which may exist, and empties it;
** bounded retries while a scanner holds either; fatal after that, with the
** file removed. */
void replace_with_repair_file(const wchar_t *path);

#endif
