/*
** Faults from outside the bootstrap: a file held open in the unpack
** directory while it is filled, a TEMP that cannot be written, the child or
** the parent killed by another process, the executable held while the child
** starts, and many fresh starts at once. Every bootstrap runs with a
** disposable current folder of its own.
*/
#include <gtest/gtest.h>

#include <cstdlib>

#include <set>

#include "attached_data_builder.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

class RobustFault : public in_scratch_folder<> {
protected:
    void SetUp() override
    {
        cwd = folder + L"\\cwd";
        hold = folder + L"\\hold.txt";
        CreateDirectoryW(cwd.c_str(), NULL);
    }

    /* Whatever a failed check left running must not outlive the test: held
    ** applications are let go, the rest is ended. */
    void TearDown() override
    {
        write_file(hold, "");
        for (HANDLE process : started_here) {
            if (WaitForSingleObject(process, 2000) == WAIT_TIMEOUT) {
                for (DWORD child : child_process_ids(GetProcessId(process)))
                    terminate_process_id(child, 0xDEAD);
                TerminateProcess(process, 0xDEAD);
                WaitForSingleObject(process, 10000);
            }
            CloseHandle(process);
        }
    }

    process_options options()
    {
        process_options run;
        run.command_line = quote_argument(executable);
        run.current_directory = cwd;
        as_fresh_start(run, temp);
        return run;
    }

    running_process start(const process_options &run)
    {
        running_process started = start_process(run);
        remember(started.id);
        return started;
    }

    /* A handle of our own, so that the process is ended at the end of the
    ** test if it still runs, and never another one of the same id. */
    HANDLE remember(DWORD id)
    {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                     FALSE, id);
        if (process != NULL)
            started_here.push_back(process);
        return process;
    }

    /* Waits for the probe's report and reads it. The report appears by a
    ** rename, and for a moment the renaming handle, open for deletion, still
    ** keeps others from reading it: read until the report is whole. */
    std::map<std::string, std::string> wait_for_report(const std::wstring &path)
    {
        for (DWORD waited = 0; waited < 60000; waited += 20) {
            std::map<std::string, std::string> report = read_report(path);
            if (report.count("pid"))
                return report;
            Sleep(20);
        }
        ADD_FAILURE() << "no report from the application";
        return {};
    }

    /* The unpack directory that a report's library path lies in, or empty. */
    std::wstring unpack_directory_of(const std::map<std::string, std::string> &report)
    {
        std::wstring library = utf16(report.count("library") ? report.at("library") : "");
        std::wstring prefix = temp + L"\\onefile_";
        if (library.compare(0, prefix.size(), prefix) != 0)
            return std::wstring();
        return library.substr(0, library.rfind(L'\\'));
    }

    /* Removes what the bootstrap left by design; only ever below our TEMP. */
    void remove_unpack_directory(const std::wstring &unpack)
    {
        if (unpack.compare(0, temp.size() + 1, temp + L"\\") == 0)
            remove_tree(unpack);
    }

    /* Names in the test's folder besides the executable and the folders it
    ** hands to the bootstrap, and anything in the current folder. */
    std::vector<std::wstring> written_elsewhere(const std::set<std::wstring> &expected)
    {
        std::vector<std::wstring> stray;
        for (const std::wstring &name : list_folder(folder))
            if (name != L"app.exe" && name != L"temp" && name != L"cwd" && !expected.count(name))
                stray.push_back(name);
        for (const std::wstring &name : list_folder(cwd))
            stray.push_back(L"cwd\\" + name);
        return stray;
    }

    std::wstring cwd, hold;
    std::vector<HANDLE> started_here;
};

TEST_F(RobustFault, a_file_held_open_in_the_unpack_directory_stops_the_run_with_the_open_message_and_removes_the_rest)
{
    /* Enough files before the last one that the test can take its name
    ** once the unpack directory appears. */
    file_entries entries = {{L"probe_app.dll", probe_library()}};
    const int bulk = 300;
    for (int i = 0; i < bulk; i++)
        entries.push_back({L"bulk\\" + std::to_wstring(i), "x"});
    entries.push_back({L"late\\held.txt", "from the attached data"});
    write_patched_bootstrap(executable, make_object(entries));

    running_process started = start(options());
    std::vector<std::wstring> appeared;
    for (int i = 0; i < 30000 && appeared.empty(); i++) {
        appeared = list_folder(temp);
        if (appeared.empty())
            Sleep(1);
    }
    ASSERT_EQ(appeared.size(), 1u) << "no unpack directory appeared";
    std::wstring unpack = temp + L"\\" + appeared[0];
    CreateDirectoryW((unpack + L"\\late").c_str(), NULL);
    HANDLE holder = CreateFileW((unpack + L"\\late\\held.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (holder == INVALID_HANDLE_VALUE) {
        finish_process(started, 60000);
        remove_unpack_directory(unpack);
        GTEST_SKIP() << "the bootstrap wrote the file before the test could hold it";
    }
    DWORD written = 0;
    WriteFile(holder, "held", 4, &written, NULL);
    process_result result = finish_process(started, 60000);
    CloseHandle(holder);

    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, failed to open '" + utf8(unpack) + "\\late\\held.txt' for writing.\r\n");
    EXPECT_EQ(read_file(unpack + L"\\late\\held.txt"), "held") << "the held file is left alone";
    EXPECT_EQ(list_files(unpack), std::vector<std::wstring>{L"late\\held.txt"})
        << "every file the start wrote is removed; only the held one cannot be";
    EXPECT_EQ(list_folder(temp), std::vector<std::wstring>{appeared[0]});
    EXPECT_EQ(written_elsewhere({}), std::vector<std::wstring>());
    remove_unpack_directory(unpack);
}

TEST_F(RobustFault, a_temp_folder_that_cannot_be_created_stops_the_run_with_the_open_message)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"data\\value.txt", "42"}}));
    std::wstring blocker = folder + L"\\blocker.txt";
    write_file(blocker, "a plain file");

    std::vector<std::pair<const char *, std::wstring>> unusable = {
        {"below a plain file", blocker + L"\\temp"}};
    DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'P'; letter <= L'Y'; letter++) {
        if (!(drives & (1u << (letter - L'A')))) {
            unusable.push_back({"on a drive that does not exist", std::wstring(1, letter) + L":\\temp"});
            break;
        }
    }
    for (const auto &place : unusable) {
        SCOPED_TRACE(place.first);
        process_options run = options();
        use_temp_folder(run, place.second);
        run.environment[L"PROBE_REPORT"] = folder + L"\\report.txt";
        process_result result = run_process(run);
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, "");
        std::string prefix = "Error, failed to open '" + utf8(place.second) + "\\onefile_";
        std::string suffix = "\\probe_app.dll' for writing.\r\n";
        EXPECT_EQ(result.err.compare(0, prefix.size(), prefix), 0) << result.err;
        EXPECT_TRUE(result.err.size() > suffix.size()
                    && result.err.compare(result.err.size() - suffix.size(), suffix.size(), suffix) == 0)
            << result.err;
        EXPECT_EQ(read_file(blocker), "a plain file");
        EXPECT_EQ(written_elsewhere({L"blocker.txt"}), std::vector<std::wstring>());
        EXPECT_TRUE(list_folder(temp).empty());
    }
}

TEST_F(RobustFault, a_child_killed_from_outside_has_its_status_handed_on_and_its_directory_removed)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"data\\value.txt", "42"}}));
    process_options run = options();
    std::wstring report_path = folder + L"\\report.txt";
    run.environment[L"PROBE_REPORT"] = report_path;
    run.environment[L"PROBE_WAIT_FOREVER"] = L"1";
    running_process started = start(run);
    std::map<std::string, std::string> report = wait_for_report(report_path);
    std::wstring unpack = unpack_directory_of(report);
    std::vector<DWORD> children = child_process_ids(started.id);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(std::to_string(children[0]), report["pid"]) << "the application runs in the child";
    ASSERT_TRUE(is_directory(unpack));

    const UINT killer_status = 0xC0DE;
    ASSERT_TRUE(terminate_process_id(children[0], killer_status));
    process_result result = finish_process(started, 30000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, killer_status);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_FALSE(path_exists(unpack));
    EXPECT_TRUE(list_folder(temp).empty());
    EXPECT_EQ(written_elsewhere({L"report.txt"}), std::vector<std::wstring>());
}

TEST_F(RobustFault, a_parent_killed_from_outside_takes_the_application_along_and_the_next_start_sweeps_its_directory)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"data\\value.txt", "42"}}));
    /* A run that lives throughout: its directory must never be touched. */
    process_options live_run = options();
    std::wstring live_report = folder + L"\\live.txt";
    live_run.environment[L"PROBE_REPORT"] = live_report;
    live_run.environment[L"PROBE_HOLD"] = hold;
    live_run.environment[L"PROBE_EXIT"] = L"7";
    running_process live = start(live_run);
    std::wstring live_unpack = unpack_directory_of(wait_for_report(live_report));
    ASSERT_FALSE(live_unpack.empty());

    /* The run to be killed; its application starts a program of its own. */
    process_options run = options();
    std::wstring report_path = folder + L"\\report.txt";
    run.environment[L"PROBE_REPORT"] = report_path;
    run.environment[L"PROBE_WAIT_FOREVER"] = L"1";
    run.environment[L"PROBE_SPAWN"] = quote_argument(std::wstring(ONEFILE_TEST_BINARY_DIR) + L"\\path_probe.exe")
                                    + L" sleep";
    running_process started = start(run);
    std::map<std::string, std::string> report = wait_for_report(report_path);
    std::wstring unpack = unpack_directory_of(report);
    ASSERT_FALSE(unpack.empty());
    HANDLE child = remember((DWORD)std::stoul("0" + report["pid"]));
    HANDLE spawned = remember((DWORD)std::stoul("0" + report["spawned"]));
    ASSERT_NE(child, (HANDLE)NULL);
    ASSERT_NE(spawned, (HANDLE)NULL);

    ASSERT_TRUE(TerminateProcess(started.process, 1));
    EXPECT_EQ(finish_process(started, 10000).exit_code, 1u);
    EXPECT_EQ(WaitForSingleObject(child, 10000), (DWORD)WAIT_OBJECT_0) << "the application ends with it";
    EXPECT_EQ(WaitForSingleObject(spawned, 0), (DWORD)WAIT_TIMEOUT)
        << "what the application started itself breaks away and lives on";
    EXPECT_TRUE(is_directory(unpack)) << "nothing could remove it yet";

    /* The next fresh start in the same TEMP removes what the killed one left. */
    process_options next = options();
    next.environment[L"PROBE_REPORT"] = folder + L"\\next.txt";
    process_result result = run_process(next);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_FALSE(path_exists(unpack)) << "swept";
    EXPECT_EQ(list_files(live_unpack), (std::vector<std::wstring>{L"data\\value.txt", L"probe_app.dll"}))
        << "the directory of a live run is left alone";
    EXPECT_EQ(list_folder(temp).size(), 1u);

    write_file(hold, "");
    EXPECT_EQ(finish_process(live, 30000).exit_code, 7u);
    EXPECT_TRUE(list_folder(temp).empty());
    TerminateProcess(spawned, 0);
    EXPECT_EQ(written_elsewhere({L"report.txt", L"live.txt", L"next.txt", L"hold.txt"}),
              std::vector<std::wstring>());
}

TEST_F(RobustFault, a_launch_that_meets_its_executable_held_for_a_moment_is_tried_again)
{
    /* Enough files that the test can take the executable while they are
    ** written, before the child is started. */
    file_entries entries = {{L"probe_app.dll", probe_library()}};
    for (int i = 0; i < 300; i++)
        entries.push_back({L"bulk\\" + std::to_wstring(i), "x"});
    write_patched_bootstrap(executable, make_object(entries));
    process_options run = options();
    run.environment[L"PROBE_EXIT"] = L"9";
    running_process started = start(run);
    while (list_folder(temp).empty() && WaitForSingleObject(started.process, 1) == WAIT_TIMEOUT)
        ;
    /* Held as a scanner holds a new file: no sharing at all. */
    HANDLE holder = CreateFileW(executable.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    if (!child_process_ids(started.id).empty()) {
        CloseHandle(holder);
        finish_process(started, 30000);
        GTEST_SKIP() << "the bootstrap started its child before the test could hold the file";
    }
    std::vector<std::wstring> folders = list_folder(temp);
    std::wstring last = folders.empty() ? L"" : temp + L"\\" + folders[0] + L"\\bulk\\299";
    while (!path_exists(last) && WaitForSingleObject(started.process, 1) == WAIT_TIMEOUT)
        ;
    /* Long enough for a first attempt, far shorter than the retries. */
    Sleep(300);
    EXPECT_TRUE(child_process_ids(started.id).empty()) << "no child can start while the file is held";
    CloseHandle(holder);

    process_result result = finish_process(started, 30000);
    EXPECT_EQ(result.exit_code, 9u) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(RobustFault, a_file_held_open_at_the_end_costs_a_bounded_wait_and_not_the_childs_status)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"data\\value.txt", "42"}}));
    process_options run = options();
    std::wstring report_path = folder + L"\\report.txt";
    run.environment[L"PROBE_REPORT"] = report_path;
    run.environment[L"PROBE_HOLD"] = hold;
    run.environment[L"PROBE_EXIT"] = L"6";
    running_process started = start(run);
    std::wstring unpack = unpack_directory_of(wait_for_report(report_path));
    ASSERT_FALSE(unpack.empty());
    /* Held the way a virus scanner or an editor holds a file: no sharing
    ** for deletion. */
    HANDLE holder = CreateFileW((unpack + L"\\data\\value.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    write_file(hold, "");
    DWORD released = GetTickCount();
    process_result result = finish_process(started, 30000);
    DWORD took = GetTickCount() - released;
    CloseHandle(holder);

    EXPECT_EQ(result.exit_code, 6u) << "the child's status, whatever the removal did";
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_GE(took, 1500u) << "the removal is tried again for a while";
    EXPECT_LT(took, 6000u) << "but not for long";
    EXPECT_TRUE(path_exists(unpack + L"\\data\\value.txt")) << "the held file cannot have gone";
    EXPECT_EQ(list_folder(temp).size(), 1u);
    EXPECT_EQ(written_elsewhere({L"report.txt", L"hold.txt"}), std::vector<std::wstring>());
    remove_unpack_directory(unpack);
}

TEST_F(RobustFault, eight_fresh_starts_at_once_each_unpack_into_and_remove_a_directory_of_their_own)
{
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"data\\value.txt", "42"}}));
    const int count = 8;
    std::vector<running_process> started;
    for (int i = 0; i < count; i++) {
        process_options run = options();
        run.environment[L"PROBE_REPORT"] = folder + L"\\report" + std::to_wstring(i) + L".txt";
        run.environment[L"PROBE_HOLD"] = hold;
        run.environment[L"PROBE_EXIT"] = std::to_wstring(10 + i);
        started.push_back(start(run));
    }
    /* All applications run at the same time, each from its own directory. */
    std::set<std::wstring> directories;
    for (int i = 0; i < count; i++) {
        std::map<std::string, std::string> report =
            wait_for_report(folder + L"\\report" + std::to_wstring(i) + L".txt");
        EXPECT_EQ(report["env.QALVEN_ONEFILE_PARENT"], std::to_string(started[i].id));
        std::wstring unpack = unpack_directory_of(report);
        ASSERT_FALSE(unpack.empty()) << "start " << i;
        EXPECT_EQ(list_files(unpack), (std::vector<std::wstring>{L"data\\value.txt", L"probe_app.dll"}));
        directories.insert(unpack);
    }
    EXPECT_EQ(directories.size(), (size_t)count);
    EXPECT_EQ(list_folder(temp).size(), (size_t)count);

    write_file(hold, "");
    std::set<std::wstring> expected = {L"hold.txt"};
    for (int i = 0; i < count; i++) {
        process_result result = finish_process(started[i], 60000);
        EXPECT_EQ(result.exit_code, (DWORD)(10 + i));
        EXPECT_EQ(result.out + result.err, "");
        expected.insert(L"report" + std::to_wstring(i) + L".txt");
    }
    EXPECT_TRUE(list_folder(temp).empty()) << "every directory removed";
    EXPECT_EQ(written_elsewhere(expected), std::vector<std::wstring>());
}

} // namespace
