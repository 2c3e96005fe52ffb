/*
** File extraction: every entry of the attached data is written below the
** unpack directory, in stream order, by the writer (file_writer.h). A
** re-launched copy only needs the first entry's path: its parent has
** written the files.
*/
#include <windows.h>
#include <stdint.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "paths/paths.h"
#include "state/process_state.h"
#include "work_lock/work_lock.h"

static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t first_name[ONEFILE_ENTRY_NAME_CAPACITY];
static bool directory_created;

static void write_entry(const wchar_t *name, uint64_t size, void *)
{
    join_unpack_path(target_path, unpack_directory, name, L"");
    if (first_entry_path[0] == L'\0')
        wcscpy(first_entry_path, target_path);
    /* The clean-up of a console event must not delete a half-written file. */
    begin_unpack_work();
    if (!directory_created) {
        create_unpack_directory();
        /* Made by this start: from now on any ending removes it. */
        removal_flag = true;
        directory_created = true;
    }
    open_unpack_file(target_path, target_path);
    write_unpack_content(size, NULL);
    close_unpack_file(false);
    end_unpack_work();
    /* Between files, where the end of the session may run the clean-up. */
    between_unpack_steps();
}

void extract_attached_data(void)
{
    walk_entries(onefile_attached_data, (size_t)onefile_attached_data_size, write_entry, NULL);
}

void find_first_entry_path(void)
{
    payload_open(onefile_attached_data, (size_t)onefile_attached_data_size);
    read_entry_name(first_name);
    if (first_name[0] != L'\0')
        join_unpack_path(first_entry_path, unpack_directory, first_name, L"");
    /* The decoder is left to the end of the process: freeing it would cost
    ** the copy, which runs the application next, a system call. */
}
