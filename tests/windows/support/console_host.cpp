/*
** A real console for one program, as cmd.exe gives it: the host leaves its
** own console, allocates a new one, starts the program in it without
** redirecting anything, and afterwards reads what the program left on the
** console's screen.
**
**   console_host <result file> <ready file or -> <command line>
**
** With a ready file, the host waits until the program has made it and then
** sends CTRL_C_EVENT to every process in the console, as Ctrl+C typed into
** it does. The result file gets "status=<exit status>", "others=<processes
** still attached besides the host>", with a ready file "window_libraries=
** <how many of user32 and gdi32 the program had loaded when it was ready>",
** and then the screen's lines.
*/
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <string>

static std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

static std::wstring screen_text(void)
{
    HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info))
        return L"(no screen buffer)";
    std::wstring text;
    std::wstring row(info.dwSize.X, L' ');
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; y++) {
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen, &row[0], (DWORD)row.size(), {0, y}, &read);
        std::wstring line = row.substr(0, read);
        /* A row filled to its last column goes on in the next: a wrapped line. */
        bool wrapped = read == row.size() && line.back() != L' ';
        line.erase(line.find_last_not_of(L' ') + 1);
        text += line + (wrapped ? L"" : L"\n");
    }
    CloseHandle(screen);
    return text;
}

static bool wait_for_file(const wchar_t *path, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 20) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(20);
    }
    return false;
}

/* How many of user32 and gdi32 the process has loaded. */
static int window_libraries(DWORD process_id)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_id);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module))
        count += _wcsicmp(module.szModule, L"user32.dll") == 0 || _wcsicmp(module.szModule, L"gdi32.dll") == 0;
    CloseHandle(snapshot);
    return count;
}

static BOOL WINAPI stay(DWORD)
{
    return TRUE;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4)
        return 64;
    FreeConsole();
    if (!AllocConsole())
        return 65;
    /* The host stays; the events are for the program. A handler rather
    ** than SetConsoleCtrlHandler(NULL, TRUE), whose ignoring of Ctrl+C the
    ** program would inherit. */
    SetConsoleCtrlHandler(stay, TRUE);
    /* Standard handles that the test redirected would otherwise reach the
    ** program in place of the console's. */
    SetStdHandle(STD_INPUT_HANDLE, CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               NULL, OPEN_EXISTING, 0, NULL));
    HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    SetStdHandle(STD_OUTPUT_HANDLE, screen);
    SetStdHandle(STD_ERROR_HANDLE, screen);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    std::wstring command_line = argv[3];
    if (!CreateProcessW(NULL, &command_line[0], NULL, NULL,
                        FALSE,      /* bInheritHandles: only the console */
                        0,          /* same console, same process group */
                        NULL, NULL, &startup, &created))
        return 66;
    std::string libraries;
    if (wcscmp(argv[2], L"-") != 0 && wait_for_file(argv[2], 60000)) {
        libraries = "window_libraries=" + std::to_string(window_libraries(created.dwProcessId)) + "\n";
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    }
    DWORD status = 259;
    if (WaitForSingleObject(created.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(created.hProcess, &status);
    /* Give a child that outlives its parent a moment to show itself. */
    Sleep(200);
    DWORD processes[16];
    DWORD attached = GetConsoleProcessList(processes, 16);

    std::string result = "status=" + std::to_string(status) + "\nothers=" +
                         std::to_string(attached > 0 ? attached - 1 : 0) + "\n" + libraries + utf8(screen_text());
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, result.data(), (DWORD)result.size(), &written, NULL);
    CloseHandle(file);
    TerminateProcess(created.hProcess, 1);
    return 0;
}
