/*
** The work lock: keeps the main thread's steps of unpack work (writing one
** file, starting the child, sweeping one directory: the removal's buffers
** are shared) apart from the end of the process, which a console control
** event runs on a thread the system creates, a window message at the end
** of the session on the main thread between steps, and a fatal error
** wherever it is met. Once the end has begun the main thread starts nothing
** new: begin_unpack_work parks it until the process ends.
*/
#ifndef ONEFILE_WORK_LOCK_H
#define ONEFILE_WORK_LOCK_H

#include <windows.h>

/* Bracket one step of unpack work. Once the end has begun,
** begin_unpack_work never returns: the process is ending. */
void begin_unpack_work(void);
void end_unpack_work(void);

/* Runs `end(argument)` with the work lock held, once in the process: later
** calls only wait for the lock. Within a step of unpack work of this thread
** (a fatal error met there) the lock is this thread's already; it is then
** never given back, since the process ends right after. */
void run_end_of_work(void (*end)(DWORD argument), DWORD argument);

/* Between two steps, where the end of the session may reach this thread:
** runs what set_between_steps_hook registered (the driver's dispatch of
** window messages), if anything. */
void between_unpack_steps(void);
void set_between_steps_hook(void (*hook)(void));

#endif
