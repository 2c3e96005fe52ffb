/*
** The example Lua application as users get it, lua-app.exe: started with an
** exact command line in a private temporary folder, it prints what its data,
** its modules and its arguments make, ends with the status its arguments
** ask for, and leaves the temporary folder empty; the application itself
** deletes the splash feedback file.
*/
#include <gtest/gtest.h>

#include <sstream>

#include "run_process.h"

namespace {

const std::vector<std::string> planet_table = {
    "Planet   Sunlight (min)  Radius (Earth = 1)",
    "Mercury             3.2                0.38",
    "Venus               6.0                0.95",
    "Earth               8.3                1.00",
    "Mars               12.7                0.53",
    "Jupiter            43.3               10.97",
    "Saturn             79.3                9.14",
    "Uranus            159.6                3.98",
    "Neptune           250.1                3.86",
};

/* The lines of standard output, without the CR that text mode adds. */
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class LuaApp : public testing::Test {
protected:
    void SetUp() override { temp = test_scratch_folder() + L"\\temp"; }

    process_result run(const std::wstring &arguments, bool watch = false)
    {
        process_options options;
        options.command_line = quote_argument(ONEFILE_LUA_APP) + L" " + arguments;
        use_temp_folder(options, temp);
        running_process started = start_process(options);
        /* The unpack directory (it sorts first) held open keeps the bootstrap
        ** in 2 s of removal retries before it deletes the feedback file: once
        ** the application has ended and the directory is empty, it is gone. */
        HANDLE held = INVALID_HANDLE_VALUE;
        std::wstring unpacked;
        for (int i = 0; watch && held == INVALID_HANDLE_VALUE && i < 60000; i++, Sleep(1)) {
            std::vector<std::wstring> names = list_folder(temp);
            unpacked = names.empty() ? L"" : temp + L"\\" + names[0];
            if (is_directory(unpacked) && !list_folder(unpacked).empty())
                held = CreateFileW(unpacked.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        }
        while (held != INVALID_HANDLE_VALUE && !list_folder(unpacked).empty())
            Sleep(1);
        EXPECT_TRUE(!watch || (held != INVALID_HANDLE_VALUE && list_folder(temp).size() == 1))
            << "no unpack directory seen, or the feedback file outlived the application";
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        process_result result = finish_process(started, 120000);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(list_folder(temp), std::vector<std::wstring>())
            << "the splash feedback file or the unpack directory was left behind";
        return result;
    }

    /* Everything after the greeting, the unpack directory and a blank line. */
    static std::vector<std::string> table_of(const std::vector<std::string> &lines)
    {
        return std::vector<std::string>(lines.begin() + 3, lines.end());
    }

    std::wstring temp;
};

TEST_F(LuaApp, prints_its_data_through_its_modules_and_greets_every_argument_unmangled)
{
    process_result result = run(L"\"Ada Lovelace\" Jūratė 世界", true);
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 3u) << result.out;
    EXPECT_EQ(lines[0], u8"Hello, Ada Lovelace, Jūratė and 世界!");
    EXPECT_EQ(lines[1].rfind("Unpacked to " + utf8(temp) + "\\onefile_", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(table_of(lines), planet_table);
}

TEST_F(LuaApp, ends_with_the_exit_status_its_arguments_ask_for)
{
    process_result result = run(L"Ada --exit 7 Grace");
    EXPECT_EQ(result.exit_code, 7u) << result.out << result.err;
    std::vector<std::string> lines = lines_of(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Hello, Ada and Grace!");
}

TEST_F(LuaApp, a_lua_error_ends_with_status_1_and_its_message_and_traceback_on_stderr)
{
    process_result result = run(L"--exit soon");
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("main.lua:", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("--exit wants an integer, not 'soon'"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("stack traceback:"), std::string::npos) << result.err;
}

TEST_F(LuaApp, runs_from_a_temporary_folder_whose_name_is_outside_the_ansi_code_page)
{
    temp = test_scratch_folder() + L"\\Temp Ωμέγα 日本";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), NULL));
    process_result result = run(L"Jūratė");
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 3u) << result.out;
    EXPECT_EQ(lines[0], u8"Hello, Jūratė!");
    EXPECT_EQ(lines[1].rfind("Unpacked to " + utf8(temp) + "\\onefile_", 0), 0u) << lines[1];
    EXPECT_EQ(table_of(lines), planet_table);
}

} // namespace
