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

/* Module paths of other processes are read into this many units. */
#define OTHER_MODULE_PATH_CAPACITY 2048

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

    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                 FALSE,                /* bInheritHandle */
                                 (DWORD)parent_id);
    if (process == NULL)
        return false;

    wchar_t parent_image[OTHER_MODULE_PATH_CAPACITY];
    if (K32GetModuleFileNameExW(process, NULL, parent_image, OTHER_MODULE_PATH_CAPACITY) == 0) {
        CloseHandle(process);
        return false;
    }
    resolve_final_path(parent_image, OTHER_MODULE_PATH_CAPACITY);
    bool same_executable = wcscmp(parent_image, get_executable_path(true)) == 0;
    CloseHandle(process);
    return same_executable;
}
