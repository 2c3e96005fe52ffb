/*
** Where delay-loaded system libraries come from. user32, gdi32, ole32,
** shell32 and shlwapi are linked through delay-load import libraries
** (static_src/CMakeLists.txt): a process loads each only at the first call
** into it, so a road that never shows a window or asks for a shell folder
** never pays for loading and starting them.
**
** The runtime's delay-load helper would load them by bare name, which
** searches the executable's folder and the current directory first, where
** anyone who can write a file could plant a library of that name. The hook
** loads each from System32 instead, and a library System32 cannot give ends
** the start rather than letting the helper try its own search.
*/
#include <windows.h>
#include <delayimp.h>

#include "errors/errors.h"

enum { DLL_NAME_CAPACITY = 64 };

static FARPROC WINAPI load_from_system_folder(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary)
        return NULL;
    /* On the stack: the splash thread may load a library while the main
    ** thread loads another. */
    wchar_t dll_name[DLL_NAME_CAPACITY];
    /* System library names are ASCII; a longer one is no system library's
    ** and fails to load. */
    widen_ascii(dll_name, DLL_NAME_CAPACITY, info->szDll);
    HMODULE library = LoadLibraryExW(dll_name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == NULL)
        fatal_path_error("Error, couldn't load the system library ", dll_name, ".");
    return (FARPROC)library;
}

/* Read by the runtime's delay-load helper; the link keeps this definition
** (-Wl,--undefined) over the runtime's empty default. */
PfnDliHook __pfnDliNotifyHook2 = load_from_system_folder;
