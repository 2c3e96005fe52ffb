/*
** The role decision: a process is a re-launched copy when the bootstrap
** named by QALVEN_ONEFILE_PARENT is alive and runs this same executable
** file, however either of them was reached.
*/
#include <windows.h>
#include <errno.h>
#include <psapi.h>
#include <stdlib.h>
#include <wchar.h>

#include "driver/driver.h"

/* Other processes' image paths are read into as many units as our own, so
** that every path this executable may have can match. */
#define OTHER_MODULE_PATH_CAPACITY (ONEFILE_PATH_CAPACITY + 1)

bool process_is_running(HANDLE process)
{
    DWORD waited = WaitForSingleObject(process, 0);
    if (waited != WAIT_FAILED)
        return waited == WAIT_TIMEOUT;
    /* A guard took the right to wait away: the exit code tells instead. */
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
}

/* The image path of a live process into `image`; false when the process is
** gone or its path cannot be had. Asks with the least access first, which
** products that guard other processes' memory still grant. */
static bool read_live_process_image(DWORD process_id, wchar_t *image)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                 FALSE,                /* bInheritHandle */
                                 process_id);
    if (process != NULL) {
        /* An ended process keeps its image name while handles to it remain. */
        bool live = process_is_running(process);
        DWORD length = OTHER_MODULE_PATH_CAPACITY;
        bool read = live && QueryFullProcessImageNameW(process, 0 /* Win32 path */, image, &length);
        CloseHandle(process);
        if (read || !live)
            return read;
    }
    process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                          FALSE,                       /* bInheritHandle */
                          process_id);
    if (process == NULL)
        return false;
    bool read = K32GetModuleFileNameExW(process, NULL, image, OTHER_MODULE_PATH_CAPACITY) != 0;
    CloseHandle(process);
    return read;
}

/* The bootstrap that is_relaunched_copy found, else 0. */
static DWORD parent_process_id;

bool is_relaunched_copy(void)
{
    wchar_t *parent = get_environment_value("QALVEN_ONEFILE_PARENT");
    if (parent == NULL)
        return false;

    wchar_t *end = NULL;
    errno = 0;
    unsigned long parent_id = wcstoul(parent, &end, 10);
    if (errno != 0 || *end != L'\0')
        return false;
    parent_process_id = (DWORD)parent_id;

    static wchar_t parent_image[OTHER_MODULE_PATH_CAPACITY];
    if (!read_live_process_image((DWORD)parent_id, parent_image))
        return false;
    /* One path names one file: resolving, which asks the file system about
    ** every folder on the way, is for paths that differ. */
    if (wcscmp(parent_image, get_executable_path(false)) == 0)
        return true;
    resolve_final_path(parent_image, OTHER_MODULE_PATH_CAPACITY);
    return wcscmp(parent_image, get_executable_path(true)) == 0;
}

bool runs_from_parents_folder(void)
{
    if (hold_private_directory(unpack_directory) != DIRECTORY_HELD)
        return false;
    wchar_t *value = get_environment_value("QALVEN_ONEFILE_FOLDER_HANDLE");
    if (value == NULL)
        return false;
    wchar_t *end = NULL;
    errno = 0;
    unsigned long long handle = wcstoull(value, &end, 10);
    bool read = errno == 0 && *end == L'\0';
    free(value);
    return read && holds_directory_of(parent_process_id, handle);
}
