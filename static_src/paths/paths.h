/*
** Paths and environment: path templates, the executable's own path, the
** process environment and the creation of directory trees.
**
** Everything here runs on the main thread. The process environment is the
** only memory shared with other processes: values computed for {RANDOM},
** {TIME_US} and {TIME} are stored there so that children expand a template
** to the same path.
*/
#ifndef ONEFILE_PATHS_H
#define ONEFILE_PATHS_H

#include <windows.h>
#include <stddef.h>
#include <wchar.h>

#include "format/onefile_format.h"
#include "format/template_syntax.h"

/* Capacity of the extended-length form of a path buffer's content: room for
** the "\\?\UNC\" prefix. */
#define ONEFILE_EXTENDED_PATH_CAPACITY (ONEFILE_PATH_CAPACITY + 8)

/* The unpack directory's path template, fixed by the packer: NUL-terminated
** UTF-16 within its ONEFILE_UNPACK_TEMPLATE_CAPACITY units. */
extern "C" const wchar_t onefile_unpack_template[ONEFILE_UNPACK_TEMPLATE_CAPACITY];

/* The executable's unpack template; aborts when its units hold no
** terminator. */
const wchar_t *unpack_template_text(void);

/* Characters of a random token ({RANDOM}, the names of private folders). */
#define ONEFILE_RANDOM_TOKEN_LENGTH 11

/* ONEFILE_RANDOM_TOKEN_LENGTH characters of A-Za-z0-9-_ and a terminator
** into `token`, from the system's cryptographic generator: no one can
** guess them. */
void make_random_token(wchar_t *token);

/* Whether `unit` is one of a random token's characters. */
bool is_random_token_unit(wchar_t unit);

/* Digits of {TIME_US}: the microseconds within the second. */
#define ONEFILE_TIME_US_DIGITS 6

/* Expands the placeholders of `path_template` into `output`, which holds
** `capacity` units. Returns false for an unknown or empty placeholder name,
** a stray '}', a literal that does not fit, {TEMP} that cannot be had or does
** not fit, and a folder query that fails. A value that does not fit ends
** the process through abort_on_overflow; a non-digit QALVEN_ONEFILE_PARENT
** and a missing argv[0] are fatal errors (status 2). The output is
** terminated after every step. */
bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity);

/* The executable's path: the module-file query's result (resolved false) or
** its final path with prefixes removed and the directory part in short form
** (resolved true). Computed once; the pointer stays valid. */
const wchar_t *get_executable_path(bool resolved);

/* Rewrites the file path in `buffer` (capacity units) to its final form:
** links followed, "\\?\" and "\\?\UNC\" removed, directory part shortened.
** A path that cannot be opened is only shortened. */
void resolve_final_path(wchar_t *buffer, size_t capacity);

/* Rewrites the directory part of the path in `buffer` in short (8.3) form;
** the last component keeps its name. Unchanged when the directory does not
** exist. Overflowing `capacity` aborts. */
void shorten_directory_part(wchar_t *buffer, size_t capacity);

/* A heap copy of the variable's value, owned by the caller, or NULL when the
** variable is absent or empty. */
wchar_t *get_environment_value_w(const wchar_t *name);
wchar_t *get_environment_value(const char *name);

/* Sets the variable for this process and the children it starts later; a
** NULL value removes it. Returns SetEnvironmentVariableW's result. */
bool set_environment_value(const char *name, const wchar_t *value);

/* True when the directory exists afterwards: created now, found present, a
** bare drive such as "C:", the user profile folder (fatal when it cannot be
** named, as report_template_failure), or remembered from an earlier call. */
bool ensure_directory(const wchar_t *path);

/* Starts listing the entries that match `pattern`: basic information only
** (no short names), fetched in large batches. INVALID_HANDLE_VALUE when
** nothing matches or the folder cannot be read; else FindClose it. */
HANDLE find_first_entry(const wchar_t *pattern, WIN32_FIND_DATAW *found);

/* How many threads the process may run at once: the cores of its
** affinity (what `taskset` or a job allows), at least 1. */
size_t usable_cores(void);

/* Creates the missing ancestors of `path`, nearest to the root first. */
void ensure_parent_directories(const wchar_t *path);

/* Writes the pieces one after the other into `path` (capacity units), the
** separators among them as the caller gives them; `first` may be `path`
** itself. False, with `path` unchanged, when they do not fit with the
** terminator. The one join of the bootstrap's paths. */
bool join_path(wchar_t *path, size_t capacity, const wchar_t *first, const wchar_t *second,
               const wchar_t *third = L"", const wchar_t *fourth = L"");

/* Writes the full extended-length form of `path` ("\\?\C:\...",
** "\\?\UNC\server\..."), which reaches names beyond MAX_PATH whatever the
** system's long-path setting; false when it does not fit in `capacity`. */
bool make_extended_length_path(const wchar_t *path, wchar_t *output, size_t capacity);

/* Removes the directory with everything below it, whatever the length of
** the paths inside. Every entry is opened as itself (a link, never what it
** points to) and deleted through that handle; each directory is held open
** against renaming while it is emptied, so the walk never leaves the tree.
** Entries that cannot be removed (held open, no rights) are passed over;
** under Wine, which opens the targets of Unix links, a link to a file or to
** nothing is renamed over by a file of the walk's own that then goes, and a
** link to a folder stays. On several
** cores the folders at the top are removed side by side. Returns whether
** the path is gone afterwards. Each call has buffers of its own. */
bool remove_directory_tree(const wchar_t *directory);

/* Removes what stands at the full path `path` unless it is a folder,
** never what it leads to: opened as itself and, when its handle names the
** path (within the folder's final name), deleted through that handle, so a
** planted hard link loses only this name and a link goes as a link; what
** Wine opened through a Unix link is renamed over by a file of our own
** that then goes. A folder, or a file held open, stays. Returns whether
** nothing stands there now. */
bool remove_file_entry(const wchar_t *path);

/* Security attributes whose protected DACL grants full access to the user of
** the process token, SYSTEM and Administrators only, inherited by every file
** and folder created below; NULL when they cannot be built. Built once. */
SECURITY_ATTRIBUTES *private_directory_security(void);

/* Outcome of create_private_directory. */
enum private_directory_result {
    PRIVATE_DIRECTORY_CREATED,
    PRIVATE_DIRECTORY_EXISTS,       /* something (a folder, a link, a file) is there */
    PRIVATE_DIRECTORY_FAILED,       /* GetLastError() says why */
};

/* Creates `path` as a new directory with the private DACL above. Never
** accepts what is already at the path. */
private_directory_result create_private_directory(const wchar_t *path);

/* Whether the descriptor's DACL is, entry for entry, the one that
** private_directory_security gives, and protected from inheritance. */
bool is_private_directory_dacl(PSECURITY_DESCRIPTOR descriptor);

/* The same of the DACL of the directory at `path` (a link is not followed);
** false when it cannot be read. */
bool has_private_directory_dacl(const wchar_t *path);

/* Outcome of hold_private_directory. */
enum held_directory_result {
    DIRECTORY_HELD,                 /* private: held open until the process ends */
    DIRECTORY_NOT_PRIVATE,          /* another owner, or others may change it */
    DIRECTORY_NOT_OPENED,           /* gone or unreadable: GetLastError() says why */
};

/* Opens the existing directory at `path` (a real one, never a link) and
** checks through that handle that its owner is the process's user, SYSTEM or
** Administrators and that its DACL lets no one else change it. A private
** one stays open, not renamable or removable, until the process ends or
** another is held. */
held_directory_result hold_private_directory(const wchar_t *path);

/* The directory that hold_private_directory holds, else INVALID_HANDLE_VALUE;
** and its release, before the holder removes it. */
HANDLE held_directory_handle(void);
void release_held_directory(void);

/* Whether the process `process_id` holds, as its handle `handle_value`,
** the very directory that this process holds (hold_private_directory):
** the one a parent made and handed its children, not one that someone put
** at its path. False when that cannot be told. */
bool holds_directory_of(DWORD process_id, unsigned long long handle_value);

/* Fresh start: takes the unpack directory's lock, then creates the
** directory, private to the user, with its missing ancestors, and holds it
** (hold_private_directory). Fatal (one line) when the lock is held or
** anything is already at the path: a directory is only ever used by the
** start that made it. Other failures are left for the first file's open to
** report. */
void create_unpack_directory(void);

/* Takes the directory's lock, a named kernel object, for the life of this
** process and of every child that inherits handles: while any holder lives,
** the sweep leaves the directory alone. The name goes with the last handle.
** False when the lock is held already; a lock that cannot be made otherwise
** is passed over. */
bool hold_directory_lock(const wchar_t *directory);

/* Takes the lock of a directory whose holders are all gone; NULL while any
** holder lives. Closing the handle lets it go. */
HANDLE claim_directory_lock(const wchar_t *directory);

#endif
