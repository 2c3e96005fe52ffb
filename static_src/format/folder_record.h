/*
** The record of a cached unpack folder, the file ONEFILE_RECORD_NAME that a
** start writes into the folder last: what the attached data holds, so that
** later starts check the folder without decoding anything. The packer
** computes the digest of the record an executable's folder must hold and
** stores it in the executable (onefile_record_digest); a start accepts only
** that record. All fields little-endian:
**   "QVR2", 32-bit file count;
**   per file, in stream order: 64-bit size, 64-bit XXH64 of its content,
**   16-bit name length in units, the name (UTF-16LE);
**   last, the XXH64 (seed 0) of everything before it: the record's digest.
** Header-only and without system headers: the packer builds on Linux.
*/
#ifndef ONEFILE_FOLDER_RECORD_H
#define ONEFILE_FOLDER_RECORD_H

#include <stddef.h>
#include <stdint.h>

#define ONEFILE_RECORD_NAME ".onefile-record"
#define ONEFILE_RECORD_MAGIC "QVR2"
#define ONEFILE_RECORD_HEADER_SIZE 8
#define ONEFILE_RECORD_ENTRY_FIXED_SIZE 18
#define ONEFILE_RECORD_DIGEST_SIZE 8

/* Stores the low `width` bytes of `value` at `out`, little-endian. */
inline void record_store(unsigned char *out, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++)
        out[i] = (unsigned char)(value >> (8 * i));
}

/* The record's first ONEFILE_RECORD_HEADER_SIZE bytes for `count` files. */
inline void record_header(unsigned char *out, uint32_t count)
{
    for (size_t i = 0; i < 4; i++)
        out[i] = (unsigned char)ONEFILE_RECORD_MAGIC[i];
    record_store(out + 4, count, 4);
}

/* Bytes of one file's part of the record. */
inline size_t record_entry_size(size_t units)
{
    return ONEFILE_RECORD_ENTRY_FIXED_SIZE + 2 * units;
}

/* One file's part of the record, record_entry_size(units) bytes at `out`. */
template <class unit_type>
void record_entry(unsigned char *out, uint64_t size, uint64_t hash, const unit_type *name, size_t units)
{
    record_store(out, size, 8);
    record_store(out + 8, hash, 8);
    record_store(out + 16, units, 2);
    for (size_t u = 0; u < units; u++)
        record_store(out + ONEFILE_RECORD_ENTRY_FIXED_SIZE + 2 * u, (uint16_t)name[u], 2);
}

#endif
