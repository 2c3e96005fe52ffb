/*
** Running the application: the fresh start starts this executable again as
** its child with the same arguments and waits for it; the child, a
** re-launched copy, loads the application library and calls run_code. An
** executable that names a program starts the program as the child instead,
** as the launcher library would start it from a copy.
*/
#include <windows.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "driver/driver.h"
#include "errors/retry_policies.h"
#include "program/program.h"

/* How often a GUI program that is to end the splash is asked whether its
** first window waits for input. */
#define PROGRAM_READY_POLL_MS 50

static const wchar_t *own_module_path;
static wchar_t child_command_line[COMMAND_LINE_CAPACITY];
/* One argument of our command line, which is never longer. */
static wchar_t split_argument[COMMAND_LINE_CAPACITY];
static wchar_t executable_directory[ONEFILE_PATH_CAPACITY + 1];

/* A GUI program whose first window, once it waits for input, ends the
** splash; read by the wait. */
static bool splash_ends_with_program_window;

/* The program is ready: the splash thread sees the file go. Under the work
** lock, as the clean-up removes the same file with the same buffers. */
static void end_splash_for_program(void)
{
    begin_unpack_work();
    remove_splash_feedback_file();
    end_unpack_work();
}

bool take_child_marker(void)
{
    wchar_t *marker = get_environment_value("QALVEN_ONEFILE_CHILD_OF");
    if (marker == NULL)
        return false;
    set_environment_value("QALVEN_ONEFILE_CHILD_OF", NULL);
    wchar_t *parent = get_environment_value("QALVEN_ONEFILE_PARENT");
    return parent != NULL && wcscmp(parent, marker) == 0;
}

void export_child_environment(void)
{
    const wchar_t *executable = get_executable_path(false);
    wcscpy(executable_directory, executable);
    wchar_t *separator = wcsrchr(executable_directory, L'\\');
    if (separator != NULL)
        *separator = L'\0';
    set_environment_value("QALVEN_ONEFILE_DIRECTORY", executable_directory);
    set_environment_value("QALVEN_ORIGINAL_ARGV0", __wargv[0]);
    /* For the child alone: it tells a child that its parent is a fresh start
    ** even when the role check cannot confirm it, so that it never becomes
    ** one itself and starts copy after copy. */
    wchar_t *parent = get_environment_value("QALVEN_ONEFILE_PARENT");
    set_environment_value("QALVEN_ONEFILE_CHILD_OF", parent);
    /* The folder as this process holds it: a re-launched copy runs only
    ** from the one it finds there (runs_from_parents_folder). */
    wchar_t handle[24];
    _snwprintf(handle, 24, L"%llu", (unsigned long long)(uintptr_t)held_directory_handle());
    handle[23] = L'\0';
    set_environment_value("QALVEN_ONEFILE_FOLDER_HANDLE",
                          held_directory_handle() != INVALID_HANDLE_VALUE ? handle : NULL);
}

const wchar_t *build_child_command_line(void)
{
    const wchar_t *line = GetCommandLineW();
    child_command_line[0] = L'\0';
    if (wcslen(line) >= COMMAND_LINE_CAPACITY)
        return NULL;
    /* Split anew rather than reuse __wargv: wildcards reach the child as
    ** typed, and the child's runtime expands them. */
    size_t length = 0;
    for (const wchar_t *position = line; next_argument(line, &position, split_argument);) {
        bool first = length == 0;
        if (!first && !append_units(child_command_line, COMMAND_LINE_CAPACITY, &length, L" ", 1))
            return NULL;
        if (!append_quoted(child_command_line, COMMAND_LINE_CAPACITY, &length,
                           first ? own_module_path : split_argument))
            return NULL;
    }
    return child_command_line;
}

/* What is started: this executable again, or the program, and how. */
struct child_start {
    const wchar_t *application;
    wchar_t *command_line;
    DWORD flags;                 /* CreateProcessW's dwCreationFlags */
    const char *failure;         /* the fatal error's message */
    HANDLE job;
    STARTUPINFOW startup;
};

/* One attempt, in the same console and process group. Returns 0 or the
** error code. */
static DWORD try_to_launch_child(void *context)
{
    const child_start *child = (const child_start *)context;
    PROCESS_INFORMATION created = {};
    begin_unpack_work();
    if (!create_process_in_job(child->application, child->command_line, child->job, child->flags,
                               &child->startup, &created)) {
        DWORD code = GetLastError();
        end_unpack_work();
        return code;
    }
    CloseHandle(created.hThread);
    child_process = created.hProcess;
    end_unpack_work();
    return 0;
}

/* The program, with the environment it would have had from the launcher
** in a re-launched copy. */
static child_start prepare_program_child(void)
{
    child_start program = {program_path, program_command_line,
                           0,   /* the priority class a direct start would have */
                           "Error, couldn't launch program", NULL, {}};
    program.startup.cb = sizeof program.startup;
    /* The marker is for a copy of this executable; a packed program that
    ** this program starts would take it as its own and refuse to run. */
    set_environment_value("QALVEN_ONEFILE_CHILD_OF", NULL);
    set_environment_value("QALVEN_ONEFILE_UNPACK_DIRECTORY", unpack_directory);
    DWORD code = prepare_program_start(first_entry_path);
    if (code != 0)
        fatal_system_error(program.failure, code);
    pass_on_program_startup_info(&program.startup);
    return program;
}

static child_start prepare_copy_child(void)
{
    own_module_path = get_executable_path(false);
    if (own_module_path[0] == L'\0')
        fatal_system_error("Error, couldn't read the executable's path", GetLastError());
    child_start copy = {own_module_path, child_command_line, NORMAL_PRIORITY_CLASS,
                        "Error, couldn't launch child", NULL, {}};
    copy.startup.cb = sizeof copy.startup;
    /* What Windows answers for a longer line; Wine would cut it instead. */
    if (build_child_command_line() == NULL)
        fatal_system_error(copy.failure, ERROR_FILENAME_EXCED_RANGE);
    pass_on_startup_info(&copy.startup);
    return copy;
}

void launch_child(void)
{
    bool is_program = executable_names_program();
    child_start child = is_program ? prepare_program_child() : prepare_copy_child();
    /* Kept open for the life of the process. */
    child.job = make_kill_on_close_job();
    DWORD code = retry_while_transient(&launch_retry, try_to_launch_child, &child);
    if (code != ERROR_SUCCESS)
        fatal_start_error(child.failure, child.application, code);
    close_standard_handle_copies();
    /* As the launcher ends it: a GUI program is ready once its first window
    ** waits for input, a console program as soon as it runs. */
    if (is_program && splash_active) {
        if (is_gui_program(program_path))
            splash_ends_with_program_window = true;
        else
            end_splash_for_program();
    }
}

/* Milliseconds until `deadline`, 0 once it has passed. */
static DWORD time_until(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : (DWORD)(deadline - now);
}

int wait_for_child(void)
{
    DWORD status = 0;
    /* The splash is its thread's; only a program's first window is looked
    ** for here. */
    bool polling = splash_ends_with_program_window;
    ULONGLONG next_poll = GetTickCount64() + PROGRAM_READY_POLL_MS;
    for (;;) {
        DWORD timeout = polling ? time_until(next_poll) : INFINITE;
        DWORD window_due = session_window_due_in();
        if (window_due < timeout)
            timeout = window_due;
        DWORD waited = has_windows_to_serve()
                           ? MsgWaitForMultipleObjectsEx(1, &child_process, timeout, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE)
                           : WaitForSingleObject(child_process, timeout);
        if (waited == WAIT_OBJECT_0 + 1) {
            pump_window_messages();
            continue;
        }
        if (waited == WAIT_TIMEOUT && session_window_due_in() == 0)
            open_session_window();
        if (!GetExitCodeProcess(child_process, &status)) {
            status = 1;
            break;
        }
        /* A child may end with 259 itself: the signalled handle tells. */
        if (status != STILL_ACTIVE || waited == WAIT_OBJECT_0)
            break;
        if (splash_ends_with_program_window && WaitForInputIdle(child_process, 0) != WAIT_TIMEOUT) {
            splash_ends_with_program_window = false;
            end_splash_for_program();
        }
        polling = splash_ends_with_program_window && splash_active;
        next_poll = GetTickCount64() + PROGRAM_READY_POLL_MS;
    }
    close_session_window();
    release_child_process();
    return (int)status;
}

int run_child(void (*while_it_starts)(void))
{
    export_child_environment();
    launch_child();
    while_it_starts();
    int status = wait_for_child();
    cleanup_before_exit(CHILD_GRACE_MS);
    return status;
}
