/*
** Running the application: the fresh start starts this executable again as
** its child with the same arguments and waits for it; the child, a
** re-launched copy, loads the application library and calls run_code.
*/
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "driver/driver.h"

#define SPLASH_POLL_MS 50

/* Starting the child: up to 6 attempts, 50 ms before the second and twice
** as long before each further one, 1.55 s of pauses in all. */
#define LAUNCH_ATTEMPTS 6
#define FIRST_LAUNCH_PAUSE_MS 50

/* Search the library's folder, AddDllDirectory folders and System32 only. */
#define APPLICATION_LIBRARY_SEARCH                                           \
    (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS       \
     | LOAD_LIBRARY_SEARCH_SYSTEM32)

typedef int (*run_code_function)(int argc, wchar_t **argv, const wchar_t *library_path);

static wchar_t own_module_path[ONEFILE_PATH_CAPACITY];
static wchar_t child_command_line[COMMAND_LINE_CAPACITY];
static wchar_t executable_directory[ONEFILE_PATH_CAPACITY + 1];

int run_payload_library(const wchar_t *library_path)
{
    AddDllDirectory(unpack_directory);
    /* For the application and the programs it starts (onefile.h). */
    set_environment_value("QALVEN_ONEFILE_UNPACK_DIRECTORY", unpack_directory);
    HMODULE library = LoadLibraryExW(library_path, NULL, APPLICATION_LIBRARY_SEARCH);
    if (library == NULL)
        fatal_system_error("Error, load DLL.", GetLastError());
    run_code_function run_code =
        (run_code_function)(void (*)(void))GetProcAddress(library, "run_code");
    if (run_code == NULL)
        fatal_error("Error, DLL entry point not found.");
    return run_code(__argc, __wargv, library_path);
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
}

const wchar_t *build_child_command_line(void)
{
    int count = 0;
    /* Split anew rather than reuse __wargv: wildcards reach the child as
    ** typed, and the child's runtime expands them. Never freed. */
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == NULL)
        abort();
    child_command_line[0] = L'\0';
    if (count <= 0)
        return child_command_line;
    arguments[0] = own_module_path;
    size_t length = 0;
    for (int i = 0; i < count; i++) {
        if (i > 0 && !append_units(child_command_line, COMMAND_LINE_CAPACITY, &length, L" ", 1))
            return NULL;
        if (!append_quoted(child_command_line, COMMAND_LINE_CAPACITY, &length, arguments[i]))
            return NULL;
    }
    return child_command_line;
}

/* A job that ends the child when this process ends, however it ends: the
** last handle, ours, is closed by the system then. The application's own
** processes break away and live on. NULL when there is none to be had. */
static HANDLE make_child_job(void)
{
    HANDLE job = CreateJobObjectW(NULL,    /* not inheritable: the child must not keep it open */
                                  NULL);   /* lpName */
    if (job == NULL)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

/* Failures that a moment may cure: a scanner holding the executable
** (sharing or lock violation, access denied), and a system short of
** resources or failing inside (Wine under load reports error 1359). */
static bool is_transient_launch_error(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
        || code == ERROR_LOCK_VIOLATION || code == ERROR_INTERNAL_ERROR
        || code == ERROR_NO_SYSTEM_RESOURCES || code == ERROR_NOT_ENOUGH_MEMORY;
}

/* One attempt, in the same console and process group. Returns 0 or the
** error code. */
static DWORD try_to_launch_child(HANDLE job, const STARTUPINFOW *startup)
{
    PROCESS_INFORMATION created = {};
    begin_unpack_work();
    if (!create_process_in_job(own_module_path, child_command_line, job, NORMAL_PRIORITY_CLASS,
                               startup, &created)) {
        DWORD code = GetLastError();
        end_unpack_work();
        return code;
    }
    CloseHandle(created.hThread);
    child_process = created.hProcess;
    end_unpack_work();
    return 0;
}

void launch_child(void)
{
    if (own_module_path[0] == L'\0'
        && GetModuleFileNameW(NULL, own_module_path, ONEFILE_PATH_CAPACITY) == 0)
        abort();
    /* What Windows answers for a longer line; Wine would cut it instead. */
    if (build_child_command_line() == NULL)
        fatal_system_error("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    pass_on_startup_info(&startup);
    /* Kept open for the life of the process. */
    HANDLE job = make_child_job();

    DWORD pause = FIRST_LAUNCH_PAUSE_MS;
    for (int attempt = 1;; attempt++) {
        DWORD code = try_to_launch_child(job, &startup);
        if (code == 0)
            break;
        if (attempt == LAUNCH_ATTEMPTS || !is_transient_launch_error(code))
            fatal_system_error("Error, couldn't launch child", code);
        Sleep(pause);
        pause *= 2;
    }
    close_standard_handle_copies();
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
    bool polling = true;
    ULONGLONG next_poll = GetTickCount64() + SPLASH_POLL_MS;
    for (;;) {
        DWORD timeout = polling ? time_until(next_poll) : INFINITE;
        DWORD waited = has_windows_to_serve()
                           ? MsgWaitForMultipleObjectsEx(1, &child_process, timeout, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE)
                           : WaitForSingleObject(child_process, timeout);
        if (waited == WAIT_OBJECT_0 + 1) {
            pump_window_messages();
            continue;
        }
        if (!GetExitCodeProcess(child_process, &status)) {
            status = 1;
            break;
        }
        /* A child may end with 259 itself: the signalled handle tells. */
        if (status != STILL_ACTIVE || waited == WAIT_OBJECT_0)
            break;
        if (!splash_active || !poll_splash_feedback())
            polling = false;
        next_poll = GetTickCount64() + SPLASH_POLL_MS;
    }
    close_session_window();
    release_child_process();
    return (int)status;
}
