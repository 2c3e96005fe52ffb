/*
** The frame road: attached data whose content the packer cut into zstd
** frames that decode independently, described by the frame index in front
** of them (format/onefile_format.h). Its frames are decoded on as many
** threads as the process may use cores, each into a buffer of its own, and
** their pieces written through the one writer (file_writer.h). Attached
** data without an index is read from the stream in order instead
** (payload_stream.cpp, entries.cpp).
**
** Process-wide state: the index, read once by the main thread; while
** unpack_frames runs, its workers read it and take frames from a shared
** counter.
*/
#ifndef ONEFILE_FRAMES_H
#define ONEFILE_FRAMES_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "paths/paths.h"

/* An entry as the index gives it. */
struct index_entry {
    wchar_t *name;              /* heap copy, terminated */
    uint64_t size;
    uint64_t hash;              /* XXH64 of its data */
    bool spans_frames;          /* its data lies in more than one frame */
};

/* A data frame as the index gives it. */
struct index_frame {
    const unsigned char *data;  /* its bytes in the attached data */
    size_t compressed_size;
    size_t content_size;
    size_t entry;               /* the entry its content begins in */
    uint64_t entry_offset;      /* into that entry's data; 0: at its name */
};

struct frame_index {
    index_frame *frames;
    size_t frame_count;
    index_entry *entries;
    size_t entry_count;
    size_t largest_content;     /* of a frame */
};

/* The index of the linked attached data, read and checked at the first
** call; NULL when the attached data has none. Fatal with "Error, couldn't
** decode attached data." when it is damaged or does not describe the
** layout of the content its frames hold, and as
** check_and_remember_entry_name for each of its names. */
const frame_index *linked_frame_index(void);

/* What unpack_frames writes, and where. */
struct frame_unpacking {
    const wchar_t *folder;      /* each entry's name is joined below it */
    const wchar_t *suffix;      /* and this appended to it, or "" */
    const bool *wanted;         /* per entry, whether it is written; NULL: all */
    bool flush;                 /* every file flushed to disk before it is closed */
};

/* Writes the wanted entries of `index`: makes their directories and the
** files of those that span frames on this thread, then decodes every frame
** that holds wanted data, checking its content checksum, on as many threads
** as the process may use cores (at most one a frame; on one core this
** thread alone), and writes its pieces. This thread dispatches its window
** messages meanwhile. A failure in any thread (a damaged frame, a file that
** cannot be written) ends the start with that thread's one line. */
void unpack_frames(const frame_index *index, const frame_unpacking *unpacking);

#endif
