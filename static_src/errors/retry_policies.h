/*
** Every bounded retry of the bootstrap, with the reason it exists: each
** covers a failure that passes on its own (a scanner holding a file that
** was just written, a system under load, another start at work), and each
** is bounded, so that a failure that does not pass ends the start.
*/
#ifndef ONEFILE_RETRY_POLICIES_H
#define ONEFILE_RETRY_POLICIES_H

/* Starting the child or the program: a scanner may hold the image that was
** just written, a loaded system may refuse for a moment. Up to 6 attempts,
** 50 ms before the second and twice as long before each further one, 1.55 s
** of pauses in all. */
#define LAUNCH_ATTEMPTS 6
#define FIRST_LAUNCH_PAUSE_MS 50

/* Removing the unpack directory at the end: files may stay locked for a
** moment (a scanner, a child still going away). 20 more attempts, 100 ms
** apart. */
#define DELETION_RETRIES 20
#define DELETION_PAUSE_MS 100

/* Renaming a cached folder or a repaired file into place: a scanner may hold
** what was just written. 20 attempts, 50 ms apart. */
#define RENAME_ATTEMPTS 20
#define RENAME_PAUSE_MS 50

/* Preparing a cached folder: rounds of "check, else fill and publish" before
** giving up on a folder that vanishes again after every round (another
** start of another build removing it). */
#define PREPARE_ROUNDS 3

/* Taking the lock of a sibling cached folder to remove it: a start of
** another build that is removing it holds the lock that long. 100 attempts,
** 50 ms apart. */
#define LOCK_ATTEMPTS 100
#define LOCK_PAUSE_MS 50

#endif
