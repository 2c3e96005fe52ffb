/*
** Publishing a cached folder: a missing folder is filled as a private
** sibling and renamed into place in one step; the folder run from is held
** open once it is private to the user.
*/
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "cached_folder/cached_folder.h"
#include "cached_folder/folder_internal.h"
#include "errors/errors.h"
#include "state/process_state.h"
#include "errors/retry_policies.h"

static wchar_t private_folder[ONEFILE_PATH_CAPACITY];

static void set_first_entry_path(void)
{
    if (expected_count > 0)
        join_unpack_path(first_entry_path, unpack_directory, entries[expected_order[0]].name, L"");
}

/* Attempts at a private folder whose name is taken: something planted at a
** name no one can guess. */
#define PRIVATE_NAME_ATTEMPTS 8

/* A new private folder of this process's, created exclusively: a name that
** is taken (a link or file that someone planted) is passed over for
** another, never opened or removed. */
static void make_private_folder(void)
{
    for (int attempt = 0; attempt < PRIVATE_NAME_ATTEMPTS; attempt++) {
        if (!name_of_our_own(private_folder, unpack_directory, PRIVATE_MARK))
            fatal_error("Error, attached data holds a file whose unpack path is too long.");
        begin_unpack_work();
        private_directory_result created = create_private_directory(private_folder);
        if (created == PRIVATE_DIRECTORY_CREATED)
            wcscpy(unfinished_cache_folder, private_folder);
        end_unpack_work();
        if (created == PRIVATE_DIRECTORY_CREATED)
            return;
        if (created != PRIVATE_DIRECTORY_EXISTS)
            break;
        renew_names_of_our_own();
    }
    fatal_path_error("Error, failed to open '", private_folder, "' for writing.");
}

/* One attempt to rename the filled private folder into place. A file or a
** link in the folder's place is not ours to run from: it is removed and the
** rename made once more at once. ERROR_ALREADY_EXISTS, with *taken set,
** when another start's folder got there first. */
static DWORD move_private_folder(void *taken)
{
    DWORD error = ERROR_SUCCESS;
    for (int move = 0; move < 2; move++) {
        begin_unpack_work();
        bool moved = MoveFileExW(private_folder,
                                 unpack_directory,
                                 0) != FALSE;    /* never over an existing folder */
        error = moved ? ERROR_SUCCESS : GetLastError();
        if (moved)
            unfinished_cache_folder[0] = L'\0';
        end_unpack_work();
        DWORD attributes = moved ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(unpack_directory);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return error;
        if (kind_of(attributes) == FOUND_DIRECTORY) {
            *(bool *)taken = true;
            return ERROR_ALREADY_EXISTS;
        }
        /* The removal is not reentrant: the clean-up must not run it too. */
        begin_unpack_work();
        remove_non_directory(unpack_directory, attributes);
        end_unpack_work();
    }
    return error;
}

/* Renames the filled private folder into place. False when another start's
** folder got there first. */
static bool publish_private_folder(void)
{
    bool taken = false;
    DWORD error = retry_while_transient(&rename_retry, move_private_folder, &taken);
    if (error != ERROR_SUCCESS && !taken)
        fatal_system_error("Error, couldn't move the unpacked folder into place.", error);
    return !taken;
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

void prepare_cached_folder(void (*before_writing)(void))
{
    for (int round = 0; round < PREPARE_ROUNDS; round++) {
        DWORD attributes = GetFileAttributesW(unpack_directory);
        if (attributes != INVALID_FILE_ATTRIBUTES && kind_of(attributes) != FOUND_DIRECTORY) {
            before_writing();
            begin_unpack_work();
            remove_non_directory(unpack_directory, attributes);
            end_unpack_work();
            attributes = INVALID_FILE_ATTRIBUTES;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && hold_cached_folder()) {
            clear_table();
            if (!folder_is_intact(unpack_directory)) {
                before_writing();
                fill_folder(unpack_directory, false);
            }
            set_first_entry_path();
            return;
        }
        before_writing();
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

