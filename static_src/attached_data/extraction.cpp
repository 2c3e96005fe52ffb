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
#include "errors/errors.h"
#include "paths/paths.h"
#include "state/process_state.h"

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static wchar_t target_path[ONEFILE_PATH_CAPACITY];

/* A part of only dots and blanks: "." and "..", and what the system's path
** normalisation, which drops trailing dots and blanks, turns into them. */
static bool is_dot_part(const wchar_t *part, size_t length)
{
    if (length == 0)
        return false;
    for (size_t i = 0; i < length; i++)
        if (part[i] != L'.' && part[i] != L' ')
            return false;
    return true;
}

/* Names stay below the unpack directory: relative, no drive or stream
** colon, no dot parts, with either separator. */
static bool is_safe_entry_name(const wchar_t *name)
{
    if (name[0] == L'\\' || name[0] == L'/' || wcschr(name, L':') != NULL)
        return false;
    const wchar_t *part = name;
    for (const wchar_t *p = name;; p++) {
        if (*p == L'\\' || *p == L'/' || *p == L'\0') {
            if (is_dot_part(part, (size_t)(p - part)))
                return false;
            if (*p == L'\0')
                return true;
            part = p + 1;
        }
    }
}

void read_entry_name(wchar_t *name)
{
    for (size_t i = 0;; i++) {
        unsigned char unit[2];
        if (i == ONEFILE_ENTRY_NAME_CAPACITY)
            fatal_error("Error, attached data holds a file name longer than 1023 characters.");
        payload_read(unit, 2);
        name[i] = (wchar_t)(unit[0] | (unit[1] << 8));
        if (name[i] != L'\0')
            continue;
        if (i == 0)
            payload_finish();
        else if (!is_safe_entry_name(name))
            fatal_error("Error, attached data holds an unsafe file name.");
        return;
    }
}

uint64_t read_entry_size(void)
{
    unsigned char bytes[8];
    payload_read(bytes, 8);
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--)
        size = (size << 8) | bytes[i];
    return size;
}

void extract_attached_data(bool relaunched)
{
    payload_open(onefile_attached_data, (size_t)onefile_attached_data_size);
    bool directory_created = false;
    for (;;) {
        read_entry_name(entry_name);
        if (entry_name[0] == L'\0') {
            payload_close();
            return;
        }
        join_unpack_path(target_path, unpack_directory, entry_name, L"");
        if (first_entry_path[0] == L'\0') {
            wcscpy(first_entry_path, target_path);
            if (relaunched)
                return;
        }
        uint64_t size = read_entry_size();
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
        pump_window_messages_now_and_then();
    }
}
