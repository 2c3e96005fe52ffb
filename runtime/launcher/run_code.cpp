/*
** run_code of the launcher. The bootstrap's re-launched copy calls it with
** the unpack directory in place; it starts the packed program there with
** the caller's command line, standard handles, console, environment and
** current directory, and waits for it, so that the program runs as if the
** user had started it directly and its exit status becomes the
** executable's.
*/
#include <windows.h>
#include <wchar.h>

#include "driver/driver.h"
#include "launcher.h"

static wchar_t program_path[LAUNCHER_PATH_CAPACITY];
static wchar_t program_command_line[PROGRAM_COMMAND_LINE_CAPACITY];

/* Set by the main thread once the program runs; read by the console
** control handler's thread. */
static HANDLE volatile program_process;

/* The program shares our console and receives the same events; it alone
** decides whether they end it. For close, logoff and shutdown the system
** ends this process as soon as the handler returns, so the handler waits
** for the program first. */
static BOOL WINAPI ignore_console_control(DWORD control_type)
{
    if (control_type == CTRL_CLOSE_EVENT || control_type == CTRL_LOGOFF_EVENT
        || control_type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(program_process, INFINITE);
    return TRUE;
}

/* A job that ends the program when this process ends in any way, for
** instance when the bootstrap terminates us after a Ctrl+C that the program
** ignores. Processes the program starts are not held in it. NULL when the
** system refuses one; the program then merely outlives us in that case. */
static HANDLE create_program_job(void)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (job == NULL)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    SetInformationJobObject(job,
                            JobObjectExtendedLimitInformation,
                            &limits,
                            sizeof limits);
    return job;
}

static bool is_set(HANDLE handle)
{
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
}

/* Ends the splash and reports; a program that cannot be started leaves
** nothing of ours in the temporary folder. */
[[noreturn]] static void fail_to_launch(DWORD code)
{
    if (executable_has_splash())
        delete_splash_feedback_file();
    fatal_system_error("Error, couldn't launch program", code);
}

static HANDLE start_program(void)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    pass_on_startup_info(&startup);
    /* With none at all (started from the desktop), a console program gets
    ** those of the console the system makes for it, as when started there
    ** directly. */
    if (!is_set(startup.hStdInput) && !is_set(startup.hStdOutput) && !is_set(startup.hStdError))
        startup.dwFlags &= ~STARTF_USESTDHANDLES;

    HANDLE job = create_program_job();
    PROCESS_INFORMATION created = {};
    /* Same console and process group. */
    if (!create_process_in_job(program_path, program_command_line, job, 0, &startup, &created))
        fail_to_launch(GetLastError());
    close_standard_handle_copies();
    program_process = created.hProcess;
    CloseHandle(created.hThread);
    /* The job handle stays open: closing it would end the program. */
    return created.hProcess;
}

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *library_path)
{
    DWORD missing = find_program_path(program_path, library_path);
    if (missing != 0)
        fail_to_launch(missing);
    /* From the command line itself, not argv: the runtime has expanded
    ** wildcards in argv, and the program does that itself. */
    const wchar_t *fixed_arguments;
    size_t fixed_units = find_fixed_arguments(&fixed_arguments);
    build_program_command_line(program_command_line, program_path, fixed_arguments, fixed_units,
                               library_path, GetCommandLineW());
    /* The program's path in the unpack directory may make it longer than
    ** the typed one: refused whole, as Windows would, never passed on cut. */
    if (wcslen(program_command_line) >= COMMAND_LINE_CAPACITY)
        fail_to_launch(ERROR_FILENAME_EXCED_RANGE);
    SetConsoleCtrlHandler(ignore_console_control, TRUE);

    HANDLE program = start_program();
    if (executable_has_splash()) {
        /* A GUI program is ready once its first window waits for input. */
        if (is_gui_program(program_path))
            WaitForInputIdle(program, INFINITE);
        delete_splash_feedback_file();
    }

    WaitForSingleObject(program, INFINITE);
    DWORD status = 0;
    if (!GetExitCodeProcess(program, &status))
        status = 1;
    return (int)status;
}
