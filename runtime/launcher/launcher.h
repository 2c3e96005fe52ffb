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

/* RT_RCDATA resources of the packed executable: the splash image, and the
** program's path relative to the unpack directory (UTF-16LE, backslashes,
** no terminator). */
#define SPLASH_IMAGE_RESOURCE 28
#define PROGRAM_PATH_RESOURCE 29

/* Capacity, in UTF-16 units with the terminator, of path buffers. */
#define LAUNCHER_PATH_CAPACITY 4096

/* The longest command line the system passes on (terminator included),
** and instead of its argument 0 a program path in quotes and a blank. */
#define PROGRAM_COMMAND_LINE_CAPACITY (32768 + LAUNCHER_PATH_CAPACITY + 3)

/* The first character after argument 0 of `command_line`, read as the
** system's splitting and msvcrt read a program name: in quotes, up to the
** next quote, whatever follows it; otherwise up to the first blank or tab. */
const wchar_t *skip_argument_zero(const wchar_t *command_line);

/* Writes `program` (in quotes when it holds a blank or tab) followed by
** everything after argument 0 of `command_line`, unchanged but for a blank
** put between them when none is there, into `output` of
** PROGRAM_COMMAND_LINE_CAPACITY units. Aborts when that does not fit. */
void build_program_command_line(wchar_t *output, const wchar_t *program,
                                const wchar_t *command_line);

/* Writes the folder of `library_path`, a backslash and the relative path
** stored in this process's executable into `output` of
** LAUNCHER_PATH_CAPACITY units. Returns the system's error code of the
** resource lookup, 0 on success. Aborts when the path does not fit. */
DWORD find_program_path(wchar_t *output, const wchar_t *library_path);

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
