/*
** The program's command line: the caller's own command line with argument
** 0 replaced by the program's path. Everything after argument 0 passes on
** as it is, so the program splits it, and expands wildcards in it, itself.
*/
#include <stdlib.h>
#include <wchar.h>

#include "launcher.h"

static bool is_blank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

const wchar_t *skip_argument_zero(const wchar_t *command_line)
{
    const wchar_t *p = command_line;
    if (*p == L'"') {
        p++;
        while (*p != L'\0' && *p++ != L'"')
            ;
        return p;
    }
    while (*p != L'\0' && !is_blank(*p))
        p++;
    return p;
}

void build_program_command_line(wchar_t *output, const wchar_t *program,
                                const wchar_t *command_line)
{
    const wchar_t *rest = skip_argument_zero(command_line);
    size_t program_length = wcslen(program);
    size_t rest_length = wcslen(rest);
    /* A path holds no double quote, so plain quotes around it are enough. */
    bool quote = wcspbrk(program, L" \t") != NULL;
    /* Text right after a closing quote is the next argument already. */
    bool separate = rest[0] != L'\0' && !is_blank(rest[0]);
    size_t length = program_length + (quote ? 2 : 0) + (separate ? 1 : 0) + rest_length;
    if (length + 1 > PROGRAM_COMMAND_LINE_CAPACITY)
        abort();

    wchar_t *out = output;
    if (quote)
        *out++ = L'"';
    wmemcpy(out, program, program_length);
    out += program_length;
    if (quote)
        *out++ = L'"';
    if (separate)
        *out++ = L' ';
    wmemcpy(out, rest, rest_length + 1);
}
