/*
** The work lock (work_lock.h): one SRW lock, the threads inside a step, and
** whether the end has begun.
*/
#include <windows.h>

#include "state/process_state.h"
#include "work_lock/work_lock.h"

static SRWLOCK work_lock = SRWLOCK_INIT;
/* The thread inside the main thread's step, else 0: an SRW lock cannot be
** taken twice by one thread. */
static volatile DWORD work_lock_holder;
/* The thread inside each worker's step, else 0. */
static volatile DWORD worker_holders[ONEFILE_WRITER_SLOTS];
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

void begin_worker_step(int slot)
{
    AcquireSRWLockShared(&work_lock);
    if (end_begun) {
        ReleaseSRWLockShared(&work_lock);
        park_thread();
    }
    worker_holders[slot] = GetCurrentThreadId();
}

void end_worker_step(int slot)
{
    worker_holders[slot] = 0;
    ReleaseSRWLockShared(&work_lock);
}

/* The slot of the worker step the calling thread is in, else 0. */
static int own_worker_step(void)
{
    DWORD self = GetCurrentThreadId();
    for (int slot = 1; slot < ONEFILE_WRITER_SLOTS; slot++)
        if (worker_holders[slot] == self)
            return slot;
    return 0;
}

void leave_unpack_work(void)
{
    int slot = own_worker_step();
    if (slot != 0)
        end_worker_step(slot);
    else if (work_lock_holder == GetCurrentThreadId())
        end_unpack_work();
}

void run_end_of_work(void (*end)(DWORD argument), DWORD argument)
{
    /* A shared step cannot become the lock's alone: left first. */
    int slot = own_worker_step();
    if (slot != 0)
        end_worker_step(slot);
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
