/*
** File extraction: every entry of the attached data is written below the
** unpack directory by the writer (file_writer.h): frame by frame on the
** process's cores when the attached data has a frame index (frames.h), else
** in stream order. A re-launched copy only needs the first entry's path:
** its parent has written the files.
*/
#include <windows.h>
#include <stdint.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "attached_data/frames.h"
#include "paths/paths.h"
#include "state/process_state.h"
#include "work_lock/work_lock.h"

static wchar_t target_path[ONEFILE_PATH_CAPACITY];
static wchar_t first_name[ONEFILE_ENTRY_NAME_CAPACITY];
static bool directory_created;

/* Before the first file: from then on any ending removes it. */
static void make_unpack_directory(void)
{
    if (directory_created)
        return;
    create_unpack_directory();
    /* Made by this start: from now on any ending removes it. */
    removal_flag = true;
    directory_created = true;
}

static void write_entry(const wchar_t *name, uint64_t size, void *)
{
    join_unpack_path(target_path, unpack_directory, name, L"");
    if (first_entry_path[0] == L'\0')
        wcscpy(first_entry_path, target_path);
    /* The clean-up of a console event must not delete a half-written file. */
    begin_unpack_work();
    make_unpack_directory();
    open_unpack_file(target_path, target_path);
    write_unpack_content(size, NULL);
    close_unpack_file(false);
    end_unpack_work();
    /* Between files, where the end of the session may run the clean-up. */
    between_unpack_steps();
}

void extract_attached_data(void)
{
    const frame_index *index = linked_frame_index();
    if (index == NULL) {
        walk_entries(onefile_attached_data, (size_t)onefile_attached_data_size, write_entry, NULL);
        return;
    }
    if (index->entry_count == 0)
        return;
    join_unpack_path(first_entry_path, unpack_directory, index->entries[0].name, L"");
    begin_unpack_work();
    make_unpack_directory();
    end_unpack_work();
    frame_unpacking everything = {unpack_directory, L"", NULL, false};
    unpack_frames(index, &everything);
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
