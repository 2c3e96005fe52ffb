/*
** The ways a start ends early. Each removes what this start wrote first
** (set_fatal_error_cleanup), then writes one line:
**   fatal_error, fatal_path_error, fatal_system_error,
**   fatal_start_error, fatal_out_of_memory              status 2
**   abort_with_line, abort_on_overflow,
**   report_template_failure                             the runtime's abort (status 3)
** A fatal error that one thread meets while another reports one stops its
** thread: a process writes one line. The aborts are kept for what the
** design treats as internal limits: a
** buffer that would overflow and a template that cannot be expanded. When a
** GUI executable's stream leads nowhere, it also shows the line in a message
** box titled with the executable's name.
*/
#ifndef ONEFILE_ERRORS_H
#define ONEFILE_ERRORS_H

#include <stddef.h>
#include <wchar.h>

/* Copies the ASCII text `narrow` into `wide` (capacity units), one unit per
** byte, terminated; false, with a terminated prefix, when it does not fit.
** The conversion of names and digits that every part of the bootstrap
** shares; here at the bottom, since the error reports use it too. */
bool widen_ascii(wchar_t *wide, size_t capacity, const char *narrow);

/* Registers what every fatal error runs before its line: the driver's
** clean-up, which ends the child at once and removes what this start wrote,
** also from within unpack work. Until then nothing runs, as in the program
** launcher's library. */
void set_fatal_error_cleanup(void (*cleanup)(void));

/* Returns to the first thread that ends the process, by a fatal report or
** by the fresh start's own return; a thread that comes later (the splash
** thread's report beside the main thread's end, unpack workers that fail
** together) leaves the step of unpack work it is in and waits here for the
** end under way, so that a process ends once, with at most one line. */
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

/* "<before><path><after> ([Error <code>] <system text>)" to standard error. */
[[noreturn]] void fatal_system_path_error(const char *before, const wchar_t *path, const char *after,
                                          unsigned long code);

/* Why the system refused to load or start an image, as words a user can
** act on ("was blocked by ..."), for the codes of application control and
** virus scanners; NULL for any other code. */
const char *refused_image_cause(unsigned long code);

/* For a library that cannot be loaded or a program that cannot be started:
** "Error, '<file>' <cause> ([Error <code>] <system text>)" to standard error
** when the system refused the image (refused_image_cause), else
** fatal_system_error(message, code). */
[[noreturn]] void fatal_start_error(const char *message, const wchar_t *file, unsigned long code);

/* "<before><path><after>" to standard error, then abort. */
[[noreturn]] void abort_with_line(const char *before, const wchar_t *path, const char *after);

/* "Error, <what> does not fit its buffer." through abort_with_line. */
[[noreturn]] void abort_on_overflow(const char *what);

/* "Error, couldn't runtime expand spec '<template>'." through
** abort_with_line: a template that cannot be expanded. */
[[noreturn]] void report_template_failure(const wchar_t *path_template);

/* "Error, out of memory." through fatal_error. */
[[noreturn]] void fatal_out_of_memory(void);

#endif
