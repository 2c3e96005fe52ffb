/*
** A fresh start in cached mode. The folder outlives the run, so nothing is
** left to remove after the application: the start loads the application in
** its own process, with the environment and arguments a re-launched copy
** would have had, and saves the second process start; a program (--main
** NAME.exe) runs as this process's child. A splash is the splash thread's
** (start_splash_thread): it takes the splash down while the application or
** the wait for the program runs on this thread.
*/
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "cached_folder/cached_folder.h"
#include "driver/driver.h"
#include "program/program.h"

static wchar_t own_program_name[ONEFILE_PATH_CAPACITY + 1];

static int run_in_this_process(void)
{
    export_child_environment();
    /* The marker is for a child of ours; here it would reach every program
    ** that the application starts, and a packed one would take it as its
    ** own. */
    set_environment_value("QALVEN_ONEFILE_CHILD_OF", NULL);
    /* The copy would be started by the executable's full path. */
    wcscpy(own_program_name, get_executable_path(false));
    __wargv[0] = own_program_name;
    /* Nothing is left to remove at the end of the session: the application
    ** meets it as it would unpacked. This thread never set COM up: a splash
    ** is its own thread's. */
    close_session_window();
    /* However the application ends, by returning or through the runtime's
    ** exit, the feedback file goes; a splash still up goes with the
    ** process. */
    atexit(remove_splash_feedback_file);
    return run_payload_library(first_entry_path);
}

int run_cached_start(void)
{
    hold_unpack_folder_lock();
    remove_older_builds();
    /* A check that finds the folder intact leaves nothing to clean up at
    ** the end of the session, so the window that hears it (and the window
    ** libraries it loads, the larger part of a cached start's cost) waits
    ** until there is. */
    prepare_cached_folder(open_session_window);
    require_application();
    /* A program runs as our child, as in per-run mode. */
    if (!executable_names_program())
        return run_in_this_process();
    /* A program that answers at once needs no window. */
    return run_child(defer_session_window);
}
