/*
** Letter case as the file system ignores it, for the collision rule of
** format/entry_names.h. On Windows the system's own upper-case table, the
** one its case-insensitive comparison of file names uses; elsewhere (the
** Linux packer) the C library's Unicode upper case, which agrees with it
** for the letters of every script Windows folds.
*/
#include "format/entry_names.h"

#ifdef _WIN32
#include <windows.h>

typedef WCHAR(NTAPI *upcase_function)(WCHAR);

uint16_t fold_entry_name_unit(uint16_t unit)
{
    /* ntdll is in every process; looked up once (a race only looks it up twice). */
    static upcase_function upcase;
    if (upcase == NULL)
        upcase = (upcase_function)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                                 "RtlUpcaseUnicodeChar");
    if (upcase != NULL)
        return (uint16_t)upcase((WCHAR)unit);
    return (uint16_t)entry_name_ascii_upper(unit);
}
#else
#include <locale.h>
#include <wctype.h>

uint16_t fold_entry_name_unit(uint16_t unit)
{
    /* A surrogate is half a character: Windows leaves it as it is. */
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return unit;
    static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (unicode == (locale_t)0)
        return (uint16_t)entry_name_ascii_upper(unit);
    wint_t upper = towupper_l((wint_t)unit, unicode);
    /* A letter whose upper case lies beyond the 16-bit units is kept. */
    return upper <= 0xFFFF ? (uint16_t)upper : unit;
}
#endif
