/*
** Ending the bootstrap's splash for a program that knows nothing of it: the
** bootstrap takes its splash down once the feedback file is gone.
*/
#include <wchar.h>

#include "launcher.h"

#define PARENT_ID_CAPACITY 32

bool executable_has_splash(void)
{
    return FindResourceW(GetModuleHandleW(NULL),
                         MAKEINTRESOURCEW(SPLASH_IMAGE_RESOURCE),
                         RT_RCDATA) != NULL;
}

void delete_splash_feedback_file(void)
{
    static const wchar_t prefix[] = L"\\onefile_";
    static const wchar_t suffix[] = L"_splash_feedback.tmp";
    wchar_t parent[PARENT_ID_CAPACITY];
    DWORD parent_length = GetEnvironmentVariableW(L"QALVEN_ONEFILE_PARENT",
                                                  parent,
                                                  PARENT_ID_CAPACITY);
    if (parent_length == 0 || parent_length >= PARENT_ID_CAPACITY)
        return;

    static wchar_t path[LAUNCHER_PATH_CAPACITY];
    DWORD length = GetTempPathW(LAUNCHER_PATH_CAPACITY, path);
    if (length == 0 || length >= LAUNCHER_PATH_CAPACITY)
        return;
    /* The bootstrap's {TEMP} has no trailing backslash. */
    while (length > 0 && path[length - 1] == L'\\')
        length--;
    if (length + wcslen(prefix) + parent_length + wcslen(suffix) + 1 > LAUNCHER_PATH_CAPACITY)
        return;
    path[length] = L'\0';
    wcscat(path, prefix);
    wcscat(path, parent);
    wcscat(path, suffix);
    DeleteFileW(path);
}
