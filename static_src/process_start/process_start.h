/*
** Starting a process as if the user had started it in this one's place:
** the system's splitting and quoting of command lines, the startup
** information passed on, the job that ends it with this process. Used by
** the fresh start for its child or program, and by the program launcher.
*/
#ifndef ONEFILE_PROCESS_START_H
#define ONEFILE_PROCESS_START_H

#include <windows.h>

/* The longest command line that the system passes on whole, in UTF-16
** units with the terminator: Windows refuses a longer one, Wine cuts it. */
#define COMMAND_LINE_CAPACITY 32767

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

#endif
