/*
** The cached folder among its siblings: which template names one, the lock
** file that marks it in use, and the removal of what older builds and
** ended starts left beside it.
**
** "In use" means: some process holds "<folder>.lock" open. Every process
** that runs from the folder (a fresh start, a re-launched copy) opens it
** shared and keeps it until it ends, however it ends, since the system
** closes the handle. A start of another build opens it exclusively, with
** delete-on-close, before it removes the folder: it gets it only when no
** process holds it, and no process can open it until the removal is done.
** A folder without the lock file beside it is never removed.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include "cached_folder/cached_folder.h"
#include "attached_data/frames.h"
#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "state/process_state.h"
#include "errors/retry_policies.h"

#define HASH_DIGITS ONEFILE_CONTENT_NAME_DIGITS

wchar_t unfinished_cache_folder[ONEFILE_PATH_CAPACITY];
wchar_t repair_file[ONEFILE_PATH_CAPACITY];

static wchar_t lock_path[ONEFILE_PATH_CAPACITY];
static wchar_t sibling_path[ONEFILE_PATH_CAPACITY];
static wchar_t sibling_lock_path[ONEFILE_PATH_CAPACITY];
static wchar_t extended_repair_file[ONEFILE_EXTENDED_PATH_CAPACITY];

/* The random part of this process's names of its own. */
static wchar_t own_token[ONEFILE_RANDOM_TOKEN_LENGTH + 1];

bool name_of_our_own(wchar_t *output, const wchar_t *path, const wchar_t *mark)
{
    if (own_token[0] == L'\0')
        make_random_token(own_token);
    wchar_t id[16 + ONEFILE_RANDOM_TOKEN_LENGTH];
    _snwprintf(id, 16 + ONEFILE_RANDOM_TOKEN_LENGTH, L"%lu-%ls", (unsigned long)GetCurrentProcessId(), own_token);
    id[15 + ONEFILE_RANDOM_TOKEN_LENGTH] = L'\0';
    return join_path(output, ONEFILE_PATH_CAPACITY, path, mark, id);
}

void renew_names_of_our_own(void)
{
    make_random_token(own_token);
}

/* The unpack directory's parent and last component; false at a root. */
static bool split_unpack_directory(wchar_t *parent, const wchar_t **component)
{
    wcscpy(parent, unpack_directory);
    wchar_t *separator = wcsrchr(parent, L'\\');
    if (separator == NULL || separator == parent)
        return false;
    *separator = L'\0';
    *component = unpack_directory + (separator - parent) + 1;
    return true;
}

/* Opens lock_path shared, for good: the system closes it when the process
** ends. */
static DWORD open_lock_file(void *)
{
    HANDLE lock = CreateFileW(lock_path,
                              GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL,                       /* not inherited */
                              OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL,
                              NULL);                      /* hTemplateFile */
    return lock != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
}

void hold_unpack_folder_lock(void)
{
    wchar_t parent[ONEFILE_PATH_CAPACITY];
    const wchar_t *component = NULL;
    if (split_unpack_directory(parent, &component)) {
        DWORD attributes = GetFileAttributesW(parent);
        /* Present at every start but the first: one request, nothing created. */
        bool present = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (!present && !ensure_directory(parent)) {
            ensure_parent_directories(parent);
            ensure_directory(parent);
        }
    }
    if (!join_path(lock_path, ONEFILE_PATH_CAPACITY, unpack_directory, L".lock"))
        fatal_error("Error, attached data holds a file whose unpack path is too long.");

    DWORD error = retry_while_transient(&lock_retry, open_lock_file, NULL);
    if (error != ERROR_SUCCESS)
        fatal_system_error("Error, couldn't lock the unpack folder.", error);
}

static bool is_hex_digits(const wchar_t *text, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (!iswxdigit(text[i]) || text[i] > 0x7f)
            return false;
    }
    return true;
}

/* An id of a process that no longer runs; an id that cannot be opened for
** lack of rights belongs to a live process. */
static bool process_has_ended(unsigned long id)
{
    HANDLE process = OpenProcess(SYNCHRONIZE,
                                 FALSE,                  /* bInheritHandle */
                                 (DWORD)id);
    if (process == NULL)
        return GetLastError() != ERROR_ACCESS_DENIED;
    bool ended = WaitForSingleObject(process,
                                     0) == WAIT_OBJECT_0;    /* dwMilliseconds: only ask */
    CloseHandle(process);
    return ended;
}

/* A private folder "<16 hex digits>.unpacking-<id>" whose writer has ended. */
static bool is_abandoned_private_folder(const wchar_t *name)
{
    size_t mark_length = wcslen(PRIVATE_MARK);
    if (wcslen(name) <= HASH_DIGITS + mark_length || !is_hex_digits(name, HASH_DIGITS)
        || wcsncmp(name + HASH_DIGITS, PRIVATE_MARK, mark_length) != 0)
        return false;
    const wchar_t *digits = name + HASH_DIGITS + mark_length;
    wchar_t *end = NULL;
    unsigned long id = wcstoul(digits, &end, 10);
    /* "-<token>" after the id; an older start's name has none. */
    if (*end == L'-' && wcslen(end + 1) == ONEFILE_RANDOM_TOKEN_LENGTH)
        end += 1 + ONEFILE_RANDOM_TOKEN_LENGTH;
    return *end == L'\0' && iswdigit(digits[0]) && process_has_ended(id);
}

/* parent + "\" + name into sibling_path; false when it does not fit. */
static bool form_sibling_path(const wchar_t *parent, const wchar_t *name)
{
    return join_path(sibling_path, ONEFILE_PATH_CAPACITY, parent, L"\\", name);
}

/* Removes an older build's folder unless a process holds its lock. A
** folder without a lock file beside it was not made by a start of ours. */
static void remove_unused_build(const wchar_t *parent, const wchar_t *name)
{
    wchar_t aside[ONEFILE_PATH_CAPACITY];
    if (!form_sibling_path(parent, name)
        || !join_path(sibling_lock_path, ONEFILE_PATH_CAPACITY, sibling_path, L".lock")
        || !name_of_our_own(aside, sibling_path, PRIVATE_MARK))
        return;
    HANDLE lock = CreateFileW(sibling_lock_path,
                              DELETE,
                              0,                          /* no sharing: we alone */
                              NULL,                       /* lpSecurityAttributes */
                              OPEN_EXISTING,
                              /* A link planted at the name is opened, and
                              ** deleted, as itself (Windows; Wine follows
                              ** a Unix link whatever the flags say). */
                              FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                              NULL);                      /* hTemplateFile */
    if (lock == INVALID_HANDLE_VALUE)
        return;
    /* Moved aside under a private name first, so that a start of that build
    ** waits for the lock only as long as a rename takes; should this process
    ** end before the removal is done, a later sweep finds it abandoned. */
    /* The removal is not reentrant: a console event's clean-up waits. */
    begin_unpack_work();
    if (MoveFileExW(sibling_path,
                    aside,
                    0)) {                                   /* never over an existing folder */
        CloseHandle(lock);
        remove_directory_tree(aside);
    } else {
        remove_directory_tree(sibling_path);
        CloseHandle(lock);
    }
    end_unpack_work();
}

void remove_older_builds(void)
{
    wchar_t parent[ONEFILE_PATH_CAPACITY];
    const wchar_t *component = NULL;
    wchar_t pattern[ONEFILE_PATH_CAPACITY];
    if (!split_unpack_directory(parent, &component) || !join_path(pattern, ONEFILE_PATH_CAPACITY, parent, L"\\*"))
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = find_first_entry(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        /* Real directories only: a link is never ours. */
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const wchar_t *name = found.cFileName;
        if (wcslen(name) == HASH_DIGITS && is_hex_digits(name, HASH_DIGITS)) {
            if (_wcsicmp(name, component) != 0)
                remove_unused_build(parent, name);
        } else if (is_abandoned_private_folder(name) && form_sibling_path(parent, name)) {
            begin_unpack_work();
            remove_directory_tree(sibling_path);
            end_unpack_work();
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

/* The files of the frame road's repair under their names of our own. */
static void remove_repair_files(void)
{
    const frame_index *index = linked_frame_index();
    for (size_t i = 0; index != NULL && i < index->entry_count; i++) {
        if (repair_wanted[i] && join_path(repair_file, ONEFILE_PATH_CAPACITY, unpack_directory, L"\\",
                                          index->entries[i].name, repair_suffix)
            && make_extended_length_path(repair_file, extended_repair_file, ONEFILE_EXTENDED_PATH_CAPACITY))
            DeleteFileW(extended_repair_file);
    }
    repair_wanted = NULL;
}

void remove_unfinished_cache_folder(void)
{
    if (repair_wanted != NULL)
        remove_repair_files();
    /* The clean-up has closed the files already (unfinished_files). */
    if (repair_file[0] != L'\0'
        && make_extended_length_path(repair_file, extended_repair_file, ONEFILE_EXTENDED_PATH_CAPACITY))
        DeleteFileW(extended_repair_file);
    repair_file[0] = L'\0';
    if (unfinished_cache_folder[0] == L'\0')
        return;
    remove_directory_tree(unfinished_cache_folder);
    unfinished_cache_folder[0] = L'\0';
}
