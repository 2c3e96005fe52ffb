/*
** The attached data: a zstd-compressed stream of file entries linked into
** the executable's read-only data, read lazily and written into the unpack
** directory.
**
** Object layout: "QV", mode "Y", one zstd frame, zero fill, and an 8-byte
** little-endian trailer holding its own offset. Decoded content: entries of
** (UTF-16LE name, 0x0000, 64-bit size, data), ended by a lone 0x0000 unit.
*/
#ifndef ONEFILE_ATTACHED_DATA_H
#define ONEFILE_ATTACHED_DATA_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "format/onefile_format.h"

/* Provided by the object file that the packer assembles for each executable. */
extern "C" const unsigned char onefile_attached_data[];
extern "C" const unsigned long long onefile_attached_data_size;

/* The unpack directory's path template, fixed by the packer: NUL-terminated
** UTF-16 within its 512 units. */
extern "C" const wchar_t onefile_unpack_template[ONEFILE_UNPACK_TEMPLATE_CAPACITY];

/* The executable's unpack template; aborts when its 512 units hold no
** terminator. */
const wchar_t *unpack_template_text(void);

/* What a start checks of a cached folder that has a record: names and
** sizes by default, every file's content as well when the packer was asked
** to verify content. Fixed by the packer in the executable, beside the
** unpack template; set alone, not a bit field. */
#define ONEFILE_CHECK_NAMES_AND_SIZES 0
#define ONEFILE_CHECK_CONTENT 1
extern "C" const unsigned long long onefile_cache_check;

/* The digest of the only record a cached folder of this build may hold
** (format/folder_record.h), fixed by the packer; 0 from a packer that
** recorded none. */
extern "C" const unsigned long long onefile_record_digest;

/* Capacity of the write buffer: the size of one file write. */
#define ONEFILE_WRITE_CHUNK 32768

/* Size of the decoder's output window. */
#define ONEFILE_DECODE_WINDOW 131072

/* Checks the header of `object` (length bytes), allocates the output window
** and the decoder. Fatal with the header or the allocation message. */
void payload_open(const unsigned char *object, size_t length);

/* Copies exactly the next n decoded bytes to destination. Fatal with
** "Error, couldn't decode attached data." when they cannot be had. */
void payload_read(void *destination, size_t n);

/* Decodes the rest of the current frame, dropping it, up to its end, where
** the decoder checks the content checksum. Fatal with the decode message
** when the frame is damaged or cut short. */
void payload_finish(void);

/* Frees the decoder and the output window. */
void payload_close(void);

/* Reads the next entry's name, UTF-16LE units up to and including the
** 0x0000, into `name` (ONEFILE_ENTRY_NAME_CAPACITY units). An empty name is
** the end marker, after which the rest of the frame is checked
** (payload_finish). Fatal for a name longer than 1023 units and for one
** that could lead out of the unpack directory: absolute, with a colon, or
** with a part of only dots and blanks (either separator). */
void read_entry_name(wchar_t *name);

/* Reads the next entry's size, 64-bit little-endian. */
uint64_t read_entry_size(void);

/* Opens the linked attached data and writes every entry below the unpack
** directory, which it creates before the first file and then marks for
** removal. A re-launched copy returns as soon as the first entry path is
** known, writing nothing. */
void extract_attached_data(bool relaunched);

/* Fresh start: takes the unpack directory's lock, then creates the
** directory, private to the user, with its missing ancestors. Fatal (one
** line) when the lock is held or anything is already at the path: a
** directory is only ever used by the start that made it. Other failures are
** left for the first file's open to report. */
void create_unpack_directory(void);

#endif
