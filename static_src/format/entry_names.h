/*
** The one rule for the names of the attached data's entries, which the
** bootstrap, the launcher and the packer all apply: a name is a path below
** the unpack folder, "\" between its parts, that Windows stores as it is
** spelled. Windows would write some names elsewhere or under another
** spelling (a device, a dropped dot or blank, a drive or stream colon, a
** ".." part); those are refused wherever a name is met. Two names that the
** file system takes for one (equal but for letter case) are refused too:
** see fold_entry_name_unit.
**
** Header-only for the rule, so that each program reads names in its own
** 16-bit unit type (wchar_t on Windows, char16_t in the packer); no system
** headers.
*/
#ifndef ONEFILE_ENTRY_NAMES_H
#define ONEFILE_ENTRY_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include "format/onefile_format.h"

enum entry_name_problem {
    ENTRY_NAME_ACCEPTED,
    ENTRY_NAME_EMPTY,            /* no units at all */
    ENTRY_NAME_TOO_LONG,         /* more than ONEFILE_ENTRY_NAME_CAPACITY - 1 units */
    ENTRY_NAME_ABSOLUTE,         /* begins with "\" */
    ENTRY_NAME_EMPTY_PART,       /* "a\\b", "a\" */
    ENTRY_NAME_CHARACTER,        /* a control character or one of <>:"/|?* */
    ENTRY_NAME_DOT_OR_BLANK_END, /* a part ending in "." or " ": ".", "..", "a." */
    ENTRY_NAME_DEVICE,           /* CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension */
};

/* ASCII upper case; other units unchanged. */
inline uint32_t entry_name_ascii_upper(uint32_t unit)
{
    return unit >= 'a' && unit <= 'z' ? unit - 'a' + 'A' : unit;
}

/* Whether the part of `count` units names a device: its text up to the
** first dot, without the blanks at its end, is one of the reserved names
** (the digits include the superscripts that Windows reads as digits). */
template <class unit_type>
bool entry_name_part_is_device(const unit_type *part, size_t count)
{
    size_t base = 0;
    while (base < count && (uint32_t)part[base] != '.')
        base++;
    while (base > 0 && (uint32_t)part[base - 1] == ' ')
        base--;
    if (base != 3 && base != 4)
        return false;
    char upper[4];
    for (size_t i = 0; i < 3; i++)
        upper[i] = (char)entry_name_ascii_upper((uint32_t)part[i]);
    bool three = (upper[0] == 'C' && upper[1] == 'O' && upper[2] == 'N')
              || (upper[0] == 'P' && upper[1] == 'R' && upper[2] == 'N')
              || (upper[0] == 'A' && upper[1] == 'U' && upper[2] == 'X')
              || (upper[0] == 'N' && upper[1] == 'U' && upper[2] == 'L');
    if (base == 3)
        return three;
    bool numbered = (upper[0] == 'C' && upper[1] == 'O' && upper[2] == 'M')
                 || (upper[0] == 'L' && upper[1] == 'P' && upper[2] == 'T');
    uint32_t digit = (uint32_t)part[3];
    return numbered && ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

/* Whether Windows refuses the unit in a name, or reads it otherwise. */
inline bool entry_name_unit_is_refused(uint32_t unit)
{
    return unit < 0x20 || unit == '<' || unit == '>' || unit == ':' || unit == '"' || unit == '/'
        || unit == '|' || unit == '?' || unit == '*';
}

/* What keeps the name of `count` units (no terminator) from being an entry
** name, or ENTRY_NAME_ACCEPTED. With `where` given, the index of the unit
** or part start at fault. */
template <class unit_type>
entry_name_problem check_entry_name(const unit_type *name, size_t count, size_t *where = NULL)
{
    size_t at = 0;
    entry_name_problem problem = ENTRY_NAME_ACCEPTED;
    if (count == 0)
        problem = ENTRY_NAME_EMPTY;
    else if (count > ONEFILE_ENTRY_NAME_CAPACITY - 1)
        problem = ENTRY_NAME_TOO_LONG;
    else if ((uint32_t)name[0] == '\\')
        problem = ENTRY_NAME_ABSOLUTE;
    for (size_t start = 0; problem == ENTRY_NAME_ACCEPTED && start <= count;) {
        size_t end = start;
        while (end < count && (uint32_t)name[end] != '\\') {
            if (entry_name_unit_is_refused((uint32_t)name[end])) {
                problem = ENTRY_NAME_CHARACTER;
                at = end;
                break;
            }
            end++;
        }
        if (problem != ENTRY_NAME_ACCEPTED)
            break;
        at = start;
        uint32_t last = end > start ? (uint32_t)name[end - 1] : 0;
        if (end == start)
            problem = ENTRY_NAME_EMPTY_PART;
        else if (last == '.' || last == ' ')
            problem = ENTRY_NAME_DOT_OR_BLANK_END;
        else if (entry_name_part_is_device(name + start, end - start))
            problem = ENTRY_NAME_DEVICE;
        start = end + 1;
    }
    if (where != NULL)
        *where = at;
    return problem;
}

/* Why, in words that follow "the name ...". */
inline const char *entry_name_problem_text(entry_name_problem problem)
{
    switch (problem) {
    case ENTRY_NAME_ACCEPTED:
        return "is accepted";
    case ENTRY_NAME_EMPTY:
        return "is empty";
    case ENTRY_NAME_TOO_LONG:
        return "is longer than 1023 UTF-16 units";
    case ENTRY_NAME_ABSOLUTE:
        return "is absolute";
    case ENTRY_NAME_EMPTY_PART:
        return "has an empty part";
    case ENTRY_NAME_CHARACTER:
        return "holds a character that Windows does not allow in file names";
    case ENTRY_NAME_DOT_OR_BLANK_END:
        return "has a part that ends in a dot or blank, which Windows drops (\".\" and \"..\" among them)";
    case ENTRY_NAME_DEVICE:
        return "has a part that Windows reserves for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
    }
    return "is refused";
}

/* The unit as the file system compares names, ignoring letter case: two
** names whose folded units are equal name one file. Windows' own upper-case
** table (the system's case-insensitive comparison) in the bootstrap and
** the Windows packer; the C library's Unicode table in the Linux packer.
** (entry_name_fold.cpp) */
uint16_t fold_entry_name_unit(uint16_t unit);

#endif
