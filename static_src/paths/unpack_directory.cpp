/*
** The unpack directory of a fresh start: made by this start and no other,
** so that nothing planted at its path beforehand (a folder with a library
** in it, a link to somewhere else) is ever used, and closed to other users.
*/
#include <windows.h>

#include "errors/errors.h"
#include "paths/paths.h"
#include "state/process_state.h"

void create_unpack_directory(void)
{
    if (private_directory_security() == NULL)
        fatal_system_error("Error, couldn't make the unpack directory private.", GetLastError());
    /* The lock first: a directory whose lock nobody holds may be swept. */
    ensure_parent_directories(unpack_directory);
    private_directory_result created = PRIVATE_DIRECTORY_EXISTS;
    if (hold_directory_lock(unpack_directory))
        created = create_private_directory(unpack_directory);
    if (created == PRIVATE_DIRECTORY_EXISTS)
        fatal_path_error("Error, '", unpack_directory, "' exists already; an unpack directory is never reused.");
    /* Held for the rest of the run, as the one its re-launched copies must
    ** find (holds_directory_of). */
    if (created == PRIVATE_DIRECTORY_CREATED && hold_private_directory(unpack_directory) != DIRECTORY_HELD)
        fatal_path_error("Error, the unpack folder '", unpack_directory,
                         "' is not private to this user; nothing runs from it.");
}
