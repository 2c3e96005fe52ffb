/*
** The program launcher: an application library whose run_code starts an
** ordinary Windows program from the unpack directory, as if the user had
** started that program directly, and returns its exit status.
**
** Process-wide state (run_code.cpp): the program's path, its command line
** and its process handle, which the console control handler's thread reads.
*/
#ifndef ONEFILE_LAUNCHER_H
#define ONEFILE_LAUNCHER_H

#include <windows.h>

#include "launcher_limits.h"

/* The longest command line the system passes on (terminator included),
** instead of its argument 0 a program path in quotes and a blank, and the
** fixed arguments. */
#define PROGRAM_COMMAND_LINE_CAPACITY \
    (32768 + LAUNCHER_PATH_CAPACITY + 3 + FIXED_ARGUMENTS_CAPACITY)

/* The first character after argument 0 of `command_line`, read as the
** system's splitting and msvcrt read a program name: in quotes, up to the
** next quote, whatever follows it; otherwise up to the first blank or tab. */
const wchar_t *skip_argument_zero(const wchar_t *command_line);

/* Writes `program` (in quotes when it holds a blank or tab), then each of
** the `fixed_units` units of `fixed_arguments` (values each ended by a 0
** unit) with {APP_DIR} replaced by the folder of `launcher_path`, quoted
** as the system splits arguments, then everything after argument 0 of
** `command_line`, unchanged; a blank between each part and the next when
** none is there. Into `output` of PROGRAM_COMMAND_LINE_CAPACITY units;
** aborts when that does not fit. */
void build_program_command_line(wchar_t *output, const wchar_t *program,
                                const wchar_t *fixed_arguments, size_t fixed_units,
                                const wchar_t *launcher_path, const wchar_t *command_line);

/* Writes the folder of `library_path`, a backslash and the relative path
** stored in this process's executable into `output` of
** LAUNCHER_PATH_CAPACITY units. Returns the system's error code of the
** resource lookup, 0 on success. Aborts when the path does not fit. */
DWORD find_program_path(wchar_t *output, const wchar_t *library_path);

/* Points `values` at the fixed arguments stored in this process's
** executable and returns their length in units; 0 when there are none. */
size_t find_fixed_arguments(const wchar_t **values);

/* True when the file is a PE image for the Windows GUI subsystem; false
** for console programs and for anything that cannot be read as an image. */
bool is_gui_program(const wchar_t *path);

/* True when this process's executable carries a splash image. */
bool executable_has_splash(void);

/* Deletes "<TEMP>\onefile_<QALVEN_ONEFILE_PARENT>_splash_feedback.tmp",
** which tells the bootstrap that started this process to take its splash
** down. Silent; harmless when the program has deleted the file already. */
void delete_splash_feedback_file(void);

#endif
