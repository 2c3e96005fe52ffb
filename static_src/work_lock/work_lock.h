/*
** The work lock: keeps the steps of unpack work (writing one file or one
** piece of a file, starting the child, sweeping one directory: the
** removal's buffers are shared) apart from the end of the process, which a
** console control event runs on a thread the system creates, a window
** message at the end of the session on the main thread between steps, and a
** fatal error wherever it is met. The main thread's steps hold the lock
** alone; the unpack workers' steps share it with each other, so that they
** write side by side. Once the end has begun nobody starts a step any
** more: begin_unpack_work parks the thread until the process ends.
*/
#ifndef ONEFILE_WORK_LOCK_H
#define ONEFILE_WORK_LOCK_H

#include <windows.h>

/* Bracket one step of the main thread's unpack work. Once the end has
** begun, begin_unpack_work never returns: the process is ending. */
void begin_unpack_work(void);
void end_unpack_work(void);

/* The same for a step of the unpack worker in `slot` (1 to
** ONEFILE_WRITER_SLOTS - 1), which other workers' steps may overlap. */
void begin_worker_step(int slot);
void end_worker_step(int slot);

/* Ends the calling thread's step, if it is within one: for a thread that
** stops where it is (a fatal error that another thread reports). */
void leave_unpack_work(void);

/* Runs `end(argument)` with the work lock held, once in the process: later
** calls only wait for the lock. Within a step of the main thread's (a fatal
** error met there) the lock is this thread's already; it is then never
** given back, since the process ends right after. A worker's step is left
** first, and the end waits for the other workers' steps. */
void run_end_of_work(void (*end)(DWORD argument), DWORD argument);

/* Between two steps, where the end of the session may reach this thread:
** runs what set_between_steps_hook registered (the driver's dispatch of
** window messages), if anything. */
void between_unpack_steps(void);
void set_between_steps_hook(void (*hook)(void));

#endif
