/*
** A splash window that cannot be created ends the start, with one line,
** whatever the start has done meanwhile on its main thread: what it wrote
** goes, and the application, held here, is ended. Wine cannot
** create windows without an X display, and the programs a test starts take
** the display from the test's own Unix environment, not from the
** environment block: so this test has a ctest entry that runs it without
** DISPLAY.
*/
#include <gtest/gtest.h>

#include <algorithm>

#include "run_process.h"
#include "splash_probes.h"

namespace {

TEST(SplashFailure, a_splash_window_that_cannot_be_created_ends_the_start_and_leaves_nothing_behind)
{
    ASSERT_EQ(GetEnvironmentVariableW(L"DISPLAY", NULL, 0), 0u) << "must run without DISPLAY";
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    process_options options = fresh_run(packed(L"example"), temp);
    options.environment[L"PROBE_HOLD"] = folder + L"\\never";
    options.environment[L"PROBE_EXIT"] = L"5";

    process_result result = run_process(options);
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err.rfind("Error, couldn't create the splash window ([Error ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(list_folder(temp), std::vector<std::wstring>())
        << "neither an unpack directory nor a feedback file";
}

} // namespace
