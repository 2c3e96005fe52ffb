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

/* Placeholder names: those that name a folder of the user's, those whose
** value is new for every run, and the others. */
#define ONEFILE_FOLDER_PLACEHOLDERS "TEMP", "HOME", "CACHE_DIR", "PROGRAM_DIR"
#define ONEFILE_PER_RUN_PLACEHOLDERS "PID", "TIME_US", "RANDOM", "TIME"
#define ONEFILE_OTHER_PLACEHOLDERS "PROGRAM", "PROGRAM_BASE"

/* The splash feedback file, "{TEMP}\<prefix><the fresh start's id><suffix>":
** the application deletes it to take the splash down. */
#define ONEFILE_FEEDBACK_FILE_PREFIX "onefile_"
#define ONEFILE_FEEDBACK_FILE_SUFFIX "_splash_feedback.tmp"
#define ONEFILE_FEEDBACK_FILE_TEMPLATE \
    "{TEMP}\\" ONEFILE_FEEDBACK_FILE_PREFIX "{PID}" ONEFILE_FEEDBACK_FILE_SUFFIX

/* Capacity, in UTF-16 units with the terminator, of every path buffer. */
#define ONEFILE_PATH_CAPACITY 4096

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
