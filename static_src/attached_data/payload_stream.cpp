/*
** The payload stream: the attached data's zstd frame decoded lazily, one
** 128 KiB window at a time, straight from the executable's read-only data.
** Callers read exactly n bytes at a time; a read that cannot be served is
** fatal, so there is no end-of-stream result to check. Every frame must
** carry its content checksum, which the decoder checks at the frame's end:
** without it, damaged data would decode into damaged files.
*/
#include <stdlib.h>
#include <string.h>
/* ZSTD_getFrameHeader: the decoder is linked statically. */
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "attached_data/attached_data.h"
#include "errors/errors.h"

static ZSTD_DCtx *decoder;
/* The frame, the fill and the trailer; only the decoder advances pos. */
static ZSTD_inBuffer input;
/* Between decode calls: size = bytes decoded, pos = bytes already read. */
static ZSTD_outBuffer window;
static unsigned char *window_buffer;
/* The next decode call begins a frame: its header is checked first. */
static bool at_frame_start;

void check_attached_data_header(const unsigned char *object, size_t length)
{
    if (length < ONEFILE_OBJECT_HEADER_LENGTH
        || memcmp(object, ONEFILE_OBJECT_HEADER, ONEFILE_OBJECT_HEADER_LENGTH) != 0)
        fatal_error("Error, couldn't find attached data header.");
}

void payload_open(const unsigned char *object, size_t length)
{
    check_attached_data_header(object, length);
    /* A new walk through the entries: no name met yet. */
    forget_entry_names();
    window_buffer = (unsigned char *)malloc(ONEFILE_DECODE_WINDOW);
    if (window_buffer == NULL)
        fatal_out_of_memory();
    decoder = ZSTD_createDCtx();
    if (decoder == NULL)
        fatal_out_of_memory();
    input.src = object + ONEFILE_OBJECT_HEADER_LENGTH;
    input.size = length - ONEFILE_OBJECT_HEADER_LENGTH;
    input.pos = 0;
    window.dst = window_buffer;
    window.size = 0;
    window.pos = 0;
    at_frame_start = true;
}

/* A frame of data (skippable frames carry none) must hold a checksum. */
static void check_frame_header(void)
{
    ZSTD_frameHeader header;
    size_t result = ZSTD_getFrameHeader(&header, (const unsigned char *)input.src + input.pos,
                                        input.size - input.pos);
    if (result != 0 || (header.frameType == ZSTD_frame && !header.checksumFlag))
        fatal_error("Error, couldn't decode attached data.");
}

/* One decode call into the emptied window; returns whether it was filled
** completely, in which case the decoder may hold more output even when all
** input is consumed. */
static bool decode_into_window(void)
{
    if (at_frame_start)
        check_frame_header();
    window.size = ONEFILE_DECODE_WINDOW;
    window.pos = 0;
    size_t result = ZSTD_decompressStream(decoder, &window, &input);
    if (ZSTD_isError(result))
        fatal_error("Error, couldn't decode attached data.");
    /* Zero: the frame ended, its checksum matched, all output is out. */
    at_frame_start = result == 0;
    /* Above zero: the frame goes on, with output perhaps still to be
    ** flushed, which the filled window tells. */
    window.size = window.pos;
    window.pos = 0;
    return window.size == ONEFILE_DECODE_WINDOW;
}

void payload_read(void *destination, size_t n)
{
    unsigned char *out = (unsigned char *)destination;
    bool filled = false;
    while (n > 0) {
        size_t unread = window.size - window.pos;
        if (unread > 0) {
            size_t m = unread < n ? unread : n;
            memcpy(out, window_buffer + window.pos, m);
            window.pos += m;
            out += m;
            n -= m;
            continue;
        }
        if (!filled && input.pos >= input.size)
            fatal_error("Error, couldn't decode attached data.");
        filled = decode_into_window();
    }
}

void payload_finish(void)
{
    /* What follows the end marker in its frame is decoded and dropped. */
    while (!at_frame_start) {
        if (!decode_into_window() && !at_frame_start)
            fatal_error("Error, couldn't decode attached data.");
    }
}

void payload_close(void)
{
    ZSTD_freeDCtx(decoder);
    decoder = NULL;
    free(window_buffer);
    window_buffer = NULL;
}
