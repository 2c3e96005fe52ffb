/*
** The program's command line: the caller's own command line with argument
** 0 replaced by the program's path and the fixed arguments put after it.
** Everything after argument 0 passes on as it is, so the program splits
** it, and expands wildcards in it, itself.
*/
#include <stdlib.h>
#include <wchar.h>

#include "errors/errors.h"
#include "process_start/process_start.h"
#include "program/program.h"

/* A fixed argument with {APP_DIR} expanded; only the thread that prepares
** the start uses it. */
static wchar_t expanded_argument[ONEFILE_FIXED_ARGUMENTS_CAPACITY];

/* Copies the value of `length` units at `value` into expanded_argument,
** each {APP_DIR} replaced by the `folder_length` units at `folder`. */
static void expand_argument(const wchar_t *value, size_t length,
                            const wchar_t *folder, size_t folder_length)
{
    static const wchar_t placeholder[] = L"" ONEFILE_APP_DIR_PLACEHOLDER;
    const size_t placeholder_length = sizeof placeholder / sizeof placeholder[0] - 1;
    size_t out = 0;
    for (size_t i = 0; i < length;) {
        bool is_placeholder = length - i >= placeholder_length
                           && wmemcmp(value + i, placeholder, placeholder_length) == 0;
        const wchar_t *piece = is_placeholder ? folder : value + i;
        size_t piece_length = is_placeholder ? folder_length : 1;
        if (out + piece_length + 1 > ONEFILE_FIXED_ARGUMENTS_CAPACITY)
            abort_on_overflow("the fixed arguments");
        wmemcpy(expanded_argument + out, piece, piece_length);
        out += piece_length;
        i += is_placeholder ? placeholder_length : 1;
    }
    expanded_argument[out] = L'\0';
}

/* Appends `count` units of `text` to `output`, whose first `*length`
** units are written; aborts when they do not fit. */
static void put(wchar_t *output, size_t *length, const wchar_t *text, size_t count)
{
    if (!append_units(output, PROGRAM_COMMAND_LINE_CAPACITY, length, text, count))
        abort_on_overflow("the program's command line");
}

/* Appends `argument` so that the program's split gives it back unchanged. */
static void put_quoted_argument(wchar_t *output, size_t *length, const wchar_t *argument)
{
    if (!append_quoted(output, PROGRAM_COMMAND_LINE_CAPACITY, length, argument))
        abort_on_overflow("the program's command line");
}

void build_program_command_line(wchar_t *output, const wchar_t *program,
                                const wchar_t *fixed_arguments, size_t fixed_units,
                                const wchar_t *launcher_path, const wchar_t *command_line)
{
    size_t length = 0;
    output[0] = L'\0';
    /* A path holds no double quote, so plain quotes around it are enough. */
    bool quote = wcspbrk(program, L" \t") != NULL;
    if (quote)
        put(output, &length, L"\"", 1);
    put(output, &length, program, wcslen(program));
    if (quote)
        put(output, &length, L"\"", 1);

    const wchar_t *separator = wcsrchr(launcher_path, L'\\');
    size_t folder_length = separator != NULL ? (size_t)(separator - launcher_path) : 0;
    for (size_t start = 0; start < fixed_units;) {
        size_t end = start;
        while (end < fixed_units && fixed_arguments[end] != L'\0')
            end++;
        expand_argument(fixed_arguments + start, end - start, launcher_path, folder_length);
        put(output, &length, L" ", 1);
        put_quoted_argument(output, &length, expanded_argument);
        start = end + 1;
    }

    const wchar_t *rest = skip_argument_zero(command_line);
    /* Text right after a closing quote is the next argument already. */
    if (rest[0] != L'\0' && rest[0] != L' ' && rest[0] != L'\t')
        put(output, &length, L" ", 1);
    put(output, &length, rest, wcslen(rest));
}
