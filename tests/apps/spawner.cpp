/*
** A test application that starts another program, as applications start
** helpers or tools that may themselves be packed. Built twice from this
** source: as a console program (spawner.exe) and as a library exporting
** run_code (spawner_app.dll).
**
** Whatever follows argument 0 on its command line is started as a command
** line of its own, with our standard handles and environment; its exit
** status becomes ours (1 when it cannot be started). With nothing after
** argument 0 it ends at once with status 42, a status that no failure of a
** bootstrap gives.
*/
#include <windows.h>

#define NOTHING_TO_START_STATUS 42

/* The command line after argument 0 and the blanks behind it. */
static wchar_t *after_argument_zero(wchar_t *command_line)
{
    wchar_t *p = command_line;
    if (*p == L'"') {
        for (p++; *p != L'\0' && *p != L'"'; p++)
            ;
        if (*p == L'"')
            p++;
    }
    for (; *p != L'\0' && *p != L' ' && *p != L'\t'; p++)
        ;
    for (; *p == L' ' || *p == L'\t'; p++)
        ;
    return p;
}

static int start_and_wait(void)
{
    /* CreateProcessW may write to the command line it is given: a copy. */
    static wchar_t command[32768];
    lstrcpynW(command, after_argument_zero(GetCommandLineW()), 32768);
    if (command[0] == L'\0')
        return NOTHING_TO_START_STATUS;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &created))
        return 1;
    WaitForSingleObject(created.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(created.hProcess, &status);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return (int)status;
}

#ifdef SPAWNER_LIBRARY
extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *)
{
    return start_and_wait();
}
#else
int wmain(void)
{
    return start_and_wait();
}
#endif
