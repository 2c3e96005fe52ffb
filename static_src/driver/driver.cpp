/*
** The entry point. One executable, two roles: a fresh start unpacks the
** attached data, starts itself again as the child and cleans up after it; a
** re-launched copy (QALVEN_ONEFILE_PARENT names a live bootstrap of this
** same file) loads the application library from the parent's unpack
** directory and runs it.
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "attached_data/attached_data.h"
#include "cached_folder/cached_folder.h"
#include "driver/driver.h"

/* Values inherited from an unrelated process must never name our directory. */
static void prepare_fresh_environment(void)
{
    set_environment_value("QALVEN_ONEFILE_START", NULL);
    set_environment_value("QALVEN_ONEFILE_TIME_US", NULL);
    set_environment_value("QALVEN_ONEFILE_RANDOM", NULL);

    wchar_t own_id[16];
    _snwprintf(own_id, 16, L"%lu", (unsigned long)GetCurrentProcessId());
    own_id[15] = L'\0';
    set_environment_value("QALVEN_ONEFILE_PARENT", own_id);
}

/* Search the library's folder, AddDllDirectory folders and System32 only. */
#define APPLICATION_LIBRARY_SEARCH                                           \
    (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS       \
     | LOAD_LIBRARY_SEARCH_SYSTEM32)

typedef int (*run_code_function)(int argc, wchar_t **argv, const wchar_t *library_path);

int run_payload_library(const wchar_t *library_path)
{
    AddDllDirectory(unpack_directory);
    /* For the application and the programs it starts (onefile.h). */
    set_environment_value("QALVEN_ONEFILE_UNPACK_DIRECTORY", unpack_directory);
    HMODULE library = LoadLibraryExW(library_path, NULL, APPLICATION_LIBRARY_SEARCH);
    if (library == NULL)
        fatal_start_error("Error, load DLL.", library_path, GetLastError());
    run_code_function run_code =
        (run_code_function)(void (*)(void))GetProcAddress(library, "run_code");
    if (run_code == NULL)
        fatal_error("Error, DLL entry point not found.");
    return run_code(__argc, __wargv, library_path);
}

static int run_fresh_start(void);

void require_application(void)
{
    if (first_entry_path[0] == L'\0')
        fatal_error("Error, attached data holds no application to run.");
}

static int run_relaunched_copy(bool started_as_child)
{
    const wchar_t *unpack_template = unpack_template_text();
    if (!expand_path_template(unpack_directory, unpack_template, ONEFILE_PATH_CAPACITY))
        report_template_failure(unpack_template);
    if (is_cached_template(unpack_template))
        hold_unpack_folder_lock();
    /* The environment names a live bootstrap of this file, but anyone may
    ** have set it: a folder that this bootstrap does not hold is not run
    ** from. Its own child says so; any other copy starts afresh, as with a
    ** stale variable. */
    find_first_entry_path();
    /* Without an application there is nothing to run; going on as a fresh
    ** start would start copy after copy for as long as the parent lives. */
    require_application();
    if (!runs_from_parents_folder()) {
        if (started_as_child)
            fatal_path_error("Error, '", unpack_directory,
                             "' is not the unpack folder that the parent process made; nothing runs from it.");
        first_entry_path[0] = L'\0';
        return run_fresh_start();
    }
    return run_payload_library(first_entry_path);
}

static int run_fresh_start(void)
{
    const wchar_t *unpack_template = unpack_template_text();
    prepare_fresh_environment();
    bool template_ok = expand_path_template(unpack_directory, unpack_template,
                                            ONEFILE_PATH_CAPACITY);
    /* The splash is made on a thread of its own while the start goes on
    ** (the report of a failed template waits for it). The executable's path
    ** is asked for first: the query waits for the loader, which that thread
    ** holds while it starts the window libraries. */
    bool cached = is_cached_template(unpack_template);
    get_executable_path(false);
    start_splash_thread();
    if (!cached)
        defer_session_window();
    if (!template_ok)
        report_template_failure(unpack_template);
    if (!SetConsoleCtrlHandler(console_control_handler, TRUE))
        fatal_error("Error, failed to register signal handler.");
    if (cached)
        return run_cached_start();

    extract_attached_data();
    /* While the application starts, not before. */
    return run_child(sweep_stale_unpack_directories);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    /* Before anything loads a library on our behalf: never from the
    ** current directory. */
    SetDllDirectoryW(L"");
    register_driver_hooks();
    bool started_as_child = take_child_marker();
    if (is_relaunched_copy())
        return run_relaunched_copy(started_as_child);
    /* A child that took the fresh-start road would start a child of its own,
    ** and that one another, for as long as the check fails. */
    if (started_as_child)
        fatal_error("Error, couldn't confirm that the parent process runs this executable.");
    int status = run_fresh_start();
    /* The splash thread may be reporting a window it could not make. */
    claim_process_end();
    return status;
}
