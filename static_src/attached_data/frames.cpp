/*
** The frame road (frames.h).
*/
#include <windows.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
/* ZSTD_getFrameHeader: the decoder is linked statically. */
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "attached_data/attached_data.h"
#include "attached_data/file_writer.h"
#include "attached_data/frames.h"
#include "errors/errors.h"
#include "state/process_state.h"
#include "work_lock/work_lock.h"

/* No frame of ours comes near these; larger ones are not ours. */
#define INDEX_CONTENT_MAX (64u << 20)
#define FRAME_CONTENT_MAX (64u << 20)

/* Between the frames of a thread alone: as often as the pump wants. */
#define WAIT_FOR_WORKERS_MS 50

static frame_index linked_index;
static bool index_read;
static bool index_found;

[[noreturn]] static void damaged(void)
{
    fatal_error("Error, couldn't decode attached data.");
}

static uint64_t little_endian(const unsigned char *bytes, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; i--)
        value = (value << 8) | bytes[i];
    return value;
}

static void *checked_calloc(size_t count, size_t size)
{
    void *block = calloc(count == 0 ? 1 : count, size);
    if (block == NULL)
        fatal_out_of_memory();
    return block;
}

/* The bytes of an entry's name with its 0 unit and its size field. */
static uint64_t header_size(const index_entry *entry)
{
    return 2 * (wcslen(entry->name) + 1) + 8;
}

/* A zstd frame with its content checksum, which every frame must carry. */
static bool is_checked_frame(const unsigned char *data, size_t size)
{
    ZSTD_frameHeader header;
    return ZSTD_getFrameHeader(&header, data, size) == 0 && header.frameType == ZSTD_frame && header.checksumFlag;
}

/* The index's content, decoded from the skippable frame's payload. */
static unsigned char *decode_index(const unsigned char *payload, size_t size, size_t *length)
{
    unsigned long long content = ZSTD_getFrameContentSize(payload, size);
    if (!is_checked_frame(payload, size) || content == ZSTD_CONTENTSIZE_UNKNOWN
        || content == ZSTD_CONTENTSIZE_ERROR || content > INDEX_CONTENT_MAX || content < ONEFILE_INDEX_HEADER_SIZE)
        damaged();
    unsigned char *index = (unsigned char *)checked_calloc((size_t)content, 1);
    size_t decoded = ZSTD_decompress(index, (size_t)content, payload, size);
    if (ZSTD_isError(decoded) || decoded != content || memcmp(index, ONEFILE_INDEX_MAGIC, 4) != 0)
        damaged();
    *length = (size_t)content;
    return index;
}

/* The frames of the index, each within the attached data after the one
** before it. */
static size_t read_frames(const unsigned char *index, size_t length, const unsigned char *data,
                          size_t data_length)
{
    size_t at = ONEFILE_INDEX_HEADER_SIZE;
    if (linked_index.frame_count == 0 || linked_index.frame_count > (length - at) / ONEFILE_INDEX_FRAME_SIZE
        || linked_index.largest_content > FRAME_CONTENT_MAX)
        damaged();
    linked_index.frames = (index_frame *)checked_calloc(linked_index.frame_count, sizeof(index_frame));
    uint64_t end_of_previous = 0;
    for (size_t k = 0; k < linked_index.frame_count; k++, at += ONEFILE_INDEX_FRAME_SIZE) {
        const unsigned char *record = index + at;
        uint64_t offset = little_endian(record, 8);
        uint64_t compressed = little_endian(record + 8, 4);
        index_frame *frame = &linked_index.frames[k];
        frame->content_size = (size_t)little_endian(record + 12, 4);
        frame->entry = (size_t)little_endian(record + 16, 4);
        frame->entry_offset = little_endian(record + 24, 8);
        if (offset < end_of_previous || offset > data_length || compressed > data_length - offset
            || frame->content_size > linked_index.largest_content)
            damaged();
        frame->data = data + offset;
        frame->compressed_size = (size_t)compressed;
        end_of_previous = offset + compressed;
    }
    return at;
}

/* The entries of the index from `at` on; their names keep the rule. */
static void read_entries(const unsigned char *index, size_t length, size_t at)
{
    linked_index.entries = (index_entry *)checked_calloc(linked_index.entry_count, sizeof(index_entry));
    forget_entry_names();
    for (size_t i = 0; i < linked_index.entry_count; i++) {
        if (length - at < ONEFILE_INDEX_ENTRY_FIXED_SIZE)
            damaged();
        size_t units = (size_t)little_endian(index + at + 16, 2);
        if (units == 0 || units >= ONEFILE_ENTRY_NAME_CAPACITY
            || length - at - ONEFILE_INDEX_ENTRY_FIXED_SIZE < 2 * units)
            damaged();
        index_entry *entry = &linked_index.entries[i];
        entry->size = little_endian(index + at, 8);
        entry->hash = little_endian(index + at + 8, 8);
        entry->name = (wchar_t *)checked_calloc(units + 1, sizeof(wchar_t));
        for (size_t u = 0; u < units; u++)
            entry->name[u] = (wchar_t)little_endian(index + at + ONEFILE_INDEX_ENTRY_FIXED_SIZE + 2 * u, 2);
        check_and_remember_entry_name(entry->name);
        at += ONEFILE_INDEX_ENTRY_FIXED_SIZE + 2 * units;
    }
    if (at != length)
        damaged();
}

/* Walks the content as the frames cut it: every frame must begin where
** the one before ended, at an entry's name or inside its data, and the
** last must end with the end marker. Marks the entries that span frames. */
static void check_layout(void)
{
    size_t entry = 0;
    uint64_t offset = 0;
    bool at_name = true;
    bool ended = false;
    for (size_t k = 0; k < linked_index.frame_count; k++) {
        const index_frame *frame = &linked_index.frames[k];
        if (ended || frame->entry != entry || frame->entry_offset != (at_name ? 0 : offset)
            || (!at_name && offset == 0))
            damaged();
        if (!at_name)
            linked_index.entries[entry].spans_frames = true;
        for (uint64_t left = frame->content_size; left > 0;) {
            if (entry == linked_index.entry_count) {
                if (left != 2)
                    damaged();
                ended = true;
                break;
            }
            const index_entry *current = &linked_index.entries[entry];
            if (at_name) {
                if (left < header_size(current))
                    damaged();
                left -= header_size(current);
                at_name = false;
            }
            uint64_t piece = current->size - offset < left ? current->size - offset : left;
            offset += piece;
            left -= piece;
            if (offset == current->size) {
                entry++;
                offset = 0;
                at_name = true;
            }
        }
    }
    if (!ended)
        damaged();
}

const frame_index *linked_frame_index(void)
{
    if (index_read)
        return index_found ? &linked_index : NULL;
    index_read = true;
    const unsigned char *object = onefile_attached_data;
    size_t length = (size_t)onefile_attached_data_size;
    check_attached_data_header(object, length);
    size_t at = ONEFILE_OBJECT_HEADER_LENGTH;
    /* The trailer closes the object; no frame reaches into it. */
    if (length < at + 8 + 8 || little_endian(object + at, 4) != ONEFILE_INDEX_FRAME_MAGIC)
        return NULL;
    size_t payload_size = (size_t)little_endian(object + at + 4, 4);
    if (payload_size > length - 8 - at - 8)
        damaged();
    size_t index_length = 0;
    unsigned char *index = decode_index(object + at + 8, payload_size, &index_length);
    linked_index.frame_count = (size_t)little_endian(index + 4, 4);
    linked_index.entry_count = (size_t)little_endian(index + 8, 4);
    linked_index.largest_content = (size_t)little_endian(index + 12, 4);
    size_t data_start = at + 8 + payload_size;
    size_t entries_at = read_frames(index, index_length, object + data_start, length - 8 - data_start);
    read_entries(index, index_length, entries_at);
    free(index);
    check_layout();
    index_found = true;
    return &linked_index;
}

/* One unpack worker: its writer, decoder and frame buffer, and the path of
** the file it writes. */
struct frame_worker {
    unpack_writer writer;
    ZSTD_DCtx *decoder;
    unsigned char *buffer;
    wchar_t path[ONEFILE_PATH_CAPACITY];
};

/* What the workers share while unpack_frames runs. */
static const frame_index *unpacking_index;
static const frame_unpacking *unpacking;
static bool *frame_needed;
static volatile LONG next_frame;

static bool is_wanted(size_t entry)
{
    return unpacking->wanted == NULL || unpacking->wanted[entry];
}

/* Writes one piece of an entry's data: a whole file, or a part of one
** that spans frames, whose file exists already. */
static void write_piece(frame_worker *worker, size_t entry, uint64_t offset, const unsigned char *data,
                        uint64_t size)
{
    const index_entry *target = &unpacking_index->entries[entry];
    join_unpack_path(worker->path, unpacking->folder, target->name, unpacking->suffix);
    begin_worker_step(worker->writer.slot);
    open_writer_file(&worker->writer, worker->path, worker->path, !target->spans_frames);
    write_writer_bytes(&worker->writer, data, (size_t)size, offset);
    close_writer_file(&worker->writer, unpacking->flush);
    end_worker_step(worker->writer.slot);
}

/* Whether the frame's content at `at` is the name and size of `entry`. */
static bool holds_header(const unsigned char *at, const index_entry *entry)
{
    size_t units = wcslen(entry->name);
    for (size_t u = 0; u <= units; u++)
        if (little_endian(at + 2 * u, 2) != (uint16_t)entry->name[u])
            return false;
    return little_endian(at + 2 * (units + 1), 8) == entry->size;
}

/* Decodes frame k into the worker's buffer and writes its wanted pieces;
** the inline names and sizes must be those of the index. */
static void unpack_frame(frame_worker *worker, size_t k)
{
    const index_frame *frame = &unpacking_index->frames[k];
    if (!is_checked_frame(frame->data, frame->compressed_size))
        damaged();
    size_t decoded = ZSTD_decompressDCtx(worker->decoder, worker->buffer, unpacking_index->largest_content,
                                         frame->data, frame->compressed_size);
    if (ZSTD_isError(decoded) || decoded != frame->content_size)
        damaged();
    size_t entry = frame->entry;
    uint64_t offset = frame->entry_offset;
    bool at_name = offset == 0;
    for (size_t at = 0; at < decoded;) {
        if (entry == unpacking_index->entry_count) {
            if (worker->buffer[at] != 0 || worker->buffer[at + 1] != 0)
                damaged();
            break;
        }
        const index_entry *current = &unpacking_index->entries[entry];
        if (at_name) {
            if (!holds_header(worker->buffer + at, current))
                damaged();
            at += (size_t)header_size(current);
            at_name = false;
        }
        uint64_t piece = current->size - offset < decoded - at ? current->size - offset : decoded - at;
        if (is_wanted(entry) && (piece > 0 || current->size == 0))
            write_piece(worker, entry, offset, worker->buffer + at, piece);
        at += (size_t)piece;
        offset += piece;
        if (offset == current->size) {
            entry++;
            offset = 0;
            at_name = true;
        }
    }
}

/* Takes frames until none is left. */
static void work_on_frames(frame_worker *worker, bool alone)
{
    for (;;) {
        size_t k = (size_t)InterlockedIncrement(&next_frame) - 1;
        if (k >= unpacking_index->frame_count)
            return;
        if (!frame_needed[k])
            continue;
        unpack_frame(worker, k);
        /* A thread alone is the main thread: between frames, where the end
        ** of the session may run the clean-up. */
        if (alone)
            between_unpack_steps();
    }
}

static DWORD WINAPI worker_procedure(void *argument)
{
    work_on_frames((frame_worker *)argument, false);
    return 0;
}

/* The frames that hold data of a wanted entry, and how many. */
static size_t mark_needed_frames(void)
{
    size_t count = 0;
    for (size_t k = 0; k < unpacking_index->frame_count; k++) {
        const index_frame *frame = &unpacking_index->frames[k];
        size_t last = unpacking_index->entry_count;
        if (k + 1 < unpacking_index->frame_count) {
            const index_frame *next = &unpacking_index->frames[k + 1];
            last = next->entry_offset == 0 ? next->entry : next->entry + 1;
        }
        for (size_t entry = frame->entry; entry < last && !frame_needed[k]; entry++)
            frame_needed[k] = is_wanted(entry);
        count += frame_needed[k];
    }
    return count;
}

/* The directories of the wanted entries, and the files of those whose
** pieces several workers write, on this thread before any worker runs. */
static void prepare_targets(frame_worker *main_worker)
{
    for (size_t i = 0; i < unpacking_index->entry_count; i++) {
        if (!is_wanted(i))
            continue;
        const index_entry *entry = &unpacking_index->entries[i];
        join_unpack_path(main_worker->path, unpacking->folder, entry->name, unpacking->suffix);
        make_unpack_parents(main_worker->path);
        if (!entry->spans_frames)
            continue;
        begin_unpack_work();
        open_writer_file(&main_worker->writer, main_worker->path, main_worker->path, true);
        close_writer_file(&main_worker->writer, false);
        end_unpack_work();
    }
}

static void start_worker(frame_worker *worker, int slot)
{
    worker->writer.slot = slot;
    worker->decoder = ZSTD_createDCtx();
    worker->buffer = (unsigned char *)malloc(unpacking_index->largest_content == 0 ? 1
                                                                                    : unpacking_index->largest_content);
    if (worker->decoder == NULL || worker->buffer == NULL)
        fatal_out_of_memory();
}

static void stop_worker(frame_worker *worker)
{
    ZSTD_freeDCtx(worker->decoder);
    free(worker->buffer);
}

void unpack_frames(const frame_index *index, const frame_unpacking *what)
{
    unpacking_index = index;
    unpacking = what;
    frame_needed = (bool *)checked_calloc(index->frame_count, sizeof(bool));
    next_frame = 0;
    frame_worker *workers = (frame_worker *)checked_calloc(ONEFILE_WRITER_SLOTS, sizeof(frame_worker));
    prepare_targets(&workers[0]);
    size_t threads = usable_cores();
    size_t needed = mark_needed_frames();
    if (threads > needed)
        threads = needed;
    if (threads > ONEFILE_WRITER_SLOTS - 1)
        threads = ONEFILE_WRITER_SLOTS - 1;

    HANDLE handles[ONEFILE_WRITER_SLOTS];
    size_t started = 0;
    for (; threads > 1 && started < threads; started++) {
        start_worker(&workers[started + 1], (int)started + 1);
        handles[started] = CreateThread(NULL,                   /* lpThreadAttributes */
                                        0,                      /* dwStackSize: the executable's default */
                                        worker_procedure,
                                        &workers[started + 1],
                                        0,                      /* dwCreationFlags */
                                        NULL);                  /* lpThreadId */
        if (handles[started] == NULL) {
            stop_worker(&workers[started + 1]);
            break;
        }
    }
    if (started == 0) {
        /* One core, or no thread to be had: this thread alone. */
        start_worker(&workers[1], 1);
        work_on_frames(&workers[1], true);
        stop_worker(&workers[1]);
    } else {
        /* Waits for the workers, serving this thread's windows meanwhile. */
        while (WaitForMultipleObjects((DWORD)started, handles, TRUE, WAIT_FOR_WORKERS_MS) == WAIT_TIMEOUT)
            between_unpack_steps();
        for (size_t i = 0; i < started; i++) {
            CloseHandle(handles[i]);
            stop_worker(&workers[i + 1]);
        }
    }
    free(workers);
    free(frame_needed);
    frame_needed = NULL;
}
