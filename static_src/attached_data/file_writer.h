/*
** The one writer of unpacked files, for the per-run directory and the cached
** folder alike: a path joined below its folder, the directory that holds
** the file, the file opened through the extended-length form of its path
** (so that names beyond MAX_PATH work whatever the system's long-path
** setting), the attached data's bytes written in 32 KiB pieces, and one
** line when a file cannot be opened.
**
** The file being written is unfinished_file (state/process_state.h), so
** that a fatal error met within it closes it before the clean-up removes
** its folder; callers open, write and close it within one step of unpack
** work.
*/
#ifndef ONEFILE_FILE_WRITER_H
#define ONEFILE_FILE_WRITER_H

#include <windows.h>
#include <stdint.h>
#include <wchar.h>

#include "common/xxhash.h"

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

/* Creates the file at `path` afresh, after the directory that holds it and
** that directory's missing ancestors, and keeps it in unfinished_file;
** returns the path that the system was given, the extended-length form.
** Fatal with "Error, failed to open '<reported_path>' for writing." when it
** cannot be had. */
const wchar_t *open_unpack_file(const wchar_t *path, const wchar_t *reported_path);

/* Writes the next `size` decoded bytes of the attached data to
** unfinished_file, adding them to `hash` unless it is NULL. */
void write_unpack_content(uint64_t size, XXH64_state_t *hash);

/* Writes `length` bytes to unfinished_file. Every write failure, a short
** write included, is fatal with "Error, couldn't unpack file to target
** path." and the system's reason. */
void write_unpack_bytes(const void *data, DWORD length);

/* Closes unfinished_file; with `flush`, after flushing it to disk (fatal
** when that fails), as a file must be before anything that publishes it is
** renamed. */
void close_unpack_file(bool flush);

#endif
