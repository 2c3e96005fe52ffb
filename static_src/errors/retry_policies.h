/*
** Every bounded retry of the bootstrap, with the reason it exists: each
** covers a failure that passes on its own (a scanner holding a file that
** was just written, a system under load, another start at work), and each
** is bounded, so that a failure that does not pass ends the start. Which
** failures pass on their own is decided in one place, is_transient_error;
** any other failure ends the retries at once.
*/
#ifndef ONEFILE_RETRY_POLICIES_H
#define ONEFILE_RETRY_POLICIES_H

#include <windows.h>

/* How often an attempt is made and how long the pauses between attempts
** are: `first_pause_ms` before the second, each further one `growth` times
** the one before. */
struct retry_policy {
    int attempts;
    DWORD first_pause_ms;
    DWORD growth;
};

/* Starting the child or the program: a scanner may hold the image that was
** just written, a loaded system may refuse for a moment. 6 attempts, 50 ms
** doubling: 1.55 s of pauses in all. */
extern const retry_policy launch_retry;

/* Removing the unpack directory at the end: files may stay locked for a
** moment (a scanner, a child still going away). 21 attempts, 100 ms apart. */
extern const retry_policy deletion_retry;

/* Renaming a cached folder or a repaired file into place: a scanner may hold
** what was just written. 20 attempts, 50 ms apart. */
extern const retry_policy rename_retry;

/* Taking the lock of the cached folder while a start of another build,
** removing it, holds it that long. 100 attempts, 50 ms apart. */
extern const retry_policy lock_retry;

/* Preparing a cached folder: rounds of "check, else fill and publish" before
** giving up on a folder that vanishes again after every round (another
** start of another build removing it). */
#define PREPARE_ROUNDS 3

/* Failures that a moment may cure: a file held by someone else (sharing or
** lock violation, access denied) and a system short of resources or
** failing inside (Wine under load reports error 1359). */
bool is_transient_error(DWORD code);

/* One attempt: ERROR_SUCCESS, or the error code of its failure. */
typedef DWORD (*retry_attempt)(void *context);

/* Calls `attempt` until it succeeds, fails with an error that is not
** transient, or has been made as often as `policy` allows, pausing between
** attempts. Returns the last attempt's result. */
DWORD retry_while_transient(const retry_policy *policy, retry_attempt attempt, void *context);

#endif
