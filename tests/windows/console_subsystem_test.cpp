/*
** Executables packed with --console, in a real console (see
** support/console_host.cpp, whose console handles are not inheritable):
** the application's output appears on the console's screen, the exit
** status comes back, and Ctrl+C typed into the console reaches both
** processes: the application ends, the bootstrap removes the unpack
** directory, and nothing stays attached.
*/
#include <gtest/gtest.h>

#include "run_process.h"

namespace {

class ConsoleSubsystem : public in_scratch_folder<> {
protected:
    void SetUp() override { result_file = folder + L"\\result.txt"; }

    /* Runs `command_line` in a new console; returns the host's result.
    ** `kept`: what may stay in TEMP (a cached folder). */
    std::string run_in_console(const std::wstring &command_line, const std::wstring &ready,
                               const std::map<std::wstring, std::optional<std::wstring>> &environment = {},
                               const std::vector<std::wstring> &kept = {})
    {
        process_options options;
        options.command_line = quote_argument(ONEFILE_TEST_BINARY_DIR L"\\console_host.exe") + L" " +
                               quote_argument(result_file) + L" " + quote_argument(ready) + L" " +
                               quote_argument(command_line);
        options.environment = environment;
        use_temp_folder(options, temp);
        process_result host = run_process(options);
        EXPECT_EQ(host.exit_code, 0u);
        EXPECT_EQ(list_folder(temp), kept) << "the unpack directory was left behind";
        return read_file(result_file);
    }

    std::wstring result_file;
};

TEST_F(ConsoleSubsystem, output_reaches_the_console_screen_and_the_status_comes_back)
{
    const std::string result =
        run_in_console(quote_argument(ONEFILE_LUA_APP_CONSOLE) + L" \"Ada Lovelace\" --exit 3", L"-");
    EXPECT_EQ(result.rfind("status=3\nothers=0\n", 0), 0u) << result;
    EXPECT_NE(result.find("Hello, Ada Lovelace!"), std::string::npos) << result;
    EXPECT_NE(result.find("Neptune           250.1                3.86"), std::string::npos) << result;
}

/* A program through the launcher: per run it runs in the bootstrap's child,
** cached in the bootstrap's own process, which got the host's handles. */
TEST_F(ConsoleSubsystem, a_packed_programs_output_reaches_the_screen_per_run_and_cached)
{
    struct {
        const wchar_t *executable;
        std::vector<std::wstring> kept;
    } packed[] = {{ONEFILE_PROGRAMS_DIR L"\\lua-console.exe", {}},
                  {ONEFILE_TEST_BINARY_DIR L"\\lua-cached-console.exe", {L"lua-cache"}}};
    for (const auto &program : packed) {
        const std::string result =
            run_in_console(quote_argument(program.executable)
                               + L" -e \"print('Hello from ' .. _VERSION) os.exit(7)\"",
                           L"-", {}, program.kept);
        EXPECT_EQ(result.rfind("status=7\nothers=0\n", 0), 0u) << result;
        EXPECT_NE(result.find("Hello from Lua 5.4\n"), std::string::npos) << result;
    }
}

TEST_F(ConsoleSubsystem, ctrl_c_in_the_console_ends_the_application_and_removes_the_unpack_directory)
{
    const std::wstring ready = folder + L"\\ready.txt";
    const std::string result = run_in_console(quote_argument(ONEFILE_TEST_BINARY_DIR L"\\probe-console.exe"), ready,
                                              {{L"PROBE_READY", ready}, {L"PROBE_WAIT_FOREVER", L"1"}});
    /* Windows ends both processes with STATUS_CONTROL_C_EXIT (0xC000013A);
    ** Wine ends a process whose handlers all return FALSE with status 0. */
    EXPECT_TRUE(result.rfind("status=3221225786\n", 0) == 0 || result.rfind("status=0\n", 0) == 0) << result;
    EXPECT_NE(result.find("\nothers=0\n"), std::string::npos) << "a process stayed in the console: " << result;
    /* Without them, Windows tells the bootstrap of a logoff or shutdown as
    ** it tells it of Ctrl+C, through its handler (CTRL_LOGOFF_EVENT,
    ** CTRL_SHUTDOWN_EVENT), and it needs no window. Wine 8 and 10 send no
    ** console event at the end of the session (wineboot's shutdown only
    ** messages windows), so the handler's clean-up is seen here through
    ** Ctrl+C. */
    EXPECT_NE(result.find("\nwindow_libraries=0\n"), std::string::npos) << result;
}

} // namespace
