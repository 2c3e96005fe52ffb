/*
** The process-wide state (see process_state.h for who may touch what).
*/
#include <windows.h>

#include "state/process_state.h"

wchar_t unpack_directory[ONEFILE_PATH_CAPACITY];
wchar_t first_entry_path[ONEFILE_PATH_CAPACITY];
volatile bool removal_flag;
HANDLE child_process;
HANDLE unfinished_files[ONEFILE_WRITER_SLOTS];
/* Here rather than beside the window code: the error reports read it, and
** the launcher, which shows no splash, links them. */
HWND splash_window;
