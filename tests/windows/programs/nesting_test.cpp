/*
** Packed executables that start packed executables, as an application
** starts a helper that was packed too, or starts itself again. The outer
** and the inner are each a program or an application library, packed per
** run or cached: every pair must run the inner application, on the first
** start (nothing cached yet) and on the second, and leave no per-run folder
** behind.
*/
#include <gtest/gtest.h>

#include "run_process.h"

namespace {

/* What the spawner returns when it has nothing to start. */
const DWORD INNER_STATUS = 42;

const char *const packed_kinds[] = {"program-run", "program-cached", "library-run", "library-cached"};

std::wstring nested_executable(const char *kind)
{
    return std::wstring(ONEFILE_PROGRAMS_DIR) + L"\\nested-" + utf16(kind) + L".exe";
}

class Nesting : public testing::TestWithParam<std::tuple<const char *, const char *>> {};

TEST_P(Nesting, runs_the_inner_application_on_the_first_and_the_second_start)
{
    std::wstring temp = test_scratch_folder() + L"\\temp";
    process_options run;
    run.command_line = quote_argument(nested_executable(std::get<0>(GetParam()))) + L" "
                     + quote_argument(nested_executable(std::get<1>(GetParam())));
    as_fresh_start(run, temp);
    for (int start = 1; start <= 2; start++) {
        process_result result = run_process(run);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, INNER_STATUS) << "start " << start << ": " << result.out << result.err;
        /* The cached folders and their locks stay; nothing else. */
        for (const std::wstring &name : list_folder(temp))
            EXPECT_EQ(name.rfind(L"spawner-", 0), 0u) << "start " << start << " left " << utf8(name);
    }
}

INSTANTIATE_TEST_SUITE_P(OuterInner, Nesting,
                         testing::Combine(testing::ValuesIn(packed_kinds), testing::ValuesIn(packed_kinds)),
                         [](const testing::TestParamInfo<Nesting::ParamType> &info) {
                             std::string name = std::string(std::get<0>(info.param)) + "_starts_"
                                              + std::get<1>(info.param);
                             for (char &c : name)
                                 c = c == '-' ? '_' : c;
                             return name;
                         });

} // namespace
