/*
** The process-wide state that the parts of the bootstrap share. The main
** thread writes it; the console control handler's thread reads
** child_process, removal_flag and unpack_directory, and only while it holds
** the work lock (work_lock/work_lock.h). Defined in process_state.cpp.
*/
#ifndef ONEFILE_PROCESS_STATE_H
#define ONEFILE_PROCESS_STATE_H

#include <windows.h>

#include "format/onefile_format.h"

/* The expanded unpack template; zero-filled at start and written once. */
extern wchar_t unpack_directory[ONEFILE_PATH_CAPACITY];

/* Target path of the attached data's first entry: the application library. */
extern wchar_t first_entry_path[ONEFILE_PATH_CAPACITY];

/* Set when extraction begins: the unpack directory is ours to remove. */
extern volatile bool removal_flag;

/* The child's process handle while it is being waited for, else NULL. */
extern HANDLE child_process;

/* The file that each writer is writing (slot 0: the main thread's; the
** others: the unpack workers'), else NULL: the clean-up closes them before
** the directory is removed. */
#define ONEFILE_WRITER_SLOTS 32
extern HANDLE unfinished_files[ONEFILE_WRITER_SLOTS];

/* The splash window while it is up, else NULL; written by the splash
** thread, which owns it. */
extern HWND splash_window;

#endif
