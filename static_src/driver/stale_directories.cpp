/*
** The sweep of a fresh start: unpack directories that a killed bootstrap
** left in TEMP (nothing runs its clean-up then) are removed by the next
** fresh start that uses the same TEMP.
**
** A directory is stale when both of these hold:
** - its lock (paths.h) can be taken: no process holds it any more;
** - the process id in its name names no process that was already running
**   when the directory was made. This also guards directories whose lock
**   could not be made, and those of older bootstraps, which have none.
*/
#include <windows.h>
#include <wchar.h>

#include "driver/driver.h"

#define PROCESS_ID_DIGITS_MAX 10
#define TIME_US_DIGITS 6
#define RANDOM_TOKEN_LENGTH 11

static wchar_t stale_path[ONEFILE_PATH_CAPACITY];

static bool is_digit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

static bool is_token_character(wchar_t c)
{
    return is_digit(c) || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'-'
        || c == L'_';
}

/* "onefile_<pid>_<6 digits>_<11 base64url characters>": sets the pid. */
static bool is_unpack_directory_name(const wchar_t *name, DWORD *process_id)
{
    if (wcsncmp(name, L"onefile_", 8) != 0)
        return false;
    const wchar_t *p = name + 8;
    unsigned long long id = 0;
    int digits = 0;
    for (; is_digit(*p); p++, digits++)
        id = id * 10 + (unsigned long long)(*p - L'0');
    if (digits == 0 || digits > PROCESS_ID_DIGITS_MAX || id > 0xFFFFFFFFull || *p++ != L'_')
        return false;
    for (int i = 0; i < TIME_US_DIGITS; i++, p++) {
        if (!is_digit(*p))
            return false;
    }
    if (*p++ != L'_')
        return false;
    for (int i = 0; i < RANDOM_TOKEN_LENGTH; i++, p++) {
        if (!is_token_character(*p))
            return false;
    }
    *process_id = (DWORD)id;
    return *p == L'\0';
}

static ULONGLONG as_number(FILETIME time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

/* Whether a process that may have made a directory at `made` still runs
** under `process_id`. A process we may not look at counts as running; one
** started after the directory was made only reuses the id. */
static bool owner_may_live(DWORD process_id, FILETIME made)
{
    if (process_id == GetCurrentProcessId())
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                 FALSE,                 /* bInheritHandle */
                                 process_id);
    if (process == NULL)
        return GetLastError() != ERROR_INVALID_PARAMETER;
    FILETIME created, exited, kernel, user;
    bool lives = process_is_running(process)
              && (!GetProcessTimes(process, &created, &exited, &kernel, &user)
                  || as_number(created) <= as_number(made));
    CloseHandle(process);
    return lives;
}

/* Removes one directory if it is stale, holding its lock meanwhile, so that
** two sweeps never remove the same directory at once. */
static void remove_if_stale(const wchar_t *temp_folder, const WIN32_FIND_DATAW *found)
{
    DWORD process_id = 0;
    if (!(found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        || !is_unpack_directory_name(found->cFileName, &process_id))
        return;
    size_t folder_length = wcslen(temp_folder);
    if (folder_length + 1 + wcslen(found->cFileName) + 1 > ONEFILE_PATH_CAPACITY)
        return;
    wcscpy(stale_path, temp_folder);
    stale_path[folder_length] = L'\\';
    wcscpy(stale_path + folder_length + 1, found->cFileName);
    if (_wcsicmp(stale_path, unpack_directory) == 0 || owner_may_live(process_id, found->ftCreationTime))
        return;

    begin_unpack_work();
    HANDLE lock = claim_directory_lock(stale_path);
    if (lock != NULL) {
        remove_directory_tree(stale_path);
        CloseHandle(lock);
    }
    end_unpack_work();
}

void sweep_stale_unpack_directories(void)
{
    wchar_t temp_folder[ONEFILE_PATH_CAPACITY];
    wcscpy(temp_folder, unpack_directory);
    wchar_t *separator = wcsrchr(temp_folder, L'\\');
    if (separator == NULL)
        return;
    *separator = L'\0';

    wchar_t pattern[ONEFILE_EXTENDED_PATH_CAPACITY];
    if (!make_extended_length_path(temp_folder, pattern, ONEFILE_EXTENDED_PATH_CAPACITY - 10))
        return;
    wcscat(pattern, L"\\onefile_*");
    WIN32_FIND_DATAW found;
    HANDLE search = find_first_entry(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        remove_if_stale(temp_folder, &found);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
