/*
** What the bootstrap, the program launcher and the packer agree on: the
** resources and settings the packer writes into an executable, and the
** names the bootstrap shares with the application. Preprocessor
** definitions only, without system headers: the packer builds on Linux,
** and the templates' settings section is assembled from them.
*/
#ifndef ONEFILE_FORMAT_H
#define ONEFILE_FORMAT_H

/* RT_RCDATA resources of a packed executable: the splash image (PNG); the
** program's path relative to the unpack directory (UTF-16LE, backslashes,
** no terminator); the fixed arguments (UTF-16LE, each value followed by
** one 0 unit); the packer's name and version (UTF-16LE). */
#define ONEFILE_SPLASH_RESOURCE 28
#define ONEFILE_PROGRAM_RESOURCE 29
#define ONEFILE_FIXED_ARGUMENTS_RESOURCE 30
#define ONEFILE_PACKER_RESOURCE 31

/* The attached data object: this header, the zstd frames of its content
** (the frame index first, see below), zero fill, and an 8-byte
** little-endian trailer holding its own offset. */
#define ONEFILE_OBJECT_HEADER "QVY"
#define ONEFILE_OBJECT_HEADER_LENGTH 3

/* Capacity of an entry name of the attached data, in UTF-16 units with the
** terminator. */
#define ONEFILE_ENTRY_NAME_CAPACITY 1024
/* RT_RCDATA resource beside the splash image: its pixels, decoded by the
** packer as the imaging library delivers them in 32bppPBGRA, so that the
** bootstrap shows them without it. A header of little-endian 32-bit fields
** (format version, width, height), then one zstd frame, with its content
** size and checksum, of width x height premultiplied B, G, R, A pixels,
** rows top-down. A splash has at most ONEFILE_SPLASH_PIXELS_LIMIT pixels. */
#define ONEFILE_SPLASH_PIXELS_RESOURCE 32
#define ONEFILE_SPLASH_PIXELS_VERSION 1
#define ONEFILE_SPLASH_PIXELS_HEADER_SIZE 12
#define ONEFILE_SPLASH_PIXELS_LIMIT (1 << 26)

/* The unpack template: UTF-16 units, terminator included, that the
** settings section holds; the template of an executable packed without
** --unpack-to. */
#define ONEFILE_UNPACK_TEMPLATE_CAPACITY 512
#define ONEFILE_DEFAULT_UNPACK_TEMPLATE "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"

/* The packer ends a cached template with a backslash and this many hex
** digits of the attached data's hash: the build's own folder. */
#define ONEFILE_CONTENT_NAME_DIGITS 16

/* The settings section's cache check: what a start checks of a cached
** folder that has a record; names and sizes by default, every file's
** content as well when the packer was asked to verify content. */
#define ONEFILE_CHECK_NAMES_AND_SIZES 0
#define ONEFILE_CHECK_CONTENT 1

/* The splash feedback file, "{TEMP}\<prefix><the fresh start's id><suffix>":
** the application deletes it to take the splash down. */
#define ONEFILE_FEEDBACK_FILE_PREFIX "onefile_"
#define ONEFILE_FEEDBACK_FILE_SUFFIX "_splash_feedback.tmp"
#define ONEFILE_FEEDBACK_FILE_TEMPLATE \
    "{TEMP}\\" ONEFILE_FEEDBACK_FILE_PREFIX "{PID}" ONEFILE_FEEDBACK_FILE_SUFFIX

/* Capacity, in UTF-16 units with the terminator, of every path buffer. */
#define ONEFILE_PATH_CAPACITY 4096

/* The frame index: a skippable zstd frame (magic ONEFILE_INDEX_FRAME_MAGIC,
** little-endian, then the 32-bit length of what follows) before the data
** frames of the attached data, holding one zstd frame (with its checksum)
** that decodes to the index. A reader that knows nothing of it passes over
** it and decodes the data frames one after another. The index, all fields
** little-endian:
**   "QVX1", 32-bit frame count, 32-bit entry count, 32-bit largest content
**   of a frame;
**   per data frame, ONEFILE_INDEX_FRAME_SIZE bytes: 64-bit offset of the
**   frame from the first data frame, 32-bit compressed size, 32-bit content
**   size, 32-bit number of the entry its content begins in, 32 bits 0,
**   64-bit offset into that entry's data where it begins (0: at the
**   entry's name);
**   per entry, in stream order: 64-bit size, 64-bit XXH64 of its data,
**   16-bit name length in units and the name (UTF-16LE).
** The packer cuts the content at entry boundaries and inside a large entry
** at multiples of its frame size, so that frames decode independently. */
#define ONEFILE_INDEX_FRAME_MAGIC 0x184D2A5Eu
#define ONEFILE_INDEX_MAGIC "QVX1"
#define ONEFILE_INDEX_HEADER_SIZE 16
#define ONEFILE_INDEX_FRAME_SIZE 32
#define ONEFILE_INDEX_ENTRY_FIXED_SIZE 18

/* The placeholder in a fixed argument for the unpack directory, and the
** room, in UTF-16 units, for the fixed arguments once expanded and quoted,
** with a blank before each: the packer refuses values that could need
** more with the unpack directory as long as a path buffer allows. */
#define ONEFILE_APP_DIR_PLACEHOLDER "{APP_DIR}"
#define ONEFILE_FIXED_ARGUMENTS_CAPACITY 65536

/* A narrow string literal made wide: ONEFILE_WIDE(ONEFILE_DEFAULT_UNPACK_TEMPLATE). */
#define ONEFILE_WIDE(text) ONEFILE_WIDE_(text)
#define ONEFILE_WIDE_(text) L##text

#endif
