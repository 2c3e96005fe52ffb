/*
** The splash feedback file: an empty file whose path the application can
** compute from the same template in the inherited environment. Deleting it
** is the application's way to say that the splash is to go; whatever the
** application does, the bootstrap deletes it when it ends.
*/
#include <windows.h>
#include <shlwapi.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"

volatile bool splash_active;
wchar_t splash_feedback_path[ONEFILE_PATH_CAPACITY];

void create_splash_feedback_file(void)
{
    if (!expand_path_template(splash_feedback_path,
                              ONEFILE_WIDE(ONEFILE_FEEDBACK_FILE_TEMPLATE),
                              ONEFILE_PATH_CAPACITY))
        return;
    HANDLE file = CreateFileW(splash_feedback_path,
                              GENERIC_WRITE,
                              FILE_SHARE_WRITE,
                              NULL,           /* lpSecurityAttributes */
                              CREATE_ALWAYS,  /* a stale file is truncated and reused */
                              0,              /* dwFlagsAndAttributes */
                              NULL);          /* hTemplateFile */
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    /* Also on failure: the first check then finds no file and removes the
    ** splash once the child runs. */
    splash_active = true;
}

bool poll_splash_feedback(void)
{
    if (!splash_active)
        return false;
    /* Only the thread that owns the window may destroy it. */
    if (splash_window != NULL && GetWindowThreadProcessId(splash_window, NULL) != GetCurrentThreadId())
        return true;
    if (PathFileExistsW(splash_feedback_path))
        return true;
    if (splash_window != NULL) {
        DestroyWindow(splash_window);
        splash_window = NULL;
    }
    splash_active = false;
    return false;
}

void remove_splash_feedback_file(void)
{
    if (splash_feedback_path[0] != L'\0')
        DeleteFileW(splash_feedback_path);
}

void end_parents_splash(void)
{
    static wchar_t path[ONEFILE_PATH_CAPACITY];
    if (expand_path_template(path, ONEFILE_WIDE(ONEFILE_FEEDBACK_FILE_TEMPLATE), ONEFILE_PATH_CAPACITY))
        DeleteFileW(path);
}
