/*
** Behaviour that spans or ends processes: values handed to a child through
** the environment, abort() on values that cannot fit, the fatal report, the
** role decision against live, dead and foreign processes, and the refusal
** of anything found at the unpack directory's path.
*/
#include <gtest/gtest.h>

#include <algorithm>

#include "run_process.h"

namespace {

const std::wstring probe = std::wstring(ONEFILE_TEST_BINARY_DIR) + L"\\path_probe.exe";

/* The probe's runtime ends abort() with status 3. */
const DWORD abort_status = 3;

process_options probe_run(const std::wstring &arguments)
{
    process_options options;
    options.command_line = quote_argument(probe) + L" " + arguments;
    as_fresh_start(options, L"");
    return options;
}

TEST(SharedValues, a_child_expands_the_unpack_template_to_the_parents_path)
{
    process_result result =
        run_process(probe_run(L"expand-in-child \"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}\""));
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    size_t line_end = result.out.find('\n');
    ASSERT_NE(line_end, std::string::npos) << result.out;
    std::string parent_line = result.out.substr(0, line_end + 1);
    EXPECT_EQ(parent_line.rfind("true|", 0), 0u) << result.out;
    EXPECT_EQ(result.out, parent_line + parent_line) << "the child must see the same values";
}

TEST(SharedValues, values_that_do_not_fit_or_are_not_digits_end_the_process)
{
    process_options options = probe_run(L"expand 5 {PID}");
    options.environment[L"QALVEN_ONEFILE_PARENT"] = L"123456";
    process_result too_long = run_process(options);
    EXPECT_EQ(too_long.exit_code, abort_status);
    EXPECT_EQ(too_long.out.find("true"), std::string::npos);
    /* The runtime's abort may add its own words after ours. */
    EXPECT_EQ(too_long.err.rfind("Error, an expanded path does not fit its buffer.\r\n", 0), 0u) << too_long.err;

    options = probe_run(L"expand 100 {PID}");
    options.environment[L"QALVEN_ONEFILE_PARENT"] = L"12a";
    process_result not_digits = run_process(options);
    EXPECT_EQ(not_digits.exit_code, 2u);
    EXPECT_EQ(not_digits.out, "Error, QALVEN_ONEFILE_PARENT is not a process id.\r\n");

    options = probe_run(L"expand 100 x{PID}");
    options.environment[L"QALVEN_ONEFILE_PARENT"] = L"77";
    process_result fits = run_process(options);
    EXPECT_EQ(fits.exit_code, 0u);
    EXPECT_EQ(fits.out, "true|x77\r\n");
}

TEST(FatalSystemError, reports_the_english_text_without_line_ends_on_standard_error)
{
    process_result known = run_process(probe_run(L"fatal-system 2"));
    EXPECT_EQ(known.exit_code, 2u);
    EXPECT_EQ(known.out, "");
    EXPECT_EQ(known.err, "Error, couldn't launch child ([Error 2] File not found.)\r\n")
        << "Wine's text for error 2; Windows says 'The system cannot find the file specified.'";

    process_result unknown = run_process(probe_run(L"fatal-system 536870913"));
    EXPECT_EQ(unknown.exit_code, 2u);
    EXPECT_EQ(unknown.err, "Error, couldn't launch child ([Error 536870913] unknown error)\r\n");
}

/* Wine refuses no image by policy and knows none of these codes' texts, so
** the mapping is tried directly. On Windows the same lines come from
** LoadLibraryExW and CreateProcessW when AppLocker or a software
** restriction policy (1260, 786), WDAC or Smart App Control (577, 4551 and
** the other code integrity codes; 4556 to 4559 and 4580 to 4582 for Smart
** App Control's reputation check) or Defender (225, 226) refuses the file,
** with Windows' own text in place of "unknown error". */
TEST(FatalSystemError, a_refused_image_is_named_with_what_may_help_and_other_failures_keep_their_line)
{
    const std::pair<const char *, const char *> refusals[] = {
        {"1260", "blocked by this computer's application control policy"},
        {"786", "blocked by this computer's application control policy"},
        {"577", "blocked by this computer's application control policy"},
        {"4550", "blocked by this computer's application control policy"},
        {"4551", "blocked by this computer's application control policy"},
        {"4555", "blocked by this computer's application control policy"},
        {"4556", "blocked by Smart App Control"},
        {"4559", "blocked by Smart App Control"},
        {"4582", "blocked by Smart App Control"},
        {"225", "refused by this computer's virus scanner"},
        {"226", "refused by this computer's virus scanner"},
    };
    for (const auto &[code, cause] : refusals) {
        process_result result = run_process(probe_run(utf16(std::string("fatal-start ") + code + " C:\\unpack\\app.dll")));
        EXPECT_EQ(result.exit_code, 2u) << code;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind(std::string("Error, 'C:\\unpack\\app.dll' was ") + cause, 0), 0u) << result.err;
        EXPECT_NE(result.err.find(std::string(" ([Error ") + code + "] "), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    }
    for (const char *code : {"2", "5", "193", "1259", "4549", "4560", "4583"}) {
        process_result result = run_process(probe_run(utf16(std::string("fatal-start ") + code + " C:\\app.dll")));
        EXPECT_EQ(result.exit_code, 2u) << code;
        EXPECT_EQ(result.err.rfind(std::string("Error, couldn't launch program ([Error ") + code + "] ", 0), 0u)
            << result.err;
    }
}

class RoleDecision : public testing::Test {
protected:
    void TearDown() override
    {
        if (sleeper.process != NULL) {
            TerminateProcess(sleeper.process, 0);
            finish_process(sleeper, 10000);
        }
    }

    std::string role_with_parent(const std::wstring &parent)
    {
        process_options options = probe_run(L"role");
        options.environment[L"QALVEN_ONEFILE_PARENT"] = parent;
        process_result result = run_process(options);
        EXPECT_EQ(result.exit_code, 0u);
        return result.out;
    }

    running_process sleeper;
};

TEST_F(RoleDecision, a_live_process_of_the_same_executable_makes_a_relaunched_copy)
{
    sleeper = start_process(probe_run(L"sleep"));
    ASSERT_NE(sleeper.process, nullptr);
    EXPECT_EQ(role_with_parent(std::to_wstring(sleeper.id)), "relaunched\r\n");
}

TEST_F(RoleDecision, the_same_executable_reached_through_a_short_directory_name_counts)
{
    wchar_t short_probe[MAX_PATH];
    ASSERT_NE(GetShortPathNameW(probe.c_str(), short_probe, MAX_PATH), 0u);
    process_options options = probe_run(L"sleep");
    options.application = short_probe;
    options.command_line = quote_argument(short_probe) + L" sleep";
    sleeper = start_process(options);
    ASSERT_NE(sleeper.process, nullptr);
    EXPECT_EQ(role_with_parent(std::to_wstring(sleeper.id)), "relaunched\r\n");
}

TEST_F(RoleDecision, foreign_dead_and_malformed_parents_mean_a_fresh_start)
{
    EXPECT_EQ(role_with_parent(std::to_wstring(GetCurrentProcessId())), "fresh\r\n")
        << "a live process of another executable";

    running_process ended = start_process(probe_run(L"role"));
    DWORD ended_id = ended.id;
    finish_process(ended, 10000);
    EXPECT_EQ(role_with_parent(std::to_wstring(ended_id)), "fresh\r\n") << "a dead id";

    sleeper = start_process(probe_run(L"sleep"));
    std::wstring live = std::to_wstring(sleeper.id);
    EXPECT_EQ(role_with_parent(live + L"x"), "fresh\r\n");
    EXPECT_EQ(role_with_parent(L" "), "fresh\r\n");
    EXPECT_EQ(role_with_parent(L"99999999999"), "fresh\r\n") << "beyond 32 bits";
    EXPECT_EQ(role_with_parent(L""), "fresh\r\n");
}

TEST(UnpackDirectory, is_created_new_and_never_taken_over_from_a_folder_a_file_or_a_link)
{
    std::wstring folder = test_scratch_folder();
    std::wstring fresh = folder + L"\\new\\onefile_1_000001_aaaaaaaaaaa";
    process_result created = run_process(probe_run(L"create-unpack " + quote_argument(fresh)));
    EXPECT_EQ(created.out, "created\r\n") << created.err;
    EXPECT_TRUE(is_directory(fresh)) << "with its missing ancestors";

    std::wstring existing = folder + L"\\existing";
    CreateDirectoryW(existing.c_str(), NULL);
    write_file(existing + L"\\planted.dll", "planted");
    std::wstring file = folder + L"\\file";
    write_file(file, "a file");
    /* A link to a folder outside, made on the Unix side. */
    std::wstring target = folder + L"\\target";
    CreateDirectoryW(target.c_str(), NULL);
    std::string unix_folder = utf8(folder.substr(2));
    std::replace(unix_folder.begin(), unix_folder.end(), '\\', '/');
    process_options make_link;
    make_link.command_line = L"Z:\\bin\\sh -c \"ln -s '" + utf16(unix_folder) + L"/target' '"
                           + utf16(unix_folder) + L"/link'\"";
    run_process(make_link);
    std::wstring link = folder + L"\\link";
    ASSERT_TRUE(wait_for_file(link, 10000));

    for (const std::wstring &taken : {existing, file, link}) {
        SCOPED_TRACE(utf8(taken));
        process_result refused = run_process(probe_run(L"create-unpack " + quote_argument(taken)));
        EXPECT_EQ(refused.exit_code, 2u);
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, "Error, '" + utf8(taken) + "' exists already; an unpack directory is never reused.\r\n");
    }
    EXPECT_EQ(list_folder(existing), std::vector<std::wstring>{L"planted.dll"});
    EXPECT_EQ(read_file(file), "a file");
    EXPECT_TRUE(list_folder(target).empty());

    make_link.command_line = L"Z:\\bin\\sh -c \"rm -f '" + utf16(unix_folder) + L"/link'\"";
    run_process(make_link);
    for (int i = 0; i < 500 && path_exists(link); i++)
        Sleep(10);
}

} // namespace
