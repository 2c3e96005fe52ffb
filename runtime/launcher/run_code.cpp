/*
** run_code of the launcher. A re-launched copy (a start of the executable
** by the program itself, while the fresh start lives) calls it with the
** unpack directory in place; it starts the packed program there with the
** caller's command line, standard handles, console, environment and
** current directory, and waits for it, so that the program runs as if the
** user had started it directly and its exit status becomes the
** executable's.
*/
#include <windows.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"
#include "errors/errors.h"
#include "launcher.h"
#include "process_start/process_start.h"

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

/* Ends the splash and reports; a program that cannot be started leaves
** nothing of ours in the temporary folder. */
[[noreturn]] static void fail_to_launch(DWORD code)
{
    if (executable_has_splash())
        end_parents_splash();
    fatal_start_error("Error, couldn't launch program", program_path, code);
}

static HANDLE start_program(void)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    pass_on_program_startup_info(&startup);
    /* Ends the program when this process ends in any way, for instance when
    ** the bootstrap terminates us after a Ctrl+C that the program ignores;
    ** without one, the program merely outlives us then. The handle stays
    ** open: closing it would end the program. */
    HANDLE job = make_kill_on_close_job();
    PROCESS_INFORMATION created = {};
    /* Same console and process group. */
    if (!create_process_in_job(program_path, program_command_line, job, 0, &startup, &created))
        fail_to_launch(GetLastError());
    close_standard_handle_copies();
    program_process = created.hProcess;
    CloseHandle(created.hThread);
    return created.hProcess;
}

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *library_path)
{
    DWORD code = prepare_program_start(library_path);
    if (code != 0)
        fail_to_launch(code);
    /* Fails only without memory: the program still runs, and a console
    ** event then ends this process, and the program with it. */
    SetConsoleCtrlHandler(ignore_console_control, TRUE);

    HANDLE program = start_program();
    if (executable_has_splash()) {
        /* A GUI program is ready once its first window waits for input. */
        if (is_gui_program(program_path))
            WaitForInputIdle(program, INFINITE);
        end_parents_splash();
    }

    WaitForSingleObject(program, INFINITE);
    DWORD status = 0;
    if (!GetExitCodeProcess(program, &status))
        status = 1;
    return (int)status;
}
