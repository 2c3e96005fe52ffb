/*
** The work lock (work_lock.h): one SRW lock, the thread inside a step, and
** whether the end has begun.
*/
#include <windows.h>

#include "work_lock/work_lock.h"

static SRWLOCK work_lock = SRWLOCK_INIT;
/* The thread inside begin_unpack_work/end_unpack_work, else 0: an SRW lock
** cannot be taken twice by one thread. */
static volatile DWORD work_lock_holder;
static volatile LONG end_begun;
static void (*between_steps_hook)(void);

/* The process is ending on another thread; this one must do nothing more. */
[[noreturn]] static void park_thread(void)
{
    for (;;)
        Sleep(INFINITE);
}

void begin_unpack_work(void)
{
    AcquireSRWLockExclusive(&work_lock);
    if (end_begun) {
        ReleaseSRWLockExclusive(&work_lock);
        park_thread();
    }
    work_lock_holder = GetCurrentThreadId();
}

void end_unpack_work(void)
{
    work_lock_holder = 0;
    ReleaseSRWLockExclusive(&work_lock);
}

void run_end_of_work(void (*end)(DWORD argument), DWORD argument)
{
    bool within_step = work_lock_holder == GetCurrentThreadId();
    if (!within_step)
        AcquireSRWLockExclusive(&work_lock);
    if (InterlockedExchange(&end_begun, 1) == 0)
        end(argument);
    if (!within_step)
        ReleaseSRWLockExclusive(&work_lock);
}

void between_unpack_steps(void)
{
    if (between_steps_hook != NULL)
        between_steps_hook();
}

void set_between_steps_hook(void (*hook)(void))
{
    between_steps_hook = hook;
}
