/*
** The splash feedback file: an empty file whose path the application can
** compute from the same template in the inherited environment. Deleting it
** is the application's way to say that the splash is to go; whatever the
** application does, the bootstrap deletes it when it ends.
**
** Its name is predictable and its folder may be shared (a service's TEMP is
** C:\Windows\Temp): anyone may have planted a link there. The bootstrap never
** opens an existing file at the name for writing, and removes only what it
** has opened as itself and found to be a plain file of that very name:
** deleting a name by handle leaves a planted hard link's content alone,
** while Wine follows a Unix symbolic link even when asked not to (a handle
** then names the link's target, which stays where it is).
*/
#include <windows.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"

volatile bool splash_active;
wchar_t splash_feedback_path[ONEFILE_PATH_CAPACITY];

/* Whether this process made the file at splash_feedback_path. */
static bool feedback_file_made;

bool create_splash_feedback_file(void)
{
    if (!expand_path_template(splash_feedback_path,
                              ONEFILE_WIDE(ONEFILE_FEEDBACK_FILE_TEMPLATE),
                              ONEFILE_PATH_CAPACITY)
        || !remove_file_entry(splash_feedback_path))
        return false;
    HANDLE file = CreateFileW(splash_feedback_path,
                              FILE_READ_ATTRIBUTES,
                              0,                             /* dwShareMode */
                              private_directory_security(),  /* NULL: the folder's inherited DACL */
                              CREATE_NEW,                    /* never what stands there */
                              FILE_ATTRIBUTE_NORMAL,
                              NULL);                         /* hTemplateFile */
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    feedback_file_made = true;
    splash_active = true;
    return true;
}

bool splash_feedback_file_exists(void)
{
    return GetFileAttributesW(splash_feedback_path) != INVALID_FILE_ATTRIBUTES;
}

void remove_splash_feedback_file(void)
{
    /* Whether anything stays is no matter now: the splash goes either way. */
    if (feedback_file_made)
        remove_file_entry(splash_feedback_path);
}

void end_parents_splash(void)
{
    static wchar_t path[ONEFILE_PATH_CAPACITY];
    /* Silent either way, as the parent's splash may have ended already. */
    if (expand_path_template(path, ONEFILE_WIDE(ONEFILE_FEEDBACK_FILE_TEMPLATE), ONEFILE_PATH_CAPACITY))
        remove_file_entry(path);
}
