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
        else
            check_and_remember_entry_name(name);
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
