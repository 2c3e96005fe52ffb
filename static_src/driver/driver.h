/*
** The bootstrap driver: entry point, role decision, the child process, the
** end of the run and fatal error reporting.
**
** Process-wide state. The main thread writes it; the console control
** handler's thread reads child_process, removal_flag and unpack_directory,
** and only while it holds the work lock (see begin_unpack_work).
*/
#ifndef ONEFILE_DRIVER_H
#define ONEFILE_DRIVER_H

#include <windows.h>

#include "paths/paths.h"

/* The expanded unpack template; zero-filled at start and written once. */
extern wchar_t unpack_directory[ONEFILE_PATH_CAPACITY];

/* Target path of the attached data's first entry: the application library. */
extern wchar_t first_entry_path[ONEFILE_PATH_CAPACITY];

/* Set when extraction begins: the unpack directory is ours to remove. */
extern volatile bool removal_flag;

/* The child's process handle while it is being waited for, else NULL. */
extern HANDLE child_process;

/* True when QALVEN_ONEFILE_PARENT names a live process running this very
** executable file: this process is a re-launched copy. */
bool is_relaunched_copy(void);

/* Bracket the main thread's steps that the console handler's clean-up must
** not overlap: writing one file, starting the child. Once clean-up has
** begun, begin_unpack_work never returns: the process is ending. */
void begin_unpack_work(void);
void end_unpack_work(void);

/* Re-launched copy: loads the application library and returns run_code's
** result. Fatal when the library or its entry point cannot be had. */
int run_payload_library(const wchar_t *library_path);

/* Fresh start: QALVEN_ONEFILE_DIRECTORY and QALVEN_ORIGINAL_ARGV0. */
void export_child_environment(void);

/* Fresh start: starts this executable again with the same arguments and
** sets child_process. Fatal when the process cannot be created. */
void launch_child(void);

/* Fills the child command line from GetCommandLineW(); returns it. */
const wchar_t *build_child_command_line(void);

/* Appends one argument to `command_line` (capacity units) so that the
** system's argument splitting gives it back unchanged. Aborts on overflow. */
void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument);

/* Closes the child's handle once the main thread's wait for it is over;
** parks the thread when clean-up has begun meanwhile. */
void release_child_process(void);

/* Waits for the child, polling the splash feedback file while the splash is
** up; closes the handle and returns the child's exit status (1 when it
** cannot be read). */
int wait_for_child(void);

/* Ends the child (5000 ms grace, then TerminateProcess) and removes the
** unpack directory once extraction has begun. Runs at most once. */
void cleanup_before_exit(void);

/* The console control handler registered by a fresh start. */
BOOL WINAPI console_control_handler(DWORD control_type);

/* One line to standard output, then exit status 2. */
[[noreturn]] void fatal_error(const char *message);

/* "<message> ([Error <code>] <system text>)" to standard error, then exit
** status 2. The system text is the English one, without line ends. */
[[noreturn]] void fatal_system_error(const char *message, DWORD code);

#endif
