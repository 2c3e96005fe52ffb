/*
** The end of a fresh start: the child is ended and the unpack directory,
** with everything the application added to it, is removed. This runs on the
** main thread after the child has ended or when the session ends (a window
** message), or on the thread that the system creates for a console control
** event, whichever comes first.
**
** The two threads are kept apart by the work lock (work_lock/work_lock.h),
** which the clean-up holds from start to end. The child's handle is the main thread's: the clean-up may wait on it
** and terminate the child, but only the main thread closes it, after its own
** wait has returned, so no thread ever waits on a closed handle. A fatal
** error runs the same clean-up, also from within a step that holds the lock.
*/
#include <windows.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "cached_folder/cached_folder.h"
#include "driver/driver.h"
#include "errors/retry_policies.h"
#include "work_lock/work_lock.h"

/* How long a fatal report waits for the splash to go: a splash thread that
** lost the end of the process to another's report parks and never ends. */
#define SPLASH_END_WAIT_MS 2000

void release_child_process(void)
{
    begin_unpack_work();
    CloseHandle(child_process);
    child_process = NULL;
    end_unpack_work();
}

/* What stays of the tree is held by someone: a scanner, a child still
** going away. */
static DWORD remove_unpack_directory(void *)
{
    return remove_directory_tree(unpack_directory) ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION;
}

/* The clean-up itself, with the work lock held, once. */
static void clean_up(DWORD child_grace_ms)
{
    /* A handle here means the main thread is still waiting for the child:
    ** give the child time to end on its own, then end it. */
    if (child_process != NULL && WaitForSingleObject(child_process, child_grace_ms) != WAIT_OBJECT_0)
        TerminateProcess(child_process, 0);

    /* A fatal error, or the end itself, may have stopped writers within a
    ** file; the others wait at their next step. */
    for (HANDLE &file : unfinished_files) {
        if (file != NULL)
            CloseHandle(file);
        file = NULL;
    }
    /* What cannot be removed stays: the process is ending. Our own hold
    ** of the folder goes first. */
    release_held_directory();
    if (removal_flag && unpack_directory[0] != L'\0')
        retry_while_transient(&deletion_retry, remove_unpack_directory, NULL);
    remove_unfinished_cache_folder();
    remove_splash_feedback_file();
}

void cleanup_before_exit(DWORD child_grace_ms)
{
    run_end_of_work(clean_up, child_grace_ms);
}

/* Ends the child at once; also from within a step of unpack work. */
static void clean_up_after_fatal_error(void)
{
    /* The line (and its box) must come after a splash still being made,
    ** never under it. */
    wait_for_splash_opening();
    run_end_of_work(clean_up, 0);
    /* The feedback file is gone: the splash goes before a box comes. Made
    ** while the splash thread took its windows down, the box failed under
    ** Wine 10 now and then (its window handle an exception code, its
    ** controls refused), and the report reached no one. */
    wait_for_splash_end(SPLASH_END_WAIT_MS);
}

void register_driver_hooks(void)
{
    set_fatal_error_cleanup(clean_up_after_fatal_error);
    set_between_steps_hook(pump_window_messages_now_and_then);
}

/*
** Only a process with a console receives these. On Windows the GUI bootstrap
** has none: the end of the session reaches it as window messages instead
** (session_end.cpp); under Wine, SIGINT arrives here as Ctrl+C.
*/
BOOL WINAPI console_control_handler(DWORD control_type)
{
    switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        cleanup_before_exit(CHILD_GRACE_MS);
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        /* The system ends the process about 5 s after these. */
        cleanup_before_exit(CHILD_GRACE_BEFORE_SYSTEM_END_MS);
        break;
    default:
        break;
    }
    /* The system's default handling ends the process. */
    return FALSE;
}
