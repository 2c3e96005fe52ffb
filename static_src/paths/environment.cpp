/*
** Environment access. The system's variable names are ASCII; values are
** UTF-16 and may be as long as the system allows.
*/
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "paths/paths.h"
#include "errors/errors.h"

/* Longest name accepted, terminator included; the longest in use has 24. */
#define NAME_CAPACITY 40

/* Room for the longest value the system allows and its terminator. */
#define VALUE_CAPACITY 32768

static wchar_t environment_value[VALUE_CAPACITY];

/* A name too long ends the process. */
static void widen_variable_name(wchar_t *wide_name, const char *name)
{
    if (!widen_ascii(wide_name, NAME_CAPACITY, name))
        abort_on_overflow("a variable's name");
}

wchar_t *get_environment_value_w(const wchar_t *name)
{
    DWORD length = GetEnvironmentVariableW(name, environment_value, VALUE_CAPACITY);
    if (length == 0 || length >= VALUE_CAPACITY)
        return NULL;
    wchar_t *copy = _wcsdup(environment_value);
    if (copy == NULL)
        fatal_out_of_memory();
    return copy;
}

wchar_t *get_environment_value(const char *name)
{
    wchar_t wide_name[NAME_CAPACITY];
    widen_variable_name(wide_name, name);
    return get_environment_value_w(wide_name);
}

bool set_environment_value(const char *name, const wchar_t *value)
{
    wchar_t wide_name[NAME_CAPACITY];
    widen_variable_name(wide_name, name);
    return SetEnvironmentVariableW(wide_name, value) != FALSE;
}
