/*
** The end of a fresh start: the child is ended and the unpack directory,
** with everything the application added to it, is removed. This runs on the
** main thread after the child has ended or when the session ends (a window
** message), or on the thread that the system creates for a console control
** event, whichever comes first.
**
** The two threads are kept apart by one lock, the work lock. The main thread
** holds it while it writes one file, while it starts the child and while it
** sweeps one stale directory (the removal's buffers are shared); the
** clean-up holds it from start to end. Once clean-up has begun the main
** thread starts nothing new: begin_unpack_work parks it until the process
** ends. The child's handle is the main thread's: the clean-up may wait on it
** and terminate the child, but only the main thread closes it, after its own
** wait has returned, so no thread ever waits on a closed handle. A fatal
** error runs the same clean-up, also from within a step that holds the lock.
*/
#include <windows.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "cached_folder/cached_folder.h"
#include "driver/driver.h"
#include "errors/retry_policies.h"

static SRWLOCK work_lock = SRWLOCK_INIT;
/* The thread inside begin_unpack_work/end_unpack_work, else 0: an SRW lock
** cannot be taken twice by one thread. */
static volatile DWORD work_lock_holder;
static volatile LONG cleanup_begun;

/* The process is ending on another thread; this one must do nothing more. */
[[noreturn]] static void park_main_thread(void)
{
    for (;;)
        Sleep(INFINITE);
}

void begin_unpack_work(void)
{
    AcquireSRWLockExclusive(&work_lock);
    if (cleanup_begun) {
        ReleaseSRWLockExclusive(&work_lock);
        park_main_thread();
    }
    work_lock_holder = GetCurrentThreadId();
}

void end_unpack_work(void)
{
    work_lock_holder = 0;
    ReleaseSRWLockExclusive(&work_lock);
}

void release_child_process(void)
{
    AcquireSRWLockExclusive(&work_lock);
    CloseHandle(child_process);
    child_process = NULL;
    bool ending = cleanup_begun != 0;
    ReleaseSRWLockExclusive(&work_lock);
    if (ending)
        park_main_thread();
}

static bool unpack_directory_exists(void)
{
    DWORD attributes = GetFileAttributesW(unpack_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* The clean-up itself, with the work lock held. */
static void clean_up(DWORD child_grace_ms)
{
    if (InterlockedExchange(&cleanup_begun, 1) != 0)
        return;
    /* A handle here means the main thread is still waiting for the child:
    ** give the child time to end on its own, then end it. */
    if (child_process != NULL && WaitForSingleObject(child_process, child_grace_ms) != WAIT_OBJECT_0)
        TerminateProcess(child_process, 0);

    /* A fatal error may have stopped the main thread within a file. */
    if (unfinished_file != INVALID_HANDLE_VALUE)
        CloseHandle(unfinished_file);
    unfinished_file = INVALID_HANDLE_VALUE;
    if (removal_flag && unpack_directory[0] != L'\0') {
        /* Files may stay locked for a moment (a scanner, a child still
        ** going away): a bounded series of further attempts. */
        remove_directory_tree(unpack_directory);
        for (int attempt = 0; attempt < DELETION_RETRIES && unpack_directory_exists(); attempt++) {
            Sleep(DELETION_PAUSE_MS);
            remove_directory_tree(unpack_directory);
        }
    }
    remove_unfinished_cache_folder();
    remove_splash_feedback_file();
}

void cleanup_before_exit(DWORD child_grace_ms)
{
    AcquireSRWLockExclusive(&work_lock);
    clean_up(child_grace_ms);
    ReleaseSRWLockExclusive(&work_lock);
}

void cleanup_after_fatal_error(void)
{
    /* The line (and its box) must come after a splash still being made,
    ** never under it. */
    wait_for_splash_opening();
    /* Within a step of unpack work the lock is this thread's already; the
    ** process ends right after, so it is never given back. */
    if (work_lock_holder == GetCurrentThreadId())
        clean_up(0);
    else
        cleanup_before_exit(0);
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
