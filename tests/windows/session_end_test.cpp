/*
** The end of the session, as a GUI process receives it: window messages
** (WM_QUERYENDSESSION, then WM_ENDSESSION) to its top-level windows, which
** `wineboot --end-session` sends as Windows does at logoff and shutdown. No
** console event reaches a GUI process then, on Windows or under Wine.
**
** wineboot messages every top-level window of the desktop, so this test never
** runs beside another.
*/
#include <gtest/gtest.h>

#include "attached_data_builder.h"
#include "patch_in_place.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

/* Waits until the bootstrap has made the window that hears the end of the
** session: without a splash, once it has run 100 ms. A session that ends
** before finds no window of it, and the system ends it. */
void wait_for_session_window(DWORD bootstrap)
{
    for (int i = 0; i < 1000 && window_of(bootstrap, "OnefileSession") == NULL; i++)
        Sleep(10);
    ASSERT_NE(window_of(bootstrap, "OnefileSession"), (HWND)NULL) << "no session window";
}

/* Runs wineboot --end-session, as the system ends the session; returns how
** long it waited for the programs to answer. */
DWORD end_the_session()
{
    process_options end_session;
    end_session.command_line = L"wineboot.exe --end-session";
    DWORD sent = GetTickCount();
    run_process(end_session);
    return GetTickCount() - sent;
}

TEST(SessionEnd, ends_the_application_and_removes_the_unpack_directory_before_the_system_ends_the_process)
{
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    std::wstring executable = folder + L"\\app.exe";
    std::wstring report_path = folder + L"\\report.txt";
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"data\\value.txt", "42"}}));
    process_options run;
    run.command_line = quote_argument(executable);
    use_temp_folder(run, temp);
    run.environment[L"PROBE_REPORT"] = report_path;
    /* An application that neither ends nor listens: it must be ended. */
    run.environment[L"PROBE_WAIT_FOREVER"] = L"1";
    running_process started = start_process(run);
    std::map<std::string, std::string> report;
    for (int i = 0; i < 3000 && !report.count("pid"); i++) {
        Sleep(10);
        report = read_report(report_path);
    }
    ASSERT_TRUE(report.count("pid")) << "the application did not start";
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)std::stoul(report["pid"]));
    ASSERT_NE(child, (HANDLE)NULL);
    wait_for_session_window(started.id);

    DWORD took = end_the_session();
    process_result result = finish_process(started, 10000);

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(WaitForSingleObject(child, 5000), (DWORD)WAIT_OBJECT_0) << "the application was ended";
    CloseHandle(child);
    EXPECT_TRUE(list_folder(temp).empty()) << "nothing left in TEMP";
    /* Windows ends the process about 5 s after WM_ENDSESSION; Wine waits for
    ** the answer however long it takes. The child's 2 s of grace leave the
    ** removal its turn within Windows' limit; 5 s, as after Ctrl+C, would not. */
    EXPECT_LT(took, 4500u) << "the clean-up must fit in the time Windows gives";
}

TEST(SessionEnd, during_extraction_removes_what_was_written_and_starts_no_child)
{
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    std::wstring executable = folder + L"\\app.exe";
    file_entries entries = {{L"probe_app.dll", probe_library()}};
    for (int i = 0; i < 20000; i++)
        entries.push_back({L"f\\" + std::to_wstring(i % 50) + L"\\" + std::to_wstring(i), "x"});
    write_patched_bootstrap(executable, make_object(entries));
    process_options run;
    run.command_line = quote_argument(executable);
    use_temp_folder(run, temp);
    run.environment[L"PROBE_READY"] = folder + L"\\ready.txt";
    running_process started = start_process(run);
    for (int i = 0; i < 3000 && list_folder(temp).empty(); i++)
        Sleep(1);
    ASSERT_FALSE(list_folder(temp).empty()) << "extraction did not begin";
    wait_for_session_window(started.id);

    /* The bootstrap answers between the files it writes. */
    end_the_session();
    process_result result = finish_process(started, 60000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_FALSE(path_exists(folder + L"\\ready.txt")) << "no child may start once clean-up has begun";
    EXPECT_TRUE(list_folder(temp).empty());
}

/* An application with a window that takes a second to save when the
** session ends: a library, or a program behind the launcher. Per run the
** application runs in the bootstrap's child; cached, without a splash, in
** the bootstrap's own process, which then keeps no window of its own.
**
** Measured under Wine 8: wineboot asks one process after the other,
** WM_QUERYENDSESSION and then WM_ENDSESSION to each, and comes to the
** bootstrap before its child whatever shutdown level either has; only once
** every window has answered does it end the processes. The bootstrap then
** passes the end of the session on to the application's windows itself.
** Windows goes by the shutdown level: the bootstrap, at the last level that
** applications may take, is reached after the application, which the system
** has ended by then; the application gets the same two messages from the
** system alone, and the log is the same. */
class SessionEndOfApplication : public testing::TestWithParam<std::tuple<const char *, const char *>> {};

TEST_P(SessionEndOfApplication, gets_its_own_messages_and_saves_before_it_is_ended)
{
    std::wstring kind = utf16(std::get<0>(GetParam())), mode = utf16(std::get<1>(GetParam()));
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    std::wstring executable = folder + L"\\app.exe";
    std::wstring log = folder + L"\\log.txt";
    std::wstring apps = ONEFILE_TEST_APPS_DIR;
    if (kind == L"library") {
        write_patched_bootstrap(executable, make_object({{L"session_app.dll", read_file(apps + L"\\session_app.dll")}}));
    } else {
        write_patched_bootstrap(executable, make_object({{L"onefile-launcher.dll", read_file(ONEFILE_TEST_LAUNCHER)},
                                                         {L"session_app.exe", read_file(apps + L"\\session_app.exe")}}));
        std::wstring program = L"session_app.exe";
        set_rcdata_resource(executable, 29, std::string((const char *)program.data(), program.size() * 2));
    }
    if (mode == L"cached")
        ASSERT_TRUE(patch_unpack_template(executable, L"{TEMP}\\cache\\0123456789abcdef"));
    process_options run;
    run.command_line = quote_argument(executable);
    use_temp_folder(run, temp);
    run.environment[L"SESSION_APP_LOG"] = log;
    running_process started = start_process(run);
    for (int i = 0; i < 3000 && read_file(log).empty(); i++)
        Sleep(10);
    ASSERT_EQ(read_file(log), "window\n") << "the application did not start";
    /* A library that runs in the bootstrap's own process leaves it no window. */
    if (kind == L"program" || mode == L"run")
        wait_for_session_window(started.id);

    end_the_session();
    process_result result = finish_process(started, 10000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(read_file(log), "window\nquery\nend 1\nsaved\n");
    if (mode == L"run")
        EXPECT_TRUE(list_folder(temp).empty()) << "nothing left in TEMP";
}

INSTANTIATE_TEST_SUITE_P(KindAndMode, SessionEndOfApplication,
                         testing::Combine(testing::Values("library", "program"), testing::Values("run", "cached")),
                         [](const testing::TestParamInfo<SessionEndOfApplication::ParamType> &info) {
                             return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

} // namespace
