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

#include "errors/errors.h"
#include "paths/paths.h"

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

/* True when QALVEN_ONEFILE_PARENT names a live process running this very
** executable file: this process is a re-launched copy. */
bool is_relaunched_copy(void);

/* Whether the process behind the handle (opened with at least
** PROCESS_QUERY_LIMITED_INFORMATION) still runs; without SYNCHRONIZE on the
** handle, a process that ended with status 259 counts as running. */
bool process_is_running(HANDLE process);

/* True when a fresh start launched this process as its child (the marker
** that launch_child leaves for it names the parent); removes the marker, so
** that nothing the application starts sees it. */
bool take_child_marker(void);

/* Bracket the main thread's steps that the console handler's clean-up must
** not overlap: writing one file, starting the child. Once clean-up has
** begun, begin_unpack_work never returns: the process is ending. */
void begin_unpack_work(void);
void end_unpack_work(void);

/* Fresh start: takes the unpack directory's lock, then creates the
** directory, private to the user, with its missing ancestors. Fatal (one
** line) when the lock is held or anything is already at the path: a
** directory is only ever used by the start that made it. Other failures are
** left for the first file's open to report. */
void create_unpack_directory(void);

/* Re-launched copy: loads the application library and returns run_code's
** result. Fatal when the library or its entry point cannot be had. */
int run_payload_library(const wchar_t *library_path);

/* Fresh start: QALVEN_ONEFILE_DIRECTORY and QALVEN_ORIGINAL_ARGV0. */
void export_child_environment(void);

/* Fresh start: starts this executable again with the same arguments, or
** the program it names in the unpack directory (see program.h) in its
** place, in a job that ends it with this process, and sets child_process.
** A start that fails for a reason that may pass (a scanner holding a file,
** a system under load) is tried again for a bounded time; then the failure
** is fatal. */
void launch_child(void);

/* The longest command line that the system passes on whole, in UTF-16
** units with the terminator: Windows refuses a longer one, Wine cuts it. */
#define COMMAND_LINE_CAPACITY 32767

/* Fills the child command line from GetCommandLineW(); returns it, or NULL
** when it is longer than COMMAND_LINE_CAPACITY allows. */
const wchar_t *build_child_command_line(void);

/* The first character after argument 0 of `command_line`, read as the
** system's splitting and msvcrt read a program name: in quotes, up to the
** next quote, whatever follows it; otherwise up to the first blank or tab. */
const wchar_t *skip_argument_zero(const wchar_t *command_line);

/* Splits `line` as the system does (CommandLineToArgvW's rules): call it
** with *position at the start of the line for argument 0, then again for
** each further one. Copies the argument into `argument`, which has room
** for the whole line, and moves *position past it and the blanks after it;
** false, copying nothing, once no argument is left. An empty line holds
** one empty argument 0, where CommandLineToArgvW gives the executable's
** path instead. */
bool next_argument(const wchar_t *line, const wchar_t **position, wchar_t *argument);

/* A job whose processes end when its last handle, the caller's, is
** closed, as when this process ends however it ends; processes started
** inside it break away and live on. NULL when there is none to be had. */
HANDLE make_kill_on_close_job(void);

/* Gives `startup` what this process was given, for a process that should
** run as if started in its place: the C runtime's descriptor block
** (cbReserved2, lpReserved2) unchanged, and the standard handles with
** STARTF_USESTDHANDLES, each one inheritable: itself when it is, otherwise
** a copy, which close_standard_handle_copies closes once the process has
** started. NULL and invalid handles stay as they are. */
void pass_on_startup_info(STARTUPINFOW *startup);
void close_standard_handle_copies(void);

/* CreateProcessW of `application` with `command_line`, inheriting handles,
** with our environment and folder, `flags` and `startup`, inside `job`
** (NULL: none) from its creation where the system allows; elsewhere
** created suspended, put into the job and let go. False, with the error in
** GetLastError, when it cannot be started. */
bool create_process_in_job(const wchar_t *application, wchar_t *command_line, HANDLE job,
                           DWORD flags, const STARTUPINFOW *startup, PROCESS_INFORMATION *created);

/* Appends `count` units of `text` to `line` (capacity units, the first
** *length of them written) and advances *length; false, with nothing
** appended, when they do not fit. */
bool append_units(wchar_t *line, size_t capacity, size_t *length, const wchar_t *text, size_t count);

/* Appends `argument` likewise, so that the system's argument splitting
** gives it back unchanged; false, with a part of it appended, when it does
** not fit. */
bool append_quoted(wchar_t *line, size_t capacity, size_t *length, const wchar_t *argument);

/* Appends one argument to `command_line` (capacity units) so that the
** system's argument splitting gives it back unchanged. Aborts on overflow. */
void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument);

/* Closes the child's handle once the main thread's wait for it is over;
** parks the thread when clean-up has begun meanwhile. */
void release_child_process(void);

/* Waits for the child, polling the splash feedback file every 50 ms while
** the splash is up and dispatching this thread's window messages; closes
** the handle and returns the child's exit status (1 when it cannot be
** read). */
int wait_for_child(void);

/* Grace that the child gets to end on its own: after Ctrl+C or Ctrl+Break,
** and when the system ends the process about 5 s after the event (console
** closed, logoff, shutdown, end of session), leaving time for the removal. */
#define CHILD_GRACE_MS 5000
#define CHILD_GRACE_BEFORE_SYSTEM_END_MS 2000

/* Ends the child (`child_grace_ms`, then TerminateProcess) and removes the
** unpack directory once extraction has begun. Runs at most once. */
void cleanup_before_exit(DWORD child_grace_ms);

/* Fresh start: creates the hidden top-level window through which the
** system announces the end of the session, silent when there is no desktop
** to create it on, and asks to be shut down after applications. */
void open_session_window(void);

/* Dispatches every message waiting for this thread's windows (the session
** window, the splash). At the end of the session this passes the end on to
** the windows of a child still running, then runs the clean-up and ends the
** process. */
void pump_window_messages(void);

/* The same, at most once per 50 ms: cheap enough to call between files. */
void pump_window_messages_now_and_then(void);

/* Whether this thread owns a window (the session window, the splash)
** whose messages must be served; a wait without one needs no user32. */
bool has_windows_to_serve(void);

/* Destroys the session window: once the wait is over, and before the
** application runs in this process. */
void close_session_window(void);

/* Fresh start: removes, up to a few per start, the directories beside our
** own that the unpack template names and whose owners are gone (see the
** directory lock in paths.h), never our own and never one that a live
** process still holds. Each removal is unpack work. */
void sweep_stale_unpack_directories(void);

/* The console control handler registered by a fresh start. */
BOOL WINAPI console_control_handler(DWORD control_type);

/* For the fatal errors: ends the child at once and removes what this start
** wrote (cleanup_before_exit), also when called within unpack work. */
void cleanup_after_fatal_error(void);

#endif
