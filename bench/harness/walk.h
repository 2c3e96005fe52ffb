/*
** The extraction loop of the bootstrap over its own payload reader
** (payload_open / payload_read), with the file system calls left to a sink:
** names are read 2 bytes at a time, sizes 8 bytes, contents in 32768-byte
** chunks, exactly as static_src/attached_data/extraction.cpp does.
**
** Sink: void open(const char16_t *name, uint64_t size) - a new file;
**       void write(const unsigned char *chunk, size_t n) - its next chunk;
**       void close() - the file is complete.
*/
#ifndef BENCH_WALK_H
#define BENCH_WALK_H

#include <stddef.h>
#include <stdint.h>

#include "attached_data/attached_data.h"
#include "errors/errors.h"

struct walk_totals {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

template <class Sink>
walk_totals walk_payload(const unsigned char *object, size_t length, Sink &sink)
{
    static char16_t name[1024];
    static unsigned char chunk[ONEFILE_WRITE_CHUNK];
    walk_totals totals;
    payload_open(object, length);
    for (;;) {
        size_t i = 0;
        for (;; i++) {
            if (i == 1024)
                fatal_error("name too long");
            unsigned char unit[2];
            payload_read(unit, 2);
            name[i] = (char16_t)(unit[0] | (unit[1] << 8));
            if (name[i] == 0)
                break;
        }
        if (i == 0)
            break;
        unsigned char size_bytes[8];
        payload_read(size_bytes, 8);
        uint64_t size = 0;
        for (int b = 7; b >= 0; b--)
            size = (size << 8) | size_bytes[b];
        sink.open(name, size);
        for (uint64_t remaining = size; remaining > 0;) {
            size_t n = remaining < ONEFILE_WRITE_CHUNK ? (size_t)remaining : ONEFILE_WRITE_CHUNK;
            payload_read(chunk, n);
            sink.write(chunk, n);
            remaining -= n;
        }
        sink.close();
        totals.files++;
        totals.bytes += size;
    }
    payload_close();
    return totals;
}

#endif
