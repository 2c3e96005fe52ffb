/*
** The ways a start ends early. Each removes what this start wrote first
** (cleanup_after_fatal_error), then writes one line:
**   fatal_error, fatal_path_error, fatal_system_error   status 2
**   abort_with_line, abort_on_overflow,                 the runtime's abort
**   report_template_failure (paths.h)                   (status 3)
** The aborts are kept for what the design treats as internal limits: a
** buffer that would overflow and a template that cannot be expanded. When a
** GUI executable's stream leads nowhere, it also shows the line in a message
** box titled with the executable's name.
*/
#ifndef ONEFILE_ERRORS_H
#define ONEFILE_ERRORS_H

#include <wchar.h>

/* The driver's: ends the child at once and removes what this start wrote,
** also when called within unpack work. */
void cleanup_after_fatal_error(void);

/* Returns to the first thread that ends the process, by a fatal report or
** by the fresh start's own return; a thread that comes later (the splash
** thread's report beside the main thread's end) waits here for the end
** under way, so that a process ends once, with at most one line. Call it
** with no lock held that the first one's clean-up may need. */
void claim_process_end(void);

/* One line to standard output. */
[[noreturn]] void fatal_error(const char *message);

/* "<before><path><after>" to standard error. */
[[noreturn]] void fatal_path_error(const char *before, const wchar_t *path, const char *after);

/* "<message> ([Error <code>] <system text>)" to standard error. The system
** text is the English one, without line ends. (The code is a DWORD; the
** header names no system type, so that the payload reader builds natively
** for the benchmark.) */
[[noreturn]] void fatal_system_error(const char *message, unsigned long code);

/* "<before><path><after>" to standard error, then abort. */
[[noreturn]] void abort_with_line(const char *before, const wchar_t *path, const char *after);

/* "Error, <what> does not fit its buffer." through abort_with_line. */
[[noreturn]] void abort_on_overflow(const char *what);

/* "Error, out of memory." through fatal_error. */
[[noreturn]] void fatal_out_of_memory(void);

#endif
