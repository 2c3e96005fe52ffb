/*
** The process-wide state that the parts of the bootstrap share, and the
** bracket around the steps that change it. The main thread writes it; the
** console control handler's thread reads child_process, removal_flag and
** unpack_directory, and only while it holds the work lock (see
** begin_unpack_work). Defined in process_state.cpp; the functions are the
** driver's.
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

/* The file that extraction is writing, else INVALID_HANDLE_VALUE: a fatal
** error met within it closes it before the directory is removed. */
extern HANDLE unfinished_file;

/* The splash window while it is up, else NULL; written by the splash
** thread, which owns it. */
extern HWND splash_window;

/* Bracket the main thread's steps that the console handler's clean-up must
** not overlap: writing one file, starting the child. Once clean-up has
** begun, begin_unpack_work never returns: the process is ending. */
void begin_unpack_work(void);
void end_unpack_work(void);

/* Dispatches the messages waiting for this thread's windows (see
** pump_window_messages in driver.h), at most once per 50 ms: cheap enough to
** call between files. */
void pump_window_messages_now_and_then(void);

#endif
