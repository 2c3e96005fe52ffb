/*
** Running the application: arguments, environment and exit statuses pass
** through the parent and the re-launched copy; the unpack directory is
** private to the user and gone afterwards; a copy started by the
** application reuses it; a child that cannot confirm its parent stops.
*/
#include <gtest/gtest.h>
#include <aclapi.h>

#include <algorithm>

#include "attached_data_builder.h"
#include "run_process.h"

namespace {

class Run : public in_scratch_folder<> {
protected:
    void SetUp() override
    {
        report_path = folder + L"\\report.txt";
        write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                         {L"data\\value.txt", "42"}}));
    }

    process_options options(const std::wstring &arguments = L"")
    {
        process_options run;
        run.command_line = quote_argument(executable) + (arguments.empty() ? L"" : L" " + arguments);
        as_fresh_start(run, temp);
        run.environment[L"PROBE_REPORT"] = report_path;
        return run;
    }

    std::map<std::string, std::string> report() { return read_report(report_path); }

    std::wstring report_path;
};

TEST_F(Run, arguments_arrive_in_run_code_exactly)
{
    std::wstring cwd = folder + L"\\cwd";
    CreateDirectoryW(cwd.c_str(), NULL);
    write_file(cwd + L"\\one.txt", "");
    write_file(cwd + L"\\two.txt", "");
    process_options run = options(L"\"a b\" \"C:\\My Dir\\\\\" \"say \\\"hi\\\"\" \"tab\there\" "
                                  L"\u00fcn\u00ef\u65e5\u672c \"\" *.txt last");
    run.current_directory = cwd;
    process_result result = run_process(run);
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;

    std::map<std::string, std::string> seen = report();
    EXPECT_EQ(seen["argv.0"], utf8(executable)) << "the child is started by its full path";
    EXPECT_EQ(seen["argv.1"], "a b");
    EXPECT_EQ(seen["argv.2"], "C:\\My Dir\\") << "trailing backslash kept";
    EXPECT_EQ(seen["argv.3"], "say \"hi\"");
    EXPECT_EQ(seen["argv.4"], "tab\there");
    EXPECT_EQ(seen["argv.5"], "\xc3\xbcn\xc3\xaf\xe6\x97\xa5\xe6\x9c\xac");
    EXPECT_EQ(seen["argv.6"], "") << "the empty argument is kept";
    EXPECT_EQ(seen["argv.7"], "one.txt") << "*.txt expanded";
    EXPECT_EQ(seen["argv.8"], "two.txt");
    EXPECT_EQ(seen["argv.9"], "last");
    EXPECT_EQ(seen["argc"], "10");
    EXPECT_NE(seen["command_line"].find(" *.txt last"), std::string::npos)
        << "the child receives the wildcard unexpanded: " << seen["command_line"];
    EXPECT_EQ(seen["cwd"], utf8(cwd)) << "the caller's current folder";
}

TEST_F(Run, exit_statuses_pass_through_the_parent)
{
    for (const wchar_t *status : {L"0", L"3", L"7", L"259"}) {
        process_options run = options();
        run.environment[L"PROBE_EXIT"] = status;
        process_result result = run_process(run);
        EXPECT_EQ(std::to_wstring(result.exit_code), status);
        EXPECT_TRUE(list_folder(temp).empty()) << "removed after status " << utf8(status);
    }
}

TEST_F(Run, the_application_sees_the_handed_over_environment)
{
    /* Started as a user would in the executable's folder: by a bare name. */
    process_options run = options();
    run.application = executable;
    run.command_line = L"app first";
    run.current_directory = folder;
    run.environment[L"QALVEN_ONEFILE_START"] = L"123";
    run.environment[L"QALVEN_ONEFILE_RANDOM"] = L"staleRandom";
    run.environment[L"QALVEN_ONEFILE_TIME_US"] = L"999999";
    running_process started = start_process(run);
    DWORD parent_id = started.id;
    process_result result = finish_process(started, 60000);
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;

    std::map<std::string, std::string> seen = report();
    EXPECT_EQ(seen["env.QALVEN_ORIGINAL_ARGV0"], "app");
    EXPECT_EQ(seen["argv.0"], utf8(executable));
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_DIRECTORY"], utf8(folder));
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_PARENT"], std::to_string(parent_id));
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_START"], "<unset>");
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_CHILD_OF"], "<unset>")
        << "the child's marker, seen by a packed program the application starts, would stop it";
    std::string random = seen["env.QALVEN_ONEFILE_RANDOM"];
    std::string micros = seen["env.QALVEN_ONEFILE_TIME_US"];
    EXPECT_EQ(random.size(), 11u);
    EXPECT_NE(random, "staleRandom");
    EXPECT_EQ(micros.size(), 6u);
    EXPECT_EQ(seen["library"], utf8(temp) + "\\onefile_" + std::to_string(parent_id) + "_"
                                   + micros + "_" + random + "\\probe_app.dll");
}

TEST_F(Run, a_stale_parent_variable_means_a_fresh_start)
{
    running_process ended = start_process(options());
    DWORD dead_id = ended.id;
    finish_process(ended, 60000);
    for (DWORD stale : {dead_id, GetCurrentProcessId()}) {
        process_options run = options();
        run.environment[L"QALVEN_ONEFILE_PARENT"] = std::to_wstring(stale);
        running_process started = start_process(run);
        DWORD parent_id = started.id;
        process_result result = finish_process(started, 60000);
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        EXPECT_EQ(report()["env.QALVEN_ONEFILE_PARENT"], std::to_string(parent_id));
        EXPECT_TRUE(list_folder(temp).empty());
    }
}

TEST_F(Run, a_child_whose_parent_cannot_be_confirmed_stops_instead_of_starting_another)
{
    /* What a fresh start hands its child, while the parent named is a live
    ** process that the check cannot match (on Windows: an executable path of
    ** 2048 to 4096 units read through a 2048-unit buffer, or a guard that
    ** denies reading the parent). A copy that went on as a fresh start would
    ** start a child of its own, which meets the same failing check there,
    ** and so on: the job bounds what this test may start. */
    std::wstring live = std::to_wstring(GetCurrentProcessId());
    process_options run = options();
    run.environment[L"QALVEN_ONEFILE_PARENT"] = live;
    run.environment[L"QALVEN_ONEFILE_CHILD_OF"] = live;
    run.environment[L"QALVEN_ONEFILE_TIME_US"] = L"123456";
    run.environment[L"QALVEN_ONEFILE_RANDOM"] = L"abcdefghijk";
    run.environment[L"QALVEN_ONEFILE_DIRECTORY"] = folder;
    HANDLE job = CreateJobObjectW(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    run.job = job;
    run.timeout_ms = 30000;
    process_result result = run_process(run);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, NULL);
    CloseHandle(job);

    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, couldn't confirm that the parent process runs this executable.\r\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(accounting.TotalProcesses, 1u) << "no copy started another";
    EXPECT_FALSE(path_exists(report_path)) << "the application never ran";
    EXPECT_TRUE(list_folder(temp).empty()) << "nothing unpacked";
}

/* The environment names a live bootstrap of this file and a folder it did
** not make, or its own folder once others may change it: each is refused by
** one half of the copy's check alone (the parent's folder handle, the
** privacy rule). On Windows "others" is also another user of a shared TEMP,
** whose folder the privacy rule refuses; under Wine every folder is the
** user's and its access list follows its Unix mode. */
TEST_F(Run, a_copy_runs_only_from_the_folder_that_the_bootstrap_it_names_made)
{
    process_options live_run = options();
    std::wstring hold = folder + L"\\hold.txt";
    live_run.environment[L"PROBE_HOLD"] = hold;
    running_process live = start_process(live_run);
    ASSERT_TRUE(wait_for_file(report_path, 60000));
    std::map<std::string, std::string> parent = report();
    ASSERT_FALSE(parent["env.QALVEN_ONEFILE_FOLDER_HANDLE"].empty()) << "the bootstrap hands its folder down";
    for (bool own_folder : {false, true}) {
        SCOPED_TRACE(own_folder ? "the bootstrap's own folder, which others may change" : "a planted folder");
        std::wstring time_us = own_folder ? utf16(parent["env.QALVEN_ONEFILE_TIME_US"]) : L"000001";
        std::wstring random = own_folder ? utf16(parent["env.QALVEN_ONEFILE_RANDOM"]) : L"AAAAAAAAAAA";
        std::wstring at = temp + L"\\onefile_" + std::to_wstring(live.id) + L"_" + time_us + L"_" + random;
        if (!own_folder) {
            CreateDirectoryW(at.c_str(), NULL);
            write_file(at + L"\\probe_app.dll", probe_library());
        }
        run_unix({"chmod", own_folder ? "777" : "700", unix_path(at)});
        process_options copy = options();
        copy.environment[L"QALVEN_ONEFILE_PARENT"] = std::to_wstring(live.id);
        copy.environment[L"QALVEN_ONEFILE_TIME_US"] = time_us;
        copy.environment[L"QALVEN_ONEFILE_RANDOM"] = random;
        copy.environment[L"QALVEN_ONEFILE_FOLDER_HANDLE"] = utf16(parent["env.QALVEN_ONEFILE_FOLDER_HANDLE"]);
        copy.environment[L"PROBE_REPORT"] = folder + L"\\copy.txt";
        running_process started = start_process(copy);
        DWORD copy_id = started.id;
        process_result result = finish_process(started, 60000);
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        std::map<std::string, std::string> seen = read_report(folder + L"\\copy.txt");
        EXPECT_NE(seen["library"], utf8(at + L"\\probe_app.dll")) << "it ran from that folder";
        EXPECT_EQ(seen["env.QALVEN_ONEFILE_PARENT"], std::to_string(copy_id)) << "it started afresh";
        if (own_folder)
            run_unix({"chmod", "700", unix_path(at)});
        else
            remove_tree(at);
    }
    write_file(hold, "");
    EXPECT_EQ(finish_process(live, 60000).exit_code, 0u);
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(Run, the_unpack_directory_lets_in_only_the_user_system_and_administrators)
{
    process_options run = options();
    std::wstring hold = folder + L"\\hold.txt";
    run.environment[L"PROBE_HOLD"] = hold;
    running_process started = start_process(run);
    for (int i = 0; i < 3000 && !path_exists(report_path); i++)
        Sleep(10);
    std::vector<std::wstring> unpack = list_folder(temp);
    ASSERT_EQ(unpack.size(), 1u);

    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD read = GetNamedSecurityInfoW((temp + L"\\" + unpack[0]).c_str(), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &descriptor);
    write_file(hold, "");
    EXPECT_EQ(finish_process(started, 30000).exit_code, 0u);
    ASSERT_EQ(read, (DWORD)ERROR_SUCCESS);
    ASSERT_NE(dacl, (PACL)NULL);

    HANDLE token = NULL;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    union { TOKEN_USER user; BYTE bytes[256]; } user;
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, &user, sizeof user, &length);
    CloseHandle(token);
    BYTE system[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system;
    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &size);
    size = sizeof administrators;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size);

    /* Windows reads back the protected DACL as written: SE_DACL_PROTECTED
    ** in the control, these three entries and no other, each inherited by
    ** files and folders; every file below then carries them, inherited.
    ** Wine derives what it reports from the Unix mode, which keeps only the
    ** user's and SYSTEM's entries: checked here is that nobody else is let
    ** in and that the user's entry reaches everything below. */
    bool user_found = false;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = NULL;
        ASSERT_TRUE(GetAce(dacl, i, (void **)&ace));
        ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID sid = &ace->SidStart;
        EXPECT_TRUE(EqualSid(sid, user.user.User.Sid) || EqualSid(sid, system) || EqualSid(sid, administrators))
            << "entry " << i << " lets someone else in";
        if (EqualSid(sid, user.user.User.Sid)) {
            user_found = true;
            EXPECT_EQ(ace->Mask & FILE_ALL_ACCESS, (DWORD)FILE_ALL_ACCESS);
            EXPECT_EQ(ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                      OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        }
    }
    EXPECT_TRUE(user_found);
    LocalFree(descriptor);
}

TEST_F(Run, a_copy_started_by_the_application_runs_from_the_same_directory)
{
    process_options run = options();
    std::wstring nested_report = folder + L"\\nested.txt";
    run.environment[L"PROBE_RELAUNCH"] = L"x \"y z\"";
    run.environment[L"PROBE_RELAUNCH_REPORT"] = nested_report;
    run.environment[L"PROBE_EXIT"] = L"4";
    process_result result = run_process(run);
    EXPECT_EQ(result.exit_code, 4u) << result.out << result.err;

    std::map<std::string, std::string> outer = report();
    std::map<std::string, std::string> nested = read_report(nested_report);
    EXPECT_EQ(outer["relaunch_status"], "4");
    EXPECT_EQ(nested["library"], outer["library"]);
    EXPECT_EQ(nested["env.QALVEN_ONEFILE_PARENT"], outer["env.QALVEN_ONEFILE_PARENT"]);
    EXPECT_EQ(nested["argc"], "3");
    EXPECT_EQ(nested["argv.2"], "y z");
    EXPECT_TRUE(list_folder(temp).empty()) << "nothing unpacked a second time, nothing left";
}

TEST_F(Run, everything_the_application_adds_is_removed_with_the_directory)
{
    process_options run = options();
    run.environment[L"PROBE_CREATE"] = L"1";
    std::wstring hold = folder + L"\\hold.txt";
    run.environment[L"PROBE_HOLD"] = hold;
    running_process started = start_process(run);
    ASSERT_TRUE(wait_for_file(report_path, 30000));
    std::vector<std::wstring> unpack = list_folder(temp);
    ASSERT_EQ(unpack.size(), 1u);
    EXPECT_EQ(list_files(temp + L"\\" + unpack[0]),
              (std::vector<std::wstring>{L"app_output.txt", L"data\\value.txt", L"made_by_app\\note.txt",
                                         L"made_by_app\\sub\\deeper\\data.bin", L"probe_app.dll"}))
        << "what the application adds is there while it runs";
    write_file(hold, "");
    EXPECT_EQ(finish_process(started, 30000).exit_code, 0u);
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(Run, a_first_entry_that_is_no_library_fails_in_both_processes_and_is_cleaned_up)
{
    write_patched_bootstrap(executable, make_object({{L"app.dll", "just text"}}));
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(list_folder(temp).empty()) << "the parent still removes the directory";
}

TEST_F(Run, a_library_without_run_code_is_reported_on_standard_output)
{
    std::string library = read_file(std::wstring(ONEFILE_TEST_APPS_DIR) + L"\\no_entry_app.dll");
    write_patched_bootstrap(executable, make_object({{L"app.dll", library}}));
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(list_folder(temp).empty());
}

} // namespace
