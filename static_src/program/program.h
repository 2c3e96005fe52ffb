/*
** The packed program (onefile-pack --main NAME.exe): an ordinary Windows
** program in the unpack directory, started as if the user had started it
** directly. A fresh start starts it as its own child; a re-launched copy
** (a start of this executable by the program itself) loads the launcher
** library, which starts it the same way.
**
** Process-wide state: the program's path and command line, written once by
** prepare_program_start.
*/
#ifndef ONEFILE_PROGRAM_H
#define ONEFILE_PROGRAM_H

#include <windows.h>

#include "format/onefile_format.h"

/* The longest command line the system passes on (terminator included),
** instead of its argument 0 a program path in quotes and a blank, and the
** fixed arguments. */
#define PROGRAM_COMMAND_LINE_CAPACITY \
    (32768 + ONEFILE_PATH_CAPACITY + 3 + ONEFILE_FIXED_ARGUMENTS_CAPACITY)

extern wchar_t program_path[ONEFILE_PATH_CAPACITY];
extern wchar_t program_command_line[PROGRAM_COMMAND_LINE_CAPACITY];

/* True when this process's executable names a program to start. */
bool executable_names_program(void);

/* Fills program_path and program_command_line for the program beside
** `library_path` (the unpack directory's first entry), with this process's
** command line. Returns 0, or the system's error code that keeps the
** program from being started: no program named, or a command line longer
** than the system passes on whole. */
DWORD prepare_program_start(const wchar_t *library_path);

/* pass_on_startup_info for the program; with no standard handle at all
** (started from the desktop) a console program gets those of the console
** the system makes for it, as when started there directly. */
void pass_on_program_startup_info(STARTUPINFOW *startup);

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
** ONEFILE_PATH_CAPACITY units. Returns the system's error code of the
** resource lookup, 0 on success. Aborts when the path does not fit. */
DWORD find_program_path(wchar_t *output, const wchar_t *library_path);

/* Points `values` at the fixed arguments stored in this process's
** executable and returns their length in units; 0 when there are none. */
size_t find_fixed_arguments(const wchar_t **values);

/* True when the file is a PE image for the Windows GUI subsystem; false
** for console programs and for anything that cannot be read as an image. */
bool is_gui_program(const wchar_t *path);

#endif
