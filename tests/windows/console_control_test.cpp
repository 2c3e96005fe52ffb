/*
** Console control events: the fresh start removes the unpack directory when
** Ctrl+C arrives while it unpacks and while the child runs, gives the child
** time to end on its own, and ends a child that ignores the event.
**
** Wine turns SIGINT to the Unix process that runs a Windows program into
** CTRL_C_EVENT for that program alone, so the event reaches the bootstrap
** but not its child, which a real console would also interrupt.
**
** These tests meet Wine, not Windows. On Windows the bootstrap is a GUI
** program without a console: Ctrl+C, Ctrl+Break and closing a console never
** reach it, and the end of the session arrives as window messages instead
** (session_end_test.cpp). There the same clean-up runs when the session
** ends; a console program receives these events in a real console.
*/
#include <gtest/gtest.h>

#include "attached_data_builder.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

class ConsoleControl : public in_scratch_folder<> {
protected:
    void SetUp() override
    {
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        executable = folder + L"\\" + utf16(test->name()) + L".exe";
        ready = folder + L"\\ready.txt";
        done = folder + L"\\done.txt";
    }

    process_options options()
    {
        process_options run;
        run.command_line = quote_argument(executable);
        run.current_directory = folder;
        use_temp_folder(run, temp);
        run.environment[L"PROBE_READY"] = ready;
        run.environment[L"PROBE_DONE"] = done;
        return run;
    }

    void interrupt_bootstrap() { interrupt_windows_program(folder, executable); }

    std::wstring ready, done;
};

/* Windows: no event reaches the GUI bootstrap; the application, if it has a
** console, ends on its own and the bootstrap cleans up as at any normal end. */
TEST_F(ConsoleControl, a_child_that_ends_within_its_grace_time_is_not_terminated)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()}}));
    process_options run = options();
    run.environment[L"PROBE_SLEEP_MS"] = L"1500";
    running_process started = start_process(run);
    ASSERT_TRUE(wait_for_file(ready, 30000));
    interrupt_bootstrap();
    process_result result = finish_process(started, 30000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_TRUE(path_exists(done)) << "the child ran to its end";
    EXPECT_TRUE(list_folder(temp).empty());
}

/* Windows: the GUI bootstrap never hears Ctrl+C; the 5 s grace holds where
** a console variant of the bootstrap receives it. */
TEST_F(ConsoleControl, a_child_that_ignores_the_event_is_ended_after_its_grace_time)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()}}));
    process_options run = options();
    run.environment[L"PROBE_WAIT_FOREVER"] = L"1";
    running_process started = start_process(run);
    ASSERT_TRUE(wait_for_file(ready, 30000));
    DWORD sent = GetTickCount();
    interrupt_bootstrap();
    process_result result = finish_process(started, 30000);
    DWORD took = GetTickCount() - sent;
    EXPECT_FALSE(result.timed_out);
    EXPECT_GE(took, 4500u) << "the child gets 5000 ms before it is ended";
    EXPECT_FALSE(path_exists(done));
    EXPECT_TRUE(list_folder(temp).empty()) << "removed once the child is gone";
}

/* Windows: the GUI bootstrap meets this case at the end of the session,
** whose window messages it handles between the files it writes. */
TEST_F(ConsoleControl, an_event_during_extraction_removes_what_was_written_and_starts_no_child)
{
    file_entries entries = {{L"probe_app.dll", probe_library()}};
    for (int i = 0; i < 20000; i++)
        entries.push_back({L"f\\" + std::to_wstring(i % 50) + L"\\" + std::to_wstring(i), "x"});
    write_patched_bootstrap(executable, make_object(entries));
    running_process started = start_process(options());
    for (int i = 0; i < 3000 && list_folder(temp).empty(); i++)
        Sleep(1);
    ASSERT_FALSE(list_folder(temp).empty()) << "extraction did not begin";
    interrupt_bootstrap();
    process_result result = finish_process(started, 120000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_FALSE(path_exists(ready)) << "no child may start once clean-up has begun";
    EXPECT_TRUE(list_folder(temp).empty());
}

} // namespace
