/*
** Ordinary programs. An executable that names a program in its resource
** starts it from the unpack directory as its own child (the launcher
** library, its first entry, starts it from a re-launched copy), and the
** program sees what a direct start with the same command line would give
** it. The executables are made here the
** way the packer makes them: the patchable bootstrap carrying the launcher
** and then the program's folder, with the program's relative path as
** RT_RCDATA 29 and, where a test wants one, a splash image as RT_RCDATA 28.
*/
#include <gtest/gtest.h>

#include <functional>

#include "attached_data_builder.h"
#include "driver/driver.h"
#include "launcher.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

const DWORD start_timeout_ms = 30000;

std::string utf16le(const std::wstring &text)
{
    return std::string((const char *)text.data(), text.size() * sizeof(wchar_t));
}

std::string app_file(const std::wstring &name)
{
    return read_file(std::wstring(ONEFILE_TEST_APPS_DIR) + L"\\" + name);
}

bool wait_until(const std::function<bool()> &condition, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 10) {
        if (condition())
            return true;
        Sleep(10);
    }
    return condition();
}

/* The command line after argument 0, as the program's runtime reads it. */
std::string after_argument_zero(const std::string &command_line)
{
    return utf8(skip_argument_zero(utf16(command_line).c_str()));
}

TEST(ProgramCommandLine, argument_zero_becomes_the_program_and_the_rest_stays_as_typed)
{
    struct {
        const wchar_t *typed;
        const wchar_t *program;
        const wchar_t *expected;
    } cases[] = {
        {L"\"C:\\a b\\app.exe\" x \"y z\"", L"C:\\t\\p.exe", L"C:\\t\\p.exe x \"y z\""},
        {L"app  -q \"\"\t*.txt \"a\\\\\" \"\\\"q\\\"\"", L"C:\\t dir\\p.exe",
         L"\"C:\\t dir\\p.exe\"  -q \"\"\t*.txt \"a\\\\\" \"\\\"q\\\"\""},
        {L"app\tx", L"C:\\p.exe", L"C:\\p.exe\tx"},
        {L"app", L"C:\\t\tdir\\p.exe", L"\"C:\\t\tdir\\p.exe\""},
        /* A quoted program name ends at the next quote, backslashes or not,
        ** and what follows is the next argument. */
        {L"\"C:\\dir\\\"x y", L"C:\\p.exe", L"C:\\p.exe x y"},
        /* An unquoted one ends at the first blank, quotes or not. */
        {L"C:\\a\"b \"c d\"", L"C:\\p.exe", L"C:\\p.exe \"c d\""},
    };
    static wchar_t built[PROGRAM_COMMAND_LINE_CAPACITY];
    for (const auto &c : cases) {
        build_program_command_line(built, c.program, NULL, 0, L"C:\\t\\launcher.dll", c.typed);
        EXPECT_EQ(std::wstring(built), c.expected) << utf8(c.typed);
    }
}

TEST(ProgramCommandLine, fixed_arguments_follow_the_program_expanded_and_quoted_before_the_typed_ones)
{
    static wchar_t built[PROGRAM_COMMAND_LINE_CAPACITY];
    /* Four values, each ended by a 0 unit. */
    static const wchar_t fixed[] = L"{APP_DIR}\\s.lua\0-x\0{APP_DIR}\\\0say \"hi\" {APP_DIR}\0";
    const size_t fixed_units = sizeof fixed / sizeof fixed[0] - 1;
    build_program_command_line(built, L"C:\\p.exe", fixed, fixed_units, L"C:\\u p\\onefile-launcher.dll",
                               L"app x  \"y z\"");
    EXPECT_EQ(std::wstring(built), L"C:\\p.exe \"C:\\u p\\s.lua\" -x \"C:\\u p\\\\\" "
                                   L"\"say \\\"hi\\\" C:\\u p\" x  \"y z\"");
    build_program_command_line(built, L"C:\\p.exe", fixed, wcslen(fixed), L"C:\\u\\onefile-launcher.dll", L"app");
    EXPECT_EQ(std::wstring(built), L"C:\\p.exe C:\\u\\s.lua") << "a last value without its 0 unit";
    build_program_command_line(built, L"C:\\p.exe", L"\0", 1, L"C:\\u\\onefile-launcher.dll", L"app");
    EXPECT_EQ(std::wstring(built), L"C:\\p.exe \"\"") << "an empty value stays an argument";
}

class Program : public in_scratch_folder<> {
protected:
    void SetUp() override
    {
        executable = folder + L"\\packed.exe";
        direct = folder + L"\\direct";
        work = folder + L"\\work";
        CreateDirectoryW(direct.c_str(), NULL);
        CreateDirectoryW(work.c_str(), NULL);
    }

    /* Starts zstd packed with a splash, compressing standard input that stays
    ** open; sets the id of zstd's process, the executable's own child (0
    ** when there is none). */
    running_process start_zstd_waiting_for_input(DWORD &program_id)
    {
        pack({{L"zstd.exe", app_file(L"zstd.exe")}}, L"zstd.exe", true);
        process_options run = packed(L"-q -c");
        run.input = std::string();
        run.keep_input_open = true;
        running_process started = start_process(run);
        program_id = wait_for_child_named(started.id, L"zstd.exe", start_timeout_ms);
        return started;
    }

    /* Packs `files` (relative path and content) behind the launcher, and
    ** puts the same files into the folder `direct` for direct starts. An
    ** empty `program` leaves the program's resource out. */
    void pack(const file_entries &files, const std::wstring &program, bool splash = false)
    {
        file_entries entries = {{L"onefile-launcher.dll", read_file(ONEFILE_TEST_LAUNCHER)}};
        entries.insert(entries.end(), files.begin(), files.end());
        write_patched_bootstrap(executable, make_object(entries));
        if (!program.empty())
            set_rcdata_resource(executable, ONEFILE_PROGRAM_RESOURCE, utf16le(program));
        if (splash)
            set_rcdata_resource(executable, ONEFILE_SPLASH_RESOURCE, read_file(ONEFILE_TEST_SPLASH));
        for (const auto &file : files) {
            std::wstring path = direct + L"\\" + file.first;
            CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), NULL);
            write_file(path, file.second);
        }
        direct_program = direct + L"\\" + program;
    }

    void pack_window_app(bool splash = false)
    {
        pack({{L"bin\\window_app.exe", app_file(L"window_app.exe")}}, L"bin\\window_app.exe",
             splash);
    }

    /* A start of `program` in the folder `work`, in the private TEMP. */
    process_options options(const std::wstring &program, const std::wstring &arguments)
    {
        process_options run;
        run.command_line = quote_argument(program) + (arguments.empty() ? L"" : L" " + arguments);
        run.current_directory = work;
        as_fresh_start(run, temp);
        return run;
    }

    process_options packed(const std::wstring &arguments = L"")
    {
        return options(executable, arguments);
    }

    process_options started_directly(const std::wstring &arguments = L"")
    {
        return options(direct_program, arguments);
    }

    std::wstring feedback_file(DWORD bootstrap_id)
    {
        return temp + L"\\onefile_" + std::to_wstring(bootstrap_id) + L"_splash_feedback.tmp";
    }

    std::wstring direct, direct_program, work;
};

TEST_F(Program, sees_the_arguments_environment_and_folder_of_a_direct_start)
{
    pack_window_app();
    write_file(work + L"\\one.txt", "");
    write_file(work + L"\\two.txt", "");
    /* As the bootstrap passes it on: every argument quoted as the system's
    ** splitting reads it back, the empty one included. */
    const std::wstring arguments =
        L"\"a b\" \"C:\\My Dir\\\\\" \"say \\\"hi\\\"\" \"tab\there\" \u00fcn\u00ef\u65e5\u672c "
        L"\"\" *.txt a\\\\b last";
    std::wstring report = folder + L"\\report.txt";
    std::map<std::string, std::string> seen[2];
    int i = 0;
    for (process_options run : {packed(arguments), started_directly(arguments)}) {
        run.environment[L"WINDOW_APP_REPORT"] = report;
        run.environment[L"WINDOW_APP_EXIT"] = L"0";
        process_result result = run_process(run);
        ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
        seen[i++] = read_report(report);
        DeleteFileW(report.c_str());
    }
    std::map<std::string, std::string> &packed_run = seen[0], &direct_run = seen[1];

    EXPECT_EQ(after_argument_zero(packed_run["command_line"]), " " + utf8(arguments))
        << "passed on as typed, the wildcard unexpanded";
    ASSERT_EQ(packed_run["argc"], "11");
    EXPECT_EQ(packed_run["argc"], direct_run["argc"]);
    for (int n = 1; n < 11; n++) {
        std::string key = "argv." + std::to_string(n);
        EXPECT_EQ(packed_run[key], direct_run[key]) << key;
    }
    EXPECT_EQ(packed_run["argv.7"], "one.txt") << "expanded by the program itself";
    EXPECT_EQ(packed_run["cwd"], utf8(work));
    EXPECT_EQ(packed_run["env.WINDOW_APP_EXIT"], "0") << "the caller's environment";

    std::string unpack_directory = packed_run["argv.0"].substr(0, packed_run["argv.0"].rfind("\\bin\\"));
    EXPECT_EQ(unpack_directory.rfind(utf8(temp) + "\\onefile_", 0), 0u) << unpack_directory;
    EXPECT_EQ(packed_run["argv.0"], unpack_directory + "\\bin\\window_app.exe");
    EXPECT_EQ(packed_run["image"], packed_run["argv.0"]);
    EXPECT_EQ(packed_run["env.QALVEN_ONEFILE_DIRECTORY"], utf8(folder));
    EXPECT_EQ(packed_run["env.QALVEN_ORIGINAL_ARGV0"], utf8(executable));
    EXPECT_FALSE(packed_run["env.QALVEN_ONEFILE_PARENT"].empty());
    EXPECT_TRUE(list_folder(temp).empty());
}

/* With a splash image too: a GUI program that ends without ever showing a
** window must not keep the launcher waiting for its first window. */
TEST_F(Program, its_exit_status_is_the_executables_all_32_bits_of_it)
{
    pack_window_app(true);
    for (const wchar_t *status : {L"0", L"3", L"259", L"0xC000013A", L"0xFFFFFFFF"}) {
        DWORD statuses[2];
        int i = 0;
        for (process_options run : {packed(), started_directly()}) {
            run.environment[L"WINDOW_APP_EXIT"] = status;
            process_result result = run_process(run);
            EXPECT_FALSE(result.timed_out);
            statuses[i++] = result.exit_code;
        }
        EXPECT_EQ(statuses[0], wcstoul(status, NULL, 0)) << utf8(status);
        EXPECT_EQ(statuses[0], statuses[1]) << utf8(status);
        EXPECT_TRUE(list_folder(temp).empty()) << utf8(status);
    }
}

/* The C runtime's descriptor block as a runtime parent builds it: the
** count, a flag byte per descriptor, then the handles. */
std::string descriptor_block(const std::vector<std::pair<unsigned char, HANDLE>> &descriptors)
{
    unsigned count = (unsigned)descriptors.size();
    std::string block((const char *)&count, sizeof count);
    for (const auto &descriptor : descriptors)
        block += (char)descriptor.first;
    for (const auto &descriptor : descriptors)
        block.append((const char *)&descriptor.second, sizeof descriptor.second);
    return block;
}

/* Descriptors 3 and 4 of a runtime parent, one binary and one text, reach
** the program as in a direct start, each in its mode. */
TEST_F(Program, gets_the_runtime_descriptors_that_its_parent_hands_over)
{
    pack({{L"descriptor_app.exe", app_file(L"descriptor_app.exe")}}, L"descriptor_app.exe");
    const unsigned char open = 0x01, text = 0x80;
    const std::wstring third = folder + L"\\3.txt", fourth = folder + L"\\4.txt";
    std::string seen[2];
    int i = 0;
    for (process_options run : {packed(), started_directly()}) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
        HANDLE files[2];
        for (int n = 0; n < 2; n++)
            files[n] = CreateFileW((n == 0 ? third : fourth).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                   &inherited, CREATE_ALWAYS, 0, NULL);
        /* 0 to 2 left to the standard handles. */
        run.runtime_descriptors = descriptor_block({{0, INVALID_HANDLE_VALUE},
                                                    {0, INVALID_HANDLE_VALUE},
                                                    {0, INVALID_HANDLE_VALUE},
                                                    {open, files[0]},
                                                    {open | text, files[1]}});
        process_result result = run_process(run);
        CloseHandle(files[0]);
        CloseHandle(files[1]);
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        seen[i++] = result.out + read_file(third) + read_file(fourth);
    }
    EXPECT_EQ(seen[1], "0 text\r\n1 text\r\n2 text\r\n3 binary\r\n4 text\r\n"
                       "to descriptor 3\nto descriptor 4\r\n");
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_TRUE(list_folder(temp).empty());
}

/* The system passes on at most 32,766 characters. The program's path in
** the unpack directory takes the place of argument 0: a line that no
** longer fits ends the start with the system's answer to it, never passed
** on cut (Windows refuses such a line, Wine 8 cuts it). */
TEST_F(Program, a_command_line_too_long_to_pass_on_whole_ends_the_start_in_one_line)
{
    pack_window_app();
    const std::wstring report = folder + L"\\report.txt";
    auto start = [&](const std::wstring &argument_zero, size_t length) {
        process_options run = packed();
        run.application = executable;
        run.command_line = argument_zero + L" ";
        run.command_line.append(length - run.command_line.size(), L'x');
        run.environment[L"WINDOW_APP_REPORT"] = report;
        return std::make_pair(run.command_line.substr(argument_zero.size() + 1), run_process(run));
    };
    const size_t longest = 32766;
    /* Room left for the unpack directory's longer path. */
    auto fits = start(quote_argument(executable), longest - 300);
    EXPECT_EQ(fits.second.exit_code, 0u) << fits.second.err;
    EXPECT_EQ(read_report(report)["argv.1"], utf8(fits.first)) << "passed on whole";
    DeleteFileW(report.c_str());

    struct {
        std::wstring argument_zero;
        const char *reported;
    } refused[] = {
        /* Fits as typed, not with the program's path. */
        {quote_argument(executable), "Error, couldn't launch program ([Error 206] "},
        /* Typed as a short name that the program's path replaces. */
        {L"p", "Error, couldn't launch program ([Error 206] "},
    };
    for (const auto &c : refused) {
        process_result result = start(c.argument_zero, longest - (c.argument_zero == L"p" ? 0 : 20)).second;
        EXPECT_EQ(result.exit_code, 2u) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind(c.reported, 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(path_exists(report)) << "the program ran";
    }
}

struct launch_failure {
    const char *name;
    const wchar_t *resource;   /* NULL: none, though a splash image is there */
    const char *program;       /* NULL: no file */
    const char *reported;      /* start of the line on standard error */
};

void PrintTo(const launch_failure &failure, std::ostream *out)
{
    *out << failure.name;
}

class ProgramThatCannotStart : public Program,
                               public testing::WithParamInterface<launch_failure> {};

TEST_P(ProgramThatCannotStart, fails_in_one_line_with_status_2_leaving_nothing)
{
    const launch_failure &failure = GetParam();
    file_entries files = {{L"data.txt", "data"}};
    if (failure.program != NULL)
        files.push_back({L"bin\\program.exe", failure.program});
    pack(files, failure.resource != NULL ? failure.resource : L"", true);
    process_result result = run_process(packed());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind(failure.reported, 0), 0u) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n") << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(list_folder(temp), std::vector<std::wstring>())
        << "the splash feedback file and the unpack directory are gone";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ProgramThatCannotStart,
    testing::Values(
        launch_failure{"no_program_resource", NULL, NULL,
                       "Error, couldn't launch program ([Error 1814] "},
        launch_failure{"a_missing_program", L"missing.exe", NULL,
                       "Error, couldn't launch program ([Error 2] "},
        launch_failure{"a_program_that_is_no_image", L"bin\\program.exe", "just text",
                       "Error, couldn't launch program ([Error 193] "}),
    [](const testing::TestParamInfo<launch_failure> &info) { return info.param.name; });

/* The splash ends once the program's first window waits for input: while
** the program has started but shows nothing yet, the splash stays. */
TEST_F(Program, a_gui_programs_first_window_ends_the_splash)
{
    pack_window_app(true);
    std::wstring report = folder + L"\\report.txt";
    std::wstring hold = folder + L"\\hold.txt";
    process_options run = packed();
    run.environment[L"WINDOW_APP_REPORT"] = report;
    run.environment[L"WINDOW_APP_HOLD"] = hold;
    run.environment[L"WINDOW_APP_WINDOW"] = L"1";
    run.environment[L"WINDOW_APP_EXIT"] = L"5";
    running_process started = start_process(run);
    ASSERT_TRUE(wait_for_file(report, start_timeout_ms));
    std::wstring feedback = feedback_file(started.id);
    /* Room for a launcher that ends it too early to be seen doing so. */
    Sleep(500);
    EXPECT_TRUE(path_exists(feedback)) << "ended before the program's window was up";

    write_file(hold, "");
    HWND window = NULL;
    DWORD program_id = std::stoul(read_report(report)["pid"]);
    EXPECT_EQ(wait_for_child_named(started.id, L"window_app.exe", start_timeout_ms), program_id)
        << "the program is the executable's own child, with no copy between them";
    EXPECT_TRUE(wait_until(
        [&] {
            window = FindWindowW(L"OnefileWindowApp", NULL);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            return window != NULL && owner == program_id;
        },
        start_timeout_ms));
    EXPECT_TRUE(wait_until([&] { return !path_exists(feedback); }, start_timeout_ms));
    EXPECT_TRUE(process_is_running(program_id)) << "ended by the window, not by the program's end";
    PostMessageW(window, WM_CLOSE, 0, 0);
    process_result result = finish_process(started, start_timeout_ms);
    EXPECT_EQ(result.exit_code, 5u);
    EXPECT_TRUE(list_folder(temp).empty());
}

/* A console program is ready as soon as it runs: the splash ends while it
** still waits for its input. */
TEST_F(Program, a_console_program_ends_the_splash_as_soon_as_it_has_started)
{
    DWORD program_id = 0;
    running_process started = start_zstd_waiting_for_input(program_id);
    ASSERT_NE(program_id, 0u);
    EXPECT_TRUE(wait_until([&] { return !path_exists(feedback_file(started.id)); },
                           start_timeout_ms));
    EXPECT_TRUE(process_is_running(program_id)) << "zstd still waits for its input";
    DWORD written = 0;
    WriteFile(started.input, "text\n", 5, &written, NULL);
    process_result result = finish_process(started, start_timeout_ms);
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out.substr(0, 4), "\x28\xb5\x2f\xfd");
    EXPECT_TRUE(list_folder(temp).empty());
}

/* Under Wine the event reaches the bootstrap alone (see console_control_test):
** it gives its child, the program, 5 seconds and then ends it. On Windows
** every process in the console gets the event, and the program chooses
** what it does with it (real_console_test shows that part). */
TEST_F(Program, a_ctrl_c_that_ends_the_executable_ends_the_program_and_leaves_nothing)
{
    executable = folder + L"\\interrupted.exe";
    DWORD program_id = 0;
    running_process started = start_zstd_waiting_for_input(program_id);
    ASSERT_NE(program_id, 0u);
    interrupt_windows_program(folder, executable);
    /* zstd waits for input that never comes: only the bootstrap ends it. */
    EXPECT_EQ(WaitForSingleObject(started.process, 60000), WAIT_OBJECT_0);
    EXPECT_FALSE(process_is_running(program_id)) << "the program outlived the executable";
    finish_process(started, start_timeout_ms);
    EXPECT_TRUE(list_folder(temp).empty());
}

} // namespace
