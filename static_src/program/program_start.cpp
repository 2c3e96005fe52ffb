/*
** What a start of the program needs, whoever starts it: its path in the
** unpack directory, its command line, and the startup information it
** inherits.
*/
#include <windows.h>
#include <wchar.h>

#include "errors/errors.h"
#include "process_start/process_start.h"
#include "program/program.h"

wchar_t program_path[ONEFILE_PATH_CAPACITY];
wchar_t program_command_line[PROGRAM_COMMAND_LINE_CAPACITY];

DWORD prepare_program_start(const wchar_t *library_path)
{
    DWORD missing = find_program_path(program_path, library_path);
    if (missing != 0)
        return missing;
    /* From the command line itself, not argv: the runtime has expanded
    ** wildcards in argv, and the program does that itself. */
    const wchar_t *fixed_arguments;
    size_t fixed_units = find_fixed_arguments(&fixed_arguments);
    build_program_command_line(program_command_line, program_path, fixed_arguments, fixed_units,
                               library_path, GetCommandLineW());
    /* The program's path in the unpack directory may make it longer than
    ** the typed one: refused whole, as Windows would, never passed on cut. */
    if (wcslen(program_command_line) >= COMMAND_LINE_CAPACITY)
        return ERROR_FILENAME_EXCED_RANGE;
    return 0;
}

static bool is_set(HANDLE handle)
{
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
}

void pass_on_program_startup_info(STARTUPINFOW *startup)
{
    pass_on_startup_info(startup);
    if (!is_set(startup->hStdInput) && !is_set(startup->hStdOutput) && !is_set(startup->hStdError))
        startup->dwFlags &= ~STARTF_USESTDHANDLES;
}
