/*
** A test application: a library exporting run_code whose behaviour the
** tests choose through PROBE_* environment variables, so that the argument
** vector stays exactly what the user passed.
**
**   PROBE_READY=<file>        created as soon as run_code is entered, holding
**                             the library path
**   PROBE_IGNORE_CTRL_C=1     ignore console control events
**   PROBE_RELAUNCH=<args>     start the executable again with these arguments
**   PROBE_RELAUNCH_REPORT=<f> the report file of that copy
**   PROBE_CREATE=1            add files and folders to the unpack directory
**   PROBE_SPAWN=<command>     start this program, inheriting no handles, and
**                             leave it running
**   PROBE_AWAIT_SPLASH=1      first wait (up to 10 s) for a splash window to
**                             be placed (its first update sizes it)
**   PROBE_END_SPLASH=<ms>     delete the splash feedback file after ms
**   PROBE_REPORT=<file>       write what run_code saw, one key=value a line
**   PROBE_SLEEP_MS=<ms>       sleep before returning
**   PROBE_HOLD=<file>         wait until this file exists before returning
**   PROBE_WAIT_FOREVER=1      never return
**   PROBE_DONE=<file>         created just before returning
**   PROBE_EXIT=<n>            the status to return (default 0)
**   PROBE_CALL_EXIT=1         end through the runtime's exit() instead
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <climits>
#include <string>

#include "app_support.h"
#include "top_level_windows.h"
#include "onefile.h"

/* Written under another name first: a test that sees the file sees it whole. */
static void write_file(const std::wstring &path, const std::string &content)
{
    std::wstring partial = path + L".partial";
    FILE *file = _wfopen(partial.c_str(), L"wb");
    if (file == NULL)
        return;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
    MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

static std::wstring folder_of(const std::wstring &path)
{
    size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

static int count_splash_windows(void)
{
    return (int)top_level_windows("Splash").size();
}

/* Whether a splash window is up with its size: it is made empty at the
** origin and placed by its first update. */
static bool splash_is_placed(void)
{
    HWND window = FindWindowA("Splash", NULL);
    RECT rect = {};
    return window != NULL && GetWindowRect(window, &rect) && rect.right > rect.left;
}

static int relaunch(const std::wstring &arguments)
{
    wchar_t executable[4096];
    GetModuleFileNameW(NULL, executable, 4096);
    std::wstring command_line = L"\"" + std::wstring(executable) + L"\" " + arguments;
    /* The copy inherits the environment: give it its own report and no
    ** relaunch of its own, then put ours back. */
    std::wstring report = variable(L"PROBE_REPORT");
    SetEnvironmentVariableW(L"PROBE_REPORT", variable(L"PROBE_RELAUNCH_REPORT").c_str());
    SetEnvironmentVariableW(L"PROBE_RELAUNCH", NULL);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    BOOL started = CreateProcessW(executable, &command_line[0], NULL, NULL, TRUE, 0, NULL, NULL,
                                  &startup, &created);
    SetEnvironmentVariableW(L"PROBE_REPORT", report.c_str());
    if (!started)
        return -1;
    WaitForSingleObject(created.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(created.hProcess, &status);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return (int)status;
}

/* The started process's id, or 0. */
static DWORD spawn(const std::wstring &command)
{
    std::wstring command_line = command;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(NULL, &command_line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &created))
        return 0;
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return created.dwProcessId;
}

static void create_application_files(const std::wstring &unpack_directory)
{
    std::wstring top = unpack_directory + L"\\made_by_app";
    CreateDirectoryW(top.c_str(), NULL);
    CreateDirectoryW((top + L"\\sub").c_str(), NULL);
    CreateDirectoryW((top + L"\\sub\\deeper").c_str(), NULL);
    write_file(top + L"\\note.txt", "note\n");
    write_file(top + L"\\sub\\deeper\\data.bin", std::string(100000, 'x'));
    write_file(unpack_directory + L"\\app_output.txt", "output\n");
}

static std::string report(int argc, wchar_t **argv, const wchar_t *library_path, int relaunch_status,
                          DWORD spawned)
{
    static const wchar_t *const variables[] = {
        L"QALVEN_ONEFILE_PARENT", L"QALVEN_ONEFILE_TIME_US", L"QALVEN_ONEFILE_RANDOM",
        L"QALVEN_ONEFILE_START", L"QALVEN_ONEFILE_DIRECTORY", L"QALVEN_ORIGINAL_ARGV0",
        L"QALVEN_ONEFILE_CHILD_OF", L"QALVEN_ONEFILE_FOLDER_HANDLE"};
    std::string out = "argc=" + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; i++)
        out += "argv." + std::to_string(i) + "=" + escaped(argv[i]) + "\n";
    out += "library=" + escaped(library_path) + "\n";
    wchar_t cwd[4096];
    GetCurrentDirectoryW(4096, cwd);
    out += "cwd=" + escaped(cwd) + "\n";
    out += "command_line=" + escaped(GetCommandLineW()) + "\n";
    for (const wchar_t *name : variables) {
        out += "env." + utf8(name) + "=";
        out += has_variable(name) ? escaped(variable(name)) : std::string("<unset>");
        out += "\n";
    }
    out += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    out += "splash_windows=" + std::to_string(count_splash_windows()) + "\n";
    /* The DPI this process's awareness sees (Windows 10 1607 and later). */
    typedef UINT(WINAPI * system_dpi_function)(void);
    system_dpi_function system_dpi = (system_dpi_function)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"user32.dll"), "GetDpiForSystem");
    out += "system_dpi=" + std::to_string(system_dpi != NULL ? system_dpi() : 0) + "\n";
    RECT splash = {};
    GetWindowRect(FindWindowA("Splash", NULL), &splash);
    out += "splash_size=" + std::to_string(splash.right - splash.left) + "x"
         + std::to_string(splash.bottom - splash.top) + "\n";
    if (relaunch_status != INT_MIN)
        out += "relaunch_status=" + std::to_string(relaunch_status) + "\n";
    if (spawned != 0)
        out += "spawned=" + std::to_string(spawned) + "\n";
    return out;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    /* The bootstrap's splash thread makes its window while the start goes on. */
    if (variable(L"PROBE_AWAIT_SPLASH") == L"1")
        for (int waited = 0; waited < 10000 && !splash_is_placed(); waited += 5)
            Sleep(5);
    if (has_variable(L"PROBE_READY"))
        write_file(variable(L"PROBE_READY"), utf8(library_path));
    if (variable(L"PROBE_IGNORE_CTRL_C") == L"1")
        SetConsoleCtrlHandler(NULL, TRUE);

    int relaunch_status = INT_MIN;
    if (has_variable(L"PROBE_RELAUNCH"))
        relaunch_status = relaunch(variable(L"PROBE_RELAUNCH"));
    DWORD spawned = has_variable(L"PROBE_SPAWN") ? spawn(variable(L"PROBE_SPAWN")) : 0;
    if (variable(L"PROBE_CREATE") == L"1")
        create_application_files(folder_of(library_path));
    if (has_variable(L"PROBE_END_SPLASH")) {
        Sleep((DWORD)_wtoi(variable(L"PROBE_END_SPLASH").c_str()));
        onefile_end_splash();
    }
    if (has_variable(L"PROBE_REPORT"))
        write_file(variable(L"PROBE_REPORT"), report(argc, argv, library_path, relaunch_status, spawned));
    if (has_variable(L"PROBE_SLEEP_MS"))
        Sleep((DWORD)_wtoi(variable(L"PROBE_SLEEP_MS").c_str()));
    if (has_variable(L"PROBE_HOLD")) {
        std::wstring hold = variable(L"PROBE_HOLD");
        while (GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES)
            Sleep(10);
    }
    if (variable(L"PROBE_WAIT_FOREVER") == L"1")
        for (;;)
            Sleep(INFINITE);
    if (has_variable(L"PROBE_DONE"))
        write_file(variable(L"PROBE_DONE"), "done");
    if (variable(L"PROBE_CALL_EXIT") == L"1")
        exit(_wtoi(variable(L"PROBE_EXIT").c_str()));
    return _wtoi(variable(L"PROBE_EXIT").c_str());
}
