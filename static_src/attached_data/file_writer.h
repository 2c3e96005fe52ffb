/*
** The one writer of unpacked files, for the per-run directory and the cached
** folder alike, on the main thread and on the unpack workers: a path joined
** below its folder, the directory that holds the file, the file opened
** through the extended-length form of its path (so that names beyond
** MAX_PATH work whatever the system's long-path setting), the attached
** data's bytes written, and one line when a file cannot be opened or
** written (saying so when the volume is full).
**
** Each writer has a slot; the file it writes is unfinished_files[slot]
** (state/process_state.h), so that a fatal error or the end of the process
** met within it closes it before the clean-up removes its folder. Callers
** open, write and close a file within one step of unpack work (work_lock.h).
** Slot 0 is the main thread's, used by the functions without a writer.
*/
#ifndef ONEFILE_FILE_WRITER_H
#define ONEFILE_FILE_WRITER_H

#include <windows.h>
#include <stdint.h>
#include <wchar.h>

#include "common/xxhash.h"
#include "paths/paths.h"

/* A writer and what it needs of its own: its slot and a path buffer. */
struct unpack_writer {
    int slot;
    wchar_t system_path[ONEFILE_EXTENDED_PATH_CAPACITY];
};

/* folder + "\" + relative + suffix into `path` (ONEFILE_PATH_CAPACITY
** units). Fatal with "Error, attached data holds a file whose unpack path
** is too long." when it does not fit. */
void join_unpack_path(wchar_t *path, const wchar_t *folder, const wchar_t *relative,
                      const wchar_t *suffix);

/* The extended-length form of `path` into `extended`
** (ONEFILE_EXTENDED_PATH_CAPACITY units), the form in which the system is
** given paths below an unpack folder; returns `extended`. Fatal with the
** unpack-path message above when it cannot be formed. */
const wchar_t *extended_unpack_path(const wchar_t *path, wchar_t *extended);

/* Makes the directory that will hold the file at `path` and its missing
** ancestors; main thread only. A directory that still cannot be had shows
** up when the file is opened. */
void make_unpack_parents(const wchar_t *path);

/* Opens the file at `path` for `writer`: created afresh (`create`), or an
** existing one whose pieces several writers write; returns the path that
** the system was given, the extended-length form. Its directory must exist.
** Fatal with "Error, failed to open '<reported_path>' for writing." when it
** cannot be had. */
const wchar_t *open_writer_file(unpack_writer *writer, const wchar_t *path, const wchar_t *reported_path,
                                bool create);

/* Writes `length` bytes at `offset` of the writer's file. Every failure, a
** short write included, is fatal with "Error, couldn't unpack file to target
** path." and the system's reason, or, when the volume is full, a line that
** says so and names the unpack directory. */
void write_writer_bytes(unpack_writer *writer, const void *data, size_t length, uint64_t offset);

/* Closes the writer's file; with `flush`, after flushing it to disk (fatal
** when that fails), as a file must be before anything that publishes it is
** renamed. */
void close_writer_file(unpack_writer *writer, bool flush);

/* The main thread's file, written from its start on: open_writer_file
** after make_unpack_parents, created afresh. */
const wchar_t *open_unpack_file(const wchar_t *path, const wchar_t *reported_path);

/* Writes the next `size` decoded bytes of the attached data's stream to the
** main thread's file, adding them to `hash` unless it is NULL. */
void write_unpack_content(uint64_t size, XXH64_state_t *hash);

/* Writes `length` bytes to the main thread's file, after what it holds. */
void write_unpack_bytes(const void *data, DWORD length);

/* close_writer_file for the main thread's file. */
void close_unpack_file(bool flush);

#endif
