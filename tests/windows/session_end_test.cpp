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
#include "run_process.h"

namespace {

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

    process_options end_session;
    end_session.command_line = L"wineboot.exe --end-session";
    DWORD sent = GetTickCount();
    run_process(end_session);
    DWORD took = GetTickCount() - sent;
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

} // namespace
