/*
** The bootstrap driver: entry point, role decision, the child process, the
** end of the run, the session window and the sweep. It registers its part
** in the lower modules (register_driver_hooks); the process-wide state it
** shares with them is in state/process_state.h.
*/
#ifndef ONEFILE_DRIVER_H
#define ONEFILE_DRIVER_H

#include <windows.h>

#include "errors/errors.h"
#include "paths/paths.h"
#include "process_start/process_start.h"
#include "state/process_state.h"
#include "work_lock/work_lock.h"

/* True when QALVEN_ONEFILE_PARENT names a live process running this very
** executable file: this process is a re-launched copy. */
bool is_relaunched_copy(void);

/* Re-launched copy, its unpack directory expanded: whether the folder at
** that path is private to the user and is the very folder that the parent
** holds as the handle QALVEN_ONEFILE_FOLDER_HANDLE names; then it stays
** held. Anything else at the path was put there by someone else. */
bool runs_from_parents_folder(void);

/* Whether the process behind the handle (opened with at least
** PROCESS_QUERY_LIMITED_INFORMATION) still runs; without SYNCHRONIZE on the
** handle, a process that ended with status 259 counts as running. */
bool process_is_running(HANDLE process);

/* True when a fresh start launched this process as its child (the marker
** that launch_child leaves for it names the parent); removes the marker, so
** that nothing the application starts sees it. */
bool take_child_marker(void);

/* Re-launched copy, and a cached start that runs the application itself:
** loads the application library from the unpack directory and returns
** run_code's result (driver.cpp). Fatal when the library or its entry point
** cannot be had. */
int run_payload_library(const wchar_t *library_path);

/* Ends the process with one line (status 2) when the attached data named no
** application: first_entry_path is empty. */
void require_application(void);

/* Fresh start, once the unpack directory is complete: exports the child's
** environment, launches the child, runs `while_it_starts`, waits for the
** child and cleans up; returns the child's exit status. */
int run_child(void (*while_it_starts)(void));

/* Fresh start in cached mode: the rest of it, from the folder's lock to the
** application's exit status (cached_start.cpp). */
int run_cached_start(void);

/* Fresh start: QALVEN_ONEFILE_DIRECTORY, QALVEN_ORIGINAL_ARGV0 and the
** child marker QALVEN_ONEFILE_CHILD_OF (see take_child_marker). */
void export_child_environment(void);

/* Fresh start: starts this executable again with the same arguments, or
** the program it names in the unpack directory (see program.h) in its
** place, in a job that ends it with this process, and sets child_process.
** A start that fails for a reason that may pass (a scanner holding a file,
** a system under load) is tried again for a bounded time; then the failure
** is fatal. */
void launch_child(void);

/* Fills the child command line from GetCommandLineW(); returns it, or NULL
** when it is longer than COMMAND_LINE_CAPACITY allows. */
const wchar_t *build_child_command_line(void);

/* Closes the child's handle once the main thread's wait for it is over;
** parks the thread when clean-up has begun meanwhile. */
void release_child_process(void);

/* Waits for the child, dispatching this thread's window messages and, while
** a GUI program is to end the splash, asking it every 50 ms whether its
** first window waits for input; closes the handle and returns the child's
** exit status (1 when it cannot be read). */
int wait_for_child(void);

/* Grace that the child gets to end on its own: after Ctrl+C or Ctrl+Break,
** and when the system ends the process about 5 s after the event (console
** closed, logoff, shutdown, end of session), leaving time for the removal. */
#define CHILD_GRACE_MS 5000
#define CHILD_GRACE_BEFORE_SYSTEM_END_MS 2000

/* Ends the child (`child_grace_ms`, then TerminateProcess) and removes the
** unpack directory once extraction has begun. Runs at most once. */
void cleanup_before_exit(DWORD child_grace_ms);

/* Fresh start: asks to be shut down after applications and, unless the
** process has the window already or hears the end of the session through
** its console (it has one and has loaded neither user32 nor gdi32), creates
** the hidden top-level window through which the system announces it;
** silent when there is no desktop to create it on. */
void open_session_window(void);

/* Fresh start: the window is due 100 ms from now; made by
** open_session_window, or by the first pump_window_messages_now_and_then or
** wait_for_child timeout after that. */
void defer_session_window(void);

/* Milliseconds until a deferred window is due: 0 once it is, INFINITE when
** none is deferred. */
DWORD session_window_due_in(void);

/* Dispatches the messages waiting for this thread's windows, as
** pump_window_messages does, at most once per 50 ms: cheap enough to call
** between files (the work lock's between-steps hook). */
void pump_window_messages_now_and_then(void);

/* Dispatches every message waiting for this thread's windows (the session
** window). At the end of the session this passes the end on to
** the windows of a child still running, then runs the clean-up and ends the
** process. */
void pump_window_messages(void);

/* Whether this thread owns a window (the session window; the splash is its
** own thread's) whose messages must be served; a wait without one needs no
** user32. */
bool has_windows_to_serve(void);

/* Destroys the session window: once the wait is over, and before the
** application runs in this process. */
void close_session_window(void);

/* Fresh start: removes, up to a few per start, the directories beside our
** own that the unpack template names and whose owners are gone (see the
** directory lock in paths.h), never our own and never one that a live
** process still holds. Each removal is unpack work. */
void sweep_stale_unpack_directories(void);

/* Registers the driver's part in the lower modules: the clean-up that every
** fatal error runs first, and the dispatch of window messages between steps
** of unpack work. */
void register_driver_hooks(void);

/* The console control handler registered by a fresh start. */
BOOL WINAPI console_control_handler(DWORD control_type);

#endif
