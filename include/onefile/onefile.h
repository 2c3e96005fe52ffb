/*
** onefile.h: what an application packed by onefile-pack can ask of the
** executable that unpacked it. Plain C, header only, nothing to link: it
** compiles as C and C++ with MinGW-w64 and MSVC and calls kernel32 alone
** (Windows Vista and later).
** Each function is safe to call in a program that was not packed.
*/
#ifndef ONEFILE_H
#define ONEFILE_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Units, with the terminator, of the longest path the executable writes. */
#define ONEFILE_PATH_CAPACITY 4096

/* The splash feedback file's name in %TEMP%: this prefix, the process id
** of the executable the user started, this suffix. */
#define ONEFILE_SPLASH_FEEDBACK_PREFIX L"onefile_"
#define ONEFILE_SPLASH_FEEDBACK_SUFFIX L"_splash_feedback.tmp"

/* Copies the folder the application was unpacked into (no trailing
** backslash) into `buffer` of `capacity` units. Returns its length without
** the terminator; when it does not fit, the capacity it needs; 0 when this
** process runs under no packed executable. A program the application
** starts inherits the folder of that application. */
static __inline DWORD onefile_unpack_directory(wchar_t *buffer, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableW(L"QALVEN_ONEFILE_UNPACK_DIRECTORY", buffer, capacity);
    if (length == 0 && capacity > 0)
        buffer[0] = L'\0';
    return length;
}

/* Nonzero when the code that calls this (the DLL or program it is compiled
** into) lies in the folder the application was unpacked into. */
static __inline int onefile_is_packed(void)
{
    wchar_t folder[ONEFILE_PATH_CAPACITY];
    wchar_t module_path[ONEFILE_PATH_CAPACITY];
    static const char in_this_module = 0;
    HMODULE module;
    DWORD length = onefile_unpack_directory(folder, ONEFILE_PATH_CAPACITY);
    if (length == 0 || length >= ONEFILE_PATH_CAPACITY)
        return 0;
    /* A static of this header lies in the module that includes it. */
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS
                                | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)&in_this_module, &module))
        return 0;
    /* A path cut at the capacity still shows whether the folder begins it. */
    if (GetModuleFileNameW(module, module_path, ONEFILE_PATH_CAPACITY) <= length)
        return 0;
    return module_path[length] == L'\\'
        && CompareStringOrdinal(module_path, (int)length, folder, (int)length, TRUE) == CSTR_EQUAL;
}

/* Appends `text` at `*length` units of `path`; 0 when it does not fit. */
static __inline int onefile_append_(wchar_t *path, DWORD *length, const wchar_t *text)
{
    for (; *text != L'\0'; text++) {
        if (*length + 1 >= ONEFILE_PATH_CAPACITY)
            return 0;
        path[(*length)++] = *text;
    }
    path[*length] = L'\0';
    return 1;
}

/* Takes the splash picture down: deletes the feedback file
** "%TEMP%\onefile_<QALVEN_ONEFILE_PARENT>_splash_feedback.tmp" that the
** executable shows its splash for. Returns nonzero when it deleted the file,
** 0 when there was none (no splash, or it has ended already). */
static __inline int onefile_end_splash(void)
{
    wchar_t parent[16];
    wchar_t path[ONEFILE_PATH_CAPACITY];
    DWORD parent_length = GetEnvironmentVariableW(L"QALVEN_ONEFILE_PARENT", parent, 16);
    DWORD length;
    DWORD i;
    if (parent_length == 0 || parent_length >= 16)
        return 0;
    /* A process id, never a path into other folders. */
    for (i = 0; i < parent_length; i++)
        if (parent[i] < L'0' || parent[i] > L'9')
            return 0;
    length = GetTempPathW(ONEFILE_PATH_CAPACITY, path);
    if (length == 0 || length >= ONEFILE_PATH_CAPACITY)
        return 0;
    /* The executable names the folder without its trailing backslash. */
    while (length > 0 && path[length - 1] == L'\\')
        length--;
    if (!onefile_append_(path, &length, L"\\" ONEFILE_SPLASH_FEEDBACK_PREFIX)
        || !onefile_append_(path, &length, parent)
        || !onefile_append_(path, &length, ONEFILE_SPLASH_FEEDBACK_SUFFIX))
        return 0;
    return DeleteFileW(path) != 0;
}

#ifdef __cplusplus
}
#endif

#endif
