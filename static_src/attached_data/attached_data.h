/*
** The attached data: a zstd-compressed stream of file entries linked into
** the executable's read-only data, read lazily and written into the unpack
** directory. In layers: the payload stream decodes the frame
** (payload_stream.cpp), the entry walk reads the entries out of it
** (entries.cpp), and the extraction writes them (extraction.cpp, through
** the one writer of file_writer.h). The first two use no system call and
** build natively as well, for the benchmark.
**
** Object layout: see ONEFILE_OBJECT_HEADER. Decoded content: entries of
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

/* Capacity of the write buffer: the size of one file write. */
#define ONEFILE_WRITE_CHUNK 32768

/* Size of the decoder's output window. */
#define ONEFILE_DECODE_WINDOW 131072

/* Fatal with "Error, couldn't find attached data header." unless `object`
** (length bytes) begins with the object header. */
void check_attached_data_header(const unsigned char *object, size_t length);

/* Checks the header of `object` (length bytes), allocates the output window
** and the decoder, and starts a walk of its names (forget_entry_names).
** Fatal with the header or the allocation message. */
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
** (payload_finish). Fatal for a name longer than 1023 units, and as
** check_and_remember_entry_name. */
void read_entry_name(wchar_t *name);

/* Fatal with "Error, attached data holds an unsafe file name." for a name
** that breaks the rule of format/entry_names.h or that names the same file
** as one met since forget_entry_names (or payload_open), equal but for
** letter case as the file system compares names; else remembers it. Main
** thread only. */
void check_and_remember_entry_name(const wchar_t *name);
void forget_entry_names(void);

/* Reads the next entry's size, 64-bit little-endian. */
uint64_t read_entry_size(void);

/* What walk_entries hands each entry to; it reads exactly `size` bytes of
** content from the stream (read_entry_content, payload_read) before it
** returns. `name` stays valid until then. */
typedef void (*entry_handler)(const wchar_t *name, uint64_t size, void *context);

/* Opens `object`, hands every entry to `handle` in stream order, checks the
** rest of the frame after the end marker and closes the stream. */
void walk_entries(const unsigned char *object, size_t length, entry_handler handle, void *context);

/* Hands the next `size` decoded bytes to `take` in pieces of at most
** ONEFILE_WRITE_CHUNK bytes. */
void read_entry_content(uint64_t size, void (*take)(const unsigned char *piece, size_t length, void *context),
                        void *context);

/* Fresh start: writes every entry below the unpack directory, which it
** creates before the first file (create_unpack_directory) and then marks
** for removal, and sets first_entry_path. */
void extract_attached_data(void);

/* Re-launched copy: sets first_entry_path from the first entry's name,
** writing nothing (the parent has written the files); empty when the
** attached data holds no entry. */
void find_first_entry_path(void);

#endif
