/*
** Behaviour that spans or ends processes: values handed to a child through
** the environment, abort() on values that cannot fit, the fatal report, and
** the role decision against live, dead and foreign processes.
*/
#include <gtest/gtest.h>

#include "run_process.h"

namespace {

const std::wstring probe = std::wstring(ONEFILE_TEST_BINARY_DIR) + L"\\path_probe.exe";

/* The probe's runtime ends abort() with status 3. */
const DWORD abort_status = 3;

process_options probe_run(const std::wstring &arguments)
{
    process_options options;
    options.command_line = quote_argument(probe) + L" " + arguments;
    for (const wchar_t *name : {L"QALVEN_ONEFILE_PARENT", L"QALVEN_ONEFILE_RANDOM",
                                L"QALVEN_ONEFILE_TIME_US", L"QALVEN_ONEFILE_START"})
        options.environment[name] = std::nullopt;
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

    options = probe_run(L"expand 100 {PID}");
    options.environment[L"QALVEN_ONEFILE_PARENT"] = L"12a";
    EXPECT_EQ(run_process(options).exit_code, abort_status);

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

} // namespace
