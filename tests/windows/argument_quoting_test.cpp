/*
** The child's command line: the bootstrap splits its own command line as
** the system does, and every argument must come back from the system's
** splitting of the child's line exactly as the parent received it.
*/
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <random>
#include <vector>

#include "driver/driver.h"
#include "run_process.h"

namespace {

std::vector<std::wstring> split(const std::wstring &command_line)
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(command_line.c_str(), &count);
    std::vector<std::wstring> out(arguments, arguments + count);
    LocalFree(arguments);
    return out;
}

std::wstring quoted(const std::wstring &argument)
{
    static wchar_t command_line[32768];
    command_line[0] = L'\0';
    append_quoted_argument(command_line, 32768, argument.c_str());
    return command_line;
}

/* The bootstrap's own splitting, argument 0 included. */
std::vector<std::wstring> split_by_bootstrap(const std::wstring &command_line)
{
    static wchar_t argument[32768];
    std::vector<std::wstring> out;
    for (const wchar_t *position = command_line.c_str();
         next_argument(command_line.c_str(), &position, argument);)
        out.push_back(argument);
    return out;
}

/* The system's function is the reference, in awkward lines and in random
** ones made of the characters that matter. */
TEST(NextArgument, splits_every_line_as_the_system_does)
{
    const std::wstring awkward[] = {
        L"app",
        L"\"C:\\My Dir\\app.exe\" a \"b c\"",
        L"\"C:\\a\\\" tail",
        L"\"a b\"c d",
        L"\"\"",
        L"\"unclosed arg0",
        L"C:\\a\"b \"c d\" e",
        L" leading blank",
        L"\tapp\tx\t\ty\t",
        L"app \"\" \"\" x \"\"",
        L"app a\\\\\"b\" c\\\"d e\\\\\\\"f\" g\\\\ h\\",
        L"app \"a\"\"b\" \"\"\"c\"\"\" d\"\"e \"\"\"\"\"\" \"x\"\"\"y",
        L"app \\\"\"\" \"\\\"\"\"z",
        L"app \"tab\there\" \"unclosed \\",
        L"app trailing   ",
        L"app \u00e9\u4e2d \"\u00a0 x\"",
    };
    for (const std::wstring &line : awkward)
        EXPECT_EQ(split_by_bootstrap(line), split(line)) << utf8(line);

    const wchar_t pieces[] = {L' ', L'\t', L'"', L'"', L'\\', L'\\', L'a', L'b'};
    std::mt19937 random(20261209);
    for (int round = 0; round < 3000; round++) {
        std::wstring line;
        /* Never empty: CommandLineToArgvW gives the executable's path then. */
        size_t length = 1 + random() % 16;
        for (size_t i = 0; i < length; i++)
            line += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        ASSERT_EQ(split_by_bootstrap(line), split(line)) << utf8(line);
    }
}

TEST(AppendQuotedArgument, quotes_only_what_the_splitting_would_break)
{
    EXPECT_EQ(quoted(L"a b"), L"\"a b\"");
    EXPECT_EQ(quoted(L"C:\\My Dir\\"), L"\"C:\\My Dir\\\\\"");
    EXPECT_EQ(quoted(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(quoted(L"a\\\\b"), L"a\\\\b");
    EXPECT_EQ(quoted(L"c:\\temp"), L"c:\\temp");
    EXPECT_EQ(quoted(L""), L"\"\"") << "an empty argument is kept";
}

TEST(AppendQuotedArgument, random_arguments_survive_the_round_trip)
{
    const wchar_t pieces[] = {L' ', L'\t', L'"', L'\\', L'\\', L'\\', L'a', L'b', L'\n', L'\v',
                              L'\u00e9', L'\u4e2d', L'*', L'?', L'\u00a0'};
    std::mt19937 random(20261208);
    for (int round = 0; round < 5000; round++) {
        std::wstring program = L"C:\\dir\\prog.exe";
        std::vector<std::wstring> arguments;
        size_t count = 1 + random() % 4;
        for (size_t i = 0; i < count; i++) {
            std::wstring argument;
            size_t length = random() % 12;
            for (size_t j = 0; j < length; j++)
                argument += pieces[random() % (sizeof pieces / sizeof pieces[0])];
            arguments.push_back(argument);
        }
        std::wstring command_line = program;
        for (const std::wstring &argument : arguments)
            command_line += L" " + quoted(argument);
        std::vector<std::wstring> back = split(command_line);
        ASSERT_EQ(back.size(), arguments.size() + 1) << utf8(command_line);
        for (size_t i = 0; i < arguments.size(); i++)
            ASSERT_EQ(back[i + 1], arguments[i]) << utf8(command_line);
    }
}

TEST(AppendQuotedArgument, a_command_line_that_would_overflow_ends_the_process)
{
    EXPECT_DEATH(
        {
            static wchar_t small[8] = L"";
            append_quoted_argument(small, 8, L"a b c d e");
        },
        "Error, the child's command line does not fit its buffer\\.");
}

} // namespace
