/*
** The console executable in a real console, as cmd.exe runs it: the test
** makes a console of its own, starts the packed program in it without any
** redirection, and reads what the program wrote from the console's screen
** buffer.
*/
#include <gtest/gtest.h>

#include "process_tree.h"
#include "run_process.h"

namespace {

class RealConsole : public in_scratch_folder<> {
protected:
    void SetUp() override
    {
        FreeConsole();
        ASSERT_TRUE(AllocConsole()) << GetLastError();
        /* What the packed program and its processes inherit. */
        SetEnvironmentVariableW(L"TMP", temp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
        for (const wchar_t *name : {L"QALVEN_ONEFILE_PARENT", L"QALVEN_ONEFILE_RANDOM",
                                    L"QALVEN_ONEFILE_TIME_US", L"QALVEN_ONEFILE_START"})
            SetEnvironmentVariableW(name, NULL);
    }

    /* Starts a packed console program in our console, as a shell does. */
    PROCESS_INFORMATION start(const std::wstring &program, const std::wstring &arguments)
    {
        std::wstring command_line = quote_argument(std::wstring(ONEFILE_PROGRAMS_DIR) + L"\\"
                                                   + program + L"-console.exe")
                                  + L" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created = {};
        EXPECT_TRUE(CreateProcessW(NULL, &command_line[0], NULL, NULL, FALSE, 0, NULL,
                                   folder.c_str(), &startup, &created))
            << GetLastError();
        CloseHandle(created.hThread);
        return created;
    }

    DWORD finish(PROCESS_INFORMATION &started)
    {
        EXPECT_EQ(WaitForSingleObject(started.hProcess, 60000), WAIT_OBJECT_0);
        DWORD status = 0;
        GetExitCodeProcess(started.hProcess, &status);
        CloseHandle(started.hProcess);
        return status;
    }

    /* The screen buffer's text, one line per row, blanks at the ends cut; a
    ** row filled to its last column goes on in the next, as the console
    ** wraps a long line (paths in the output are as long as the build's). */
    std::string screen_text()
    {
        HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                    NULL);
        CONSOLE_SCREEN_BUFFER_INFO info;
        EXPECT_TRUE(GetConsoleScreenBufferInfo(screen, &info)) << GetLastError();
        std::string text;
        std::vector<wchar_t> row(info.dwSize.X);
        for (SHORT y = 0; y < info.dwSize.Y; y++) {
            DWORD read = 0;
            ReadConsoleOutputCharacterW(screen, row.data(), info.dwSize.X, COORD{0, y}, &read);
            std::wstring line(row.data(), read);
            bool wrapped = read == row.size() && line.back() != L' ';
            line.erase(line.find_last_not_of(L' ') + 1);
            text += utf8(line) + (wrapped ? "" : "\n");
        }
        CloseHandle(screen);
        return text;
    }

};

TEST_F(RealConsole, output_appears_in_the_console_and_the_status_comes_back)
{
    write_file(folder + L"\\damaged.zst", "\x28\xb5\x2f\xfd damaged");
    PROCESS_INFORMATION lua = start(L"lua", L"-e \"print('Hello from ' .. _VERSION) os.exit(7)\"");
    EXPECT_EQ(finish(lua), 7u);
    PROCESS_INFORMATION zstd = start(L"zstd", L"-t damaged.zst");
    EXPECT_EQ(finish(zstd), 1u);
    std::string screen = screen_text();
    EXPECT_NE(screen.find("Hello from Lua 5.4\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("damaged.zst"), std::string::npos) << screen;
    EXPECT_TRUE(list_folder(temp).empty());
}

/* Ctrl+C in the console reaches both processes. The program decides: lua
** stops the running script with "interrupted!" and status 1, and the
** bootstrap cleans up once its child, the program, has ended.
**
** Closing the console window cannot be done under Wine. On Windows every
** process gets CTRL_CLOSE_EVENT and the system ends each one once its
** handler returns (or after about 5 seconds): the bootstrap's handler gives
** the program 2 of them to end on its own before it ends it and removes the
** unpack directory. */
TEST_F(RealConsole, ctrl_c_is_the_programs_to_handle)
{
    PROCESS_INFORMATION lua = start(L"lua", L"-e \"io.write('running\\n') while true do end\"");
    DWORD program_id = wait_for_child_named(lua.dwProcessId, L"lua.exe", 30000);
    HANDLE program = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, program_id);
    ASSERT_NE(program, (HANDLE)NULL);
    for (int i = 0; i < 3000 && screen_text().find("running\n") == std::string::npos; i++)
        Sleep(10);
    ASSERT_NE(screen_text().find("running\n"), std::string::npos) << screen_text();
    SetConsoleCtrlHandler(NULL, TRUE);
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    finish(lua);
    EXPECT_EQ(WaitForSingleObject(program, 10000), WAIT_OBJECT_0);
    DWORD program_status = 0;
    GetExitCodeProcess(program, &program_status);
    CloseHandle(program);
    EXPECT_EQ(program_status, 1u) << "lua's own status for the interrupted script";
    EXPECT_NE(screen_text().find("interrupted!"), std::string::npos) << screen_text();
    EXPECT_TRUE(list_folder(temp).empty());
}

} // namespace
