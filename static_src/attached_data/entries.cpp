/*
** The entry walk: names, sizes and contents read out of the payload stream
** in stream order, as every reader of the attached data reads them.
*/
#include <stdint.h>
#include <wchar.h>

#include "attached_data/attached_data.h"
#include "errors/errors.h"

static wchar_t entry_name[ONEFILE_ENTRY_NAME_CAPACITY];
static unsigned char content_piece[ONEFILE_WRITE_CHUNK];

/* A part of only dots and blanks: "." and "..", and what the system's path
** normalisation, which drops trailing dots and blanks, turns into them. */
static bool is_dot_part(const wchar_t *part, size_t length)
{
    if (length == 0)
        return false;
    for (size_t i = 0; i < length; i++)
        if (part[i] != L'.' && part[i] != L' ')
            return false;
    return true;
}

/* Names stay below the unpack directory: relative, no drive or stream
** colon, no dot parts, with either separator. */
static bool is_safe_entry_name(const wchar_t *name)
{
    if (name[0] == L'\\' || name[0] == L'/' || wcschr(name, L':') != NULL)
        return false;
    const wchar_t *part = name;
    for (const wchar_t *p = name;; p++) {
        if (*p == L'\\' || *p == L'/' || *p == L'\0') {
            if (is_dot_part(part, (size_t)(p - part)))
                return false;
            if (*p == L'\0')
                return true;
            part = p + 1;
        }
    }
}

void read_entry_name(wchar_t *name)
{
    for (size_t i = 0;; i++) {
        unsigned char unit[2];
        if (i == ONEFILE_ENTRY_NAME_CAPACITY)
            fatal_error("Error, attached data holds a file name longer than 1023 characters.");
        payload_read(unit, 2);
        name[i] = (wchar_t)(unit[0] | (unit[1] << 8));
        if (name[i] != L'\0')
            continue;
        if (i == 0)
            payload_finish();
        else if (!is_safe_entry_name(name))
            fatal_error("Error, attached data holds an unsafe file name.");
        return;
    }
}

uint64_t read_entry_size(void)
{
    unsigned char bytes[8];
    payload_read(bytes, 8);
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--)
        size = (size << 8) | bytes[i];
    return size;
}

void walk_entries(const unsigned char *object, size_t length, entry_handler handle, void *context)
{
    payload_open(object, length);
    for (;;) {
        read_entry_name(entry_name);
        if (entry_name[0] == L'\0')
            break;
        handle(entry_name, read_entry_size(), context);
    }
    payload_close();
}

void read_entry_content(uint64_t size, void (*take)(const unsigned char *piece, size_t length, void *context),
                        void *context)
{
    while (size > 0) {
        size_t length = size < ONEFILE_WRITE_CHUNK ? (size_t)size : ONEFILE_WRITE_CHUNK;
        payload_read(content_piece, length);
        take(content_piece, length, context);
        size -= length;
    }
}
