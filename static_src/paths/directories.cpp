/*
** Directory creation for the unpack tree. A process-wide table remembers
** every directory already confirmed, so that the files of one directory
** reach the file system for it only once. Directories are created through
** the extended-length form of their path, so that every path that fits our
** buffers works without the system's long-path setting.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "paths/paths.h"
#include "errors/errors.h"

#define KNOWN_DIRECTORIES_CAPACITY 1024

/* Heap copies, never freed. */
static wchar_t *known_directories[KNOWN_DIRECTORIES_CAPACITY];
static int known_directory_count;

static void remember_directory(const wchar_t *path)
{
    if (known_directory_count >= KNOWN_DIRECTORIES_CAPACITY)
        return;
    wchar_t *copy = _wcsdup(path);
    if (copy == NULL)
        fatal_out_of_memory();
    known_directories[known_directory_count++] = copy;
}

static bool is_known_directory(const wchar_t *path)
{
    /* Newest first: files arrive sorted by path, so the directory a file
    ** needs is nearly always the one confirmed last, and a scan from the
    ** oldest would compare every file's directory with hundreds of others. */
    for (int i = known_directory_count; i-- > 0;) {
        if (wcscmp(known_directories[i], path) == 0)
            return true;
    }
    return false;
}

bool join_path(wchar_t *path, size_t capacity, const wchar_t *first, const wchar_t *second,
               const wchar_t *third, const wchar_t *fourth)
{
    const wchar_t *pieces[4] = {first, second, third, fourth};
    size_t lengths[4];
    size_t total = 0;
    for (int i = 0; i < 4; i++) {
        lengths[i] = wcslen(pieces[i]);
        total += lengths[i];
    }
    if (total + 1 > capacity)
        return false;
    /* The first piece may be the path itself: moved, not copied. */
    wmemmove(path, first, lengths[0]);
    size_t at = lengths[0];
    for (int i = 1; i < 4; i++) {
        wmemcpy(path + at, pieces[i], lengths[i]);
        at += lengths[i];
    }
    path[at] = L'\0';
    return true;
}

bool make_extended_length_path(const wchar_t *path, wchar_t *output, size_t capacity)
{
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        if (wcslen(path) + 1 > capacity)
            return false;
        wcscpy(output, path);
        return true;
    }
    /* Relative parts, "." and "..", and forward slashes are resolved here:
    ** the extended form passes names to the file system as they are. */
    static const size_t unc_prefix_length = 8;  /* "\\?\UNC\" */
    if (capacity < unc_prefix_length + 1)
        return false;
    DWORD room = (DWORD)(capacity - unc_prefix_length);
    DWORD length = GetFullPathNameW(path, room, output + unc_prefix_length, NULL);
    if (length == 0 || length >= room)
        return false;
    wchar_t *full = output + unc_prefix_length;
    if (wcsncmp(full, L"\\\\", 2) == 0) {
        /* "\\server\share\x" becomes "\\?\UNC\server\share\x"; device
        ** paths ("\\.\", "\\?\") stay as they are. */
        if (full[2] == L'.' || full[2] == L'?') {
            wmemmove(output, full, (size_t)length + 1);
            return true;
        }
        wmemcpy(output, L"\\\\?\\UNC", 7);
        wmemmove(output + 7, full + 1, (size_t)length);
        return true;
    }
    wmemcpy(output, L"\\\\?\\", 4);
    wmemmove(output + 4, full, (size_t)length + 1);
    return true;
}

/* The user profile folder counts as present even where creating it fails
** with another error than "already exists". Asked for only then: the
** folder query loads shell32, and with it the window libraries. */
static bool is_home_directory(const wchar_t *path)
{
    static const wchar_t home_template[] = L"{HOME}";
    wchar_t home[ONEFILE_PATH_CAPACITY];
    if (!expand_path_template(home, home_template, ONEFILE_PATH_CAPACITY))
        report_template_failure(home_template);
    return _wcsicmp(home, path) == 0;
}

bool ensure_directory(const wchar_t *path)
{
    if (is_known_directory(path))
        return true;
    if (wcslen(path) == 2 && path[1] == L':')
        return true;
    wchar_t extended[ONEFILE_EXTENDED_PATH_CAPACITY];
    if (!make_extended_length_path(path, extended, ONEFILE_EXTENDED_PATH_CAPACITY))
        return false;
    bool present = CreateDirectoryW(extended, NULL) != 0;
    /* A file of that name is there: no directory, whatever the error says. */
    if (!present && GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD attributes = GetFileAttributesW(extended);
        present = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    if (!present)
        present = is_home_directory(path);
    if (present)
        remember_directory(path);
    return present;
}

/* Index of the last backslash at index 1 or more, or 0 when there is none. */
static size_t last_separator(const wchar_t *path, size_t length)
{
    for (size_t i = length; i-- > 1;) {
        if (path[i] == L'\\')
            return i;
    }
    return 0;
}

/*
** Walks up from the parent of `path` until an ancestor exists or can be
** created, then creates the levels below it on the way back down. One
** buffer serves every level: the walk up cuts it at successive backslashes
** and the walk down puts them back. (A recursive walk with a buffer per
** level would need 8 KiB of stack for every component of a deep name.)
*/
void ensure_parent_directories(const wchar_t *path)
{
    wchar_t ancestor[ONEFILE_PATH_CAPACITY];
    size_t length = wcslen(path);
    if (length + 1 > ONEFILE_PATH_CAPACITY)
        abort_on_overflow("a path");
    wmemcpy(ancestor, path, length + 1);

    size_t cut = last_separator(ancestor, length);
    if (cut == 0)
        return;
    ancestor[cut] = L'\0';
    size_t deepest_cut = cut;

    /* Up: cut until ensure_directory succeeds. A topmost level that fails
    ** and has no backslash left gets its second attempt at once. */
    while (!ensure_directory(ancestor)) {
        size_t next = last_separator(ancestor, cut);
        if (next == 0) {
            ensure_directory(ancestor);
            break;
        }
        ancestor[next] = L'\0';
        cut = next;
    }

    /* Down: each cut level gets its second attempt, nearest the root first. */
    while (cut != deepest_cut) {
        ancestor[cut] = L'\\';
        cut += wcslen(ancestor + cut);
        ensure_directory(ancestor);
    }
}

HANDLE find_first_entry(const wchar_t *pattern, WIN32_FIND_DATAW *found)
{
    return FindFirstFileExW(pattern,
                            FindExInfoBasic,        /* no short names */
                            found,
                            FindExSearchNameMatch,
                            NULL,                   /* lpSearchFilter */
                            FIND_FIRST_EX_LARGE_FETCH);
}

size_t usable_cores(void)
{
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask))
        return 1;
    size_t count = 0;
    for (; process_mask != 0; process_mask &= process_mask - 1)
        count++;
    return count == 0 ? 1 : count;
}
