/*
** What the launcher and the packer that writes its resources agree on:
** resource ids and the room the launcher has for paths and arguments.
** Plain C, no system headers: the packer builds on Linux too.
*/
#ifndef ONEFILE_LAUNCHER_LIMITS_H
#define ONEFILE_LAUNCHER_LIMITS_H

/* RT_RCDATA resources of the packed executable: the splash image; the
** program's path relative to the unpack directory (UTF-16LE, backslashes,
** no terminator); the fixed arguments (UTF-16LE, each value followed by
** one 0 unit). */
#define SPLASH_IMAGE_RESOURCE 28
#define PROGRAM_PATH_RESOURCE 29
#define FIXED_ARGUMENTS_RESOURCE 30

/* Capacity, in UTF-16 units with the terminator, of path buffers. */
#define LAUNCHER_PATH_CAPACITY 4096

/* The placeholder in a fixed argument for the unpack directory. */
#define APP_DIR_PLACEHOLDER "{APP_DIR}"

/* Room, in UTF-16 units, for the fixed arguments once expanded and quoted,
** with a blank before each. The packer refuses values that could need more
** with the unpack directory as long as a path buffer allows. */
#define FIXED_ARGUMENTS_CAPACITY 65536

#endif
