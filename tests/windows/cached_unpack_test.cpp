/*
** The cached unpack folder: copies of the patchable bootstrap whose unpack
** template names a folder below the test's scratch folder, with 16 hex
** digits at its end as the packer writes them.
*/
#include <gtest/gtest.h>

#include <set>

#include <aclapi.h>
#include <sddl.h>

#include "common/xxhash.h"

#include "attached_data_builder.h"
#include "entry_name_cases.h"
#include "patch_in_place.h"
#include "process_tree.h"
#include "run_process.h"

namespace {

/* Last-write time and size of every file and folder below a folder. */
typedef std::map<std::wstring, std::pair<unsigned long long, unsigned long long>> tree_snapshot;

tree_snapshot snapshot(const std::wstring &root)
{
    tree_snapshot taken;
    walk_tree(root, [&taken](const std::wstring &path, const WIN32_FIND_DATAW &found) {
        taken[path] = {((unsigned long long)found.ftLastWriteTime.dwHighDateTime << 32) | found.ftLastWriteTime.dwLowDateTime,
                       ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow};
    });
    return taken;
}

/* A record as the bootstrap writes it, for the files given in stream order. */
std::string record_of(const file_entries &files)
{
    std::string record = "QVR2";
    auto append = [&record](unsigned long long value, int bytes) {
        for (int i = 0; i < bytes; i++)
            record += (char)((value >> (8 * i)) & 0xff);
    };
    append(files.size(), 4);
    for (const auto &file : files) {
        append(file.second.size(), 8);
        append(XXH64(file.second.data(), file.second.size(), 0), 8);
        append(file.first.size(), 2);
        for (wchar_t unit : file.first)
            append((unsigned long long)unit, 2);
    }
    append(XXH64(record.data(), record.size(), 0), 8);
    return record;
}

std::wstring current_user_sid()
{
    HANDLE token = NULL;
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } token_user;
    DWORD length = 0;
    wchar_t *text = NULL;
    bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
              && GetTokenInformation(token, TokenUser, &token_user, sizeof token_user, &length)
              && ConvertSidToStringSidW(token_user.user.User.Sid, &text);
    if (token != NULL)
        CloseHandle(token);
    std::wstring sid = ok ? text : L"";
    LocalFree(text);
    return sid;
}

class CachedUnpack : public in_scratch_folder<> {
protected:
    void SetUp() override
    {
        cache = folder + L"\\cache\\app";
        hold = folder + L"\\hold.txt";
        report_path = folder + L"\\report.txt";
        entries = {{L"probe_app.dll", probe_library()},
                   {L"data\\value.txt", "42"},
                   {L"data\\deeper\\big.bin", std::string(100000, 'b')},
                   {L"other.txt", "other"}};
        make_executable(executable, entries, L"0123456789abcdef");
    }

    void TearDown() override
    {
        write_file(hold, "");
        for (HANDLE process : started_here) {
            if (WaitForSingleObject(process, 10000) == WAIT_TIMEOUT)
                TerminateProcess(process, 0xDEAD);
            CloseHandle(process);
        }
    }

    void make_executable(const std::wstring &path, const file_entries &content, const std::wstring &hash)
    {
        write_patched_bootstrap(path, make_object(content));
        ASSERT_TRUE(patch_unpack_template(path, cache + L"\\" + hash));
    }

    process_options options(const std::wstring &program = L"")
    {
        process_options run;
        run.command_line = quote_argument(program.empty() ? executable : program);
        as_fresh_start(run, temp);
        run.environment[L"PROBE_REPORT"] = report_path;
        return run;
    }

    running_process start(const process_options &run)
    {
        running_process started = start_process(run);
        HANDLE own = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, started.id);
        if (own != NULL)
            started_here.push_back(own);
        return started;
    }

    /* The probe's report appears by a rename: read until it is whole. */
    std::map<std::string, std::string> wait_for_report(const std::wstring &path)
    {
        for (int i = 0; i < 3000; i++, Sleep(20)) {
            std::map<std::string, std::string> report = read_report(path);
            if (report.count("pid"))
                return report;
        }
        ADD_FAILURE() << "no report from the application";
        return {};
    }

    /* Every file of `content` is in `unpacked` with its content. */
    void expect_complete(const std::wstring &unpacked, const file_entries &content)
    {
        for (const auto &entry : content)
            EXPECT_EQ(read_file(unpacked + L"\\" + entry.first), entry.second) << utf8(entry.first);
    }

    std::wstring cache, hold, report_path;
    file_entries entries;
    std::vector<HANDLE> started_here;
};

TEST_F(CachedUnpack, a_second_start_runs_from_the_folder_and_writes_nothing)
{
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    running_process first = start(options());
    DWORD first_id = first.id;
    process_result result = finish_process(first, 60000);
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    std::map<std::string, std::string> seen = read_report(report_path);
    EXPECT_EQ(seen["library"], utf8(unpacked + L"\\probe_app.dll"));
    EXPECT_EQ(seen["pid"], std::to_string(first_id)) << "the application runs in the started process";
    expect_complete(unpacked, entries);
    EXPECT_EQ(list_folder(cache), (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock"}))
        << "no private folder left";
    EXPECT_TRUE(list_folder(temp).empty()) << "nothing in TEMP";

    tree_snapshot before = snapshot(folder + L"\\cache");
    Sleep(50);
    process_options run = options();
    std::wstring nested_report = folder + L"\\nested.txt";
    run.environment[L"PROBE_RELAUNCH"] = L"x";
    run.environment[L"PROBE_RELAUNCH_REPORT"] = nested_report;
    run.environment[L"PROBE_EXIT"] = L"7";
    running_process second = start(run);
    DWORD second_id = second.id;
    result = finish_process(second, 60000);
    EXPECT_EQ(result.exit_code, 7u) << result.out << result.err;
    EXPECT_TRUE(snapshot(folder + L"\\cache") == before) << "a file or folder was written or added";

    /* What a re-launched copy would have seen. */
    seen = read_report(report_path);
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_PARENT"], std::to_string(second_id));
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_DIRECTORY"], utf8(folder));
    EXPECT_EQ(seen["env.QALVEN_ORIGINAL_ARGV0"], utf8(executable));
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_RANDOM"], "<unset>");
    EXPECT_EQ(seen["env.QALVEN_ONEFILE_TIME_US"], "<unset>");
    EXPECT_EQ(seen["argv.0"], utf8(executable));
    std::map<std::string, std::string> nested = read_report(nested_report);
    EXPECT_EQ(nested["library"], seen["library"]) << "the application's own copy finds the folder";
    EXPECT_EQ(nested["env.QALVEN_ONEFILE_PARENT"], std::to_string(second_id));
    EXPECT_EQ(nested["argv.1"], "x");
}

TEST_F(CachedUnpack, with_a_splash_the_application_runs_in_the_started_process_which_ends_the_splash_when_asked)
{
    /* A thread of the started process owns the splash. The first start's
    ** application takes it down while run_code still runs on the main
    ** thread; the second's leaves it up and ends through exit(). */
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    std::wstring ready = folder + L"\\ready.txt";
    write_patched_splash_bootstrap(executable, make_object(entries));
    ASSERT_TRUE(patch_unpack_template(executable, unpacked));
    for (bool first_start : {true, false}) {
        SCOPED_TRACE(first_start ? "first start" : "second start");
        for (const std::wstring &path : {ready, hold, report_path})
            DeleteFileW(path.c_str());
        process_options run = options();
        run.environment[L"PROBE_AWAIT_SPLASH"] = L"1";
        run.environment[L"PROBE_READY"] = ready;
        run.environment[L"PROBE_HOLD"] = hold;
        run.environment[L"PROBE_EXIT"] = L"5";
        run.environment[first_start ? L"PROBE_END_SPLASH" : L"PROBE_CALL_EXIT"] = first_start ? L"300" : L"1";
        running_process started = start(run);
        ASSERT_TRUE(wait_for_file(ready, 60000));
        EXPECT_NE(splash_of(started.id), nullptr) << "up while run_code runs";
        std::map<std::string, std::string> seen = wait_for_report(report_path);
        EXPECT_EQ(seen["pid"], std::to_string(started.id)) << "the application runs in the started process";
        bool hidden = false;
        for (int i = 0; i < (first_start ? 1000 : 40) && !hidden; i++, Sleep(10)) {
            HWND splash = splash_of(started.id);
            hidden = splash == NULL || !IsWindowVisible(splash);
        }
        EXPECT_EQ(hidden, first_start) << "the splash goes when, and only when, its file is deleted";
        EXPECT_EQ(WaitForSingleObject(started.process, 0), (DWORD)WAIT_TIMEOUT) << "while run_code runs";
        write_file(hold, "");
        process_result result = finish_process(started, 60000);
        EXPECT_EQ(result.exit_code, 5u) << result.out << result.err;
        EXPECT_TRUE(list_folder(temp).empty()) << "no feedback file left";

        /* What the re-launched copy sees on the per-run road. */
        EXPECT_EQ(seen["env.QALVEN_ONEFILE_PARENT"], std::to_string(started.id));
        EXPECT_EQ(seen["env.QALVEN_ONEFILE_CHILD_OF"], "<unset>");
        EXPECT_EQ(seen["argv.0"], utf8(executable));
        EXPECT_EQ(seen["library"], utf8(unpacked + L"\\probe_app.dll"));
        expect_complete(unpacked, entries);
        EXPECT_EQ(list_folder(cache), (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock"}));
    }
}

TEST_F(CachedUnpack, what_is_missing_truncated_or_replaced_is_repaired_before_the_application_runs)
{
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    ASSERT_EQ(run_process(options()).exit_code, 0u);

    DeleteFileW((unpacked + L"\\data\\value.txt").c_str());
    write_file(unpacked + L"\\probe_app.dll", "MZ cut short");
    write_file(unpacked + L"\\data\\deeper\\big.bin", std::string(99999, 'b'));
    DeleteFileW((unpacked + L"\\other.txt").c_str());
    CreateDirectoryW((unpacked + L"\\other.txt").c_str(), NULL);
    write_file(unpacked + L"\\other.txt\\inside.txt", "in the way");
    write_file(unpacked + L"\\added_by_app.txt", "kept");
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);
    EXPECT_EQ(read_file(unpacked + L"\\added_by_app.txt"), "kept") << "files of the application stay";

    /* The system's temp cleaner empties the folder but leaves it. */
    for (const std::wstring &name : list_folder(unpacked))
        remove_tree(unpacked + L"\\" + name);
    ASSERT_TRUE(list_folder(unpacked).empty());
    result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);

    /* A folder standing where a file's folder should be a file, the other way round. */
    remove_tree(unpacked + L"\\data");
    write_file(unpacked + L"\\data", "a file where a folder belongs");
    result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);

    /* A link there goes as a link, what it names stays (Windows: a reparse
    ** point, deleted as itself; Wine: a Unix link, which it follows). */
    std::wstring outside = folder + L"\\outside.txt";
    write_file(outside, "not the folder's");
    remove_tree(unpacked + L"\\data");
    if (run_unix({"ln", "-s", unix_path(outside), unix_path(unpacked + L"\\data")})) {
        result = run_process(options());
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        expect_complete(unpacked, entries);
        EXPECT_EQ(read_file(outside), "not the folder's");
    }
    EXPECT_EQ(list_folder(cache), (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock"}));
}

TEST_F(CachedUnpack, a_record_of_another_shape_than_the_one_written_is_repaired)
{
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    ASSERT_EQ(run_process(options()).exit_code, 0u);
    std::wstring record_path = unpacked + L"\\.onefile-record";
    std::string written = read_file(record_path);
    ASSERT_EQ(written, record_of(entries)) << "the test writes records as the bootstrap does";

    /* A library of the record's size outside the folder, which must never load. */
    CreateDirectoryW((cache + L"\\elsewhere").c_str(), NULL);
    write_file(cache + L"\\elsewhere\\evil.dll", probe_library());
    file_entries outside = entries, other_first = entries, in_place_of_missing = entries;
    outside[0].first = L"..\\elsewhere\\evil.dll";
    std::swap(other_first[0], other_first[3]);
    in_place_of_missing[3] = {L"..\\elsewhere\\evil.dll", probe_library()};
    std::vector<std::pair<std::string, std::string>> damaged = {
        {"no file", record_of({})},
        {"a first name outside the folder", record_of(outside)},
        {"another first file", record_of(other_first)},
        {"a name outside the folder in place of a missing file", record_of(in_place_of_missing)},
        {"one name twice", record_of({entries[0], entries[1], entries[1]})},
    };
    /* Every name of the one table that the rule refuses, in the record. */
    for (const entry_name_case &entry : entry_name_cases) {
        file_entries named = entries;
        named[3].first.assign(entry.name, entry.name + std::char_traits<char16_t>::length(entry.name));
        if (!entry.accepted)
            damaged.push_back({utf8(named[3].first), record_of(named)});
    }
    for (const auto &[fault, record] : damaged) {
        SCOPED_TRACE(fault);
        write_file(record_path, record);
        if (record == record_of(in_place_of_missing))
            DeleteFileW((unpacked + L"\\other.txt").c_str());
        DeleteFileW(report_path.c_str());
        process_result result = run_process(options());
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        EXPECT_EQ(read_report(report_path)["library"], utf8(unpacked + L"\\probe_app.dll"));
        EXPECT_EQ(read_file(record_path), written) << "the record is written again";
        expect_complete(unpacked, entries);
    }
}

TEST_F(CachedUnpack, same_size_damage_is_healed_by_a_repair_and_by_every_start_that_verifies_content)
{
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    ASSERT_EQ(run_process(options()).exit_code, 0u);
    auto damage = [&]() {
        write_file(unpacked + L"\\data\\value.txt", "43");
        /* A power loss leaves the size and zeros. */
        write_file(unpacked + L"\\data\\deeper\\big.bin", std::string(100000, '\0'));
    };
    damage();
    ASSERT_EQ(run_process(options()).exit_code, 0u);
    EXPECT_EQ(read_file(unpacked + L"\\data\\value.txt"), "43") << "by default only names and sizes are checked";

    /* A repair compares content, not only sizes. */
    DeleteFileW((unpacked + L"\\.onefile-record").c_str());
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);
    EXPECT_EQ(read_file(unpacked + L"\\.onefile-record"), record_of(entries));

    ASSERT_TRUE(patch_cache_check(executable, 1));
    damage();
    result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);
}

/* A name beyond MAX_PATH below the folder is written by a first start,
** listed and read by a second and rewritten by a repair. On Windows without
** the long-path setting only the extended-length form ("\\?\") reaches such
** a name; the cached road writes through the one writer, whose open gives
** the system that form (asserted in attached_data_test.cpp, since Wine
** accepts either): here the road copes with the length. */
TEST_F(CachedUnpack, a_name_beyond_max_path_is_written_checked_and_repaired)
{
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    std::wstring deep = L"deep\\" + std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e') + L"\\notes.txt";
    entries.push_back({deep, "deep"});
    make_executable(executable, entries, L"0123456789abcdef");
    ASSERT_TRUE(patch_cache_check(executable, 1));
    ASSERT_GT(unpacked.size() + 1 + deep.size(), (size_t)MAX_PATH);

    process_result result = run_process(options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);

    tree_snapshot before = snapshot(folder + L"\\cache");
    Sleep(50);
    result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_TRUE(snapshot(folder + L"\\cache") == before) << "listed and read, not written again";

    write_file(unpacked + L"\\" + deep, "dee");
    result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(unpacked, entries);
}

TEST_F(CachedUnpack, a_folder_that_others_may_change_is_never_run_from)
{
    /* Someone made the build's folder before the first start, with a record
    ** and files as a start leaves them, and lets everyone write there. On
    ** Windows any user may create folders under ProgramData, owned by them
    ** and granting what they choose; a folder of another owner, a NULL DACL
    ** or write access for Users is refused there the same way. Wine 8 keeps
    ** no owner but the user's and maps a DACL to the Unix mode: Everyone's
    ** rights are the mode's "other" bits, the only foreign write it shows. */
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    std::wstring security = L"D:P(A;OICI;FA;;;" + current_user_sid() + L")(A;OICI;0x1301bf;;;WD)";
    CreateDirectoryW((folder + L"\\cache").c_str(), NULL);
    CreateDirectoryW(cache.c_str(), NULL);
    CreateDirectoryW(unpacked.c_str(), NULL);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     NULL));
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    DWORD set = SetNamedSecurityInfoW(&unpacked[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
    LocalFree(descriptor);
    ASSERT_EQ(set, (DWORD)ERROR_SUCCESS);
    CreateDirectoryW((unpacked + L"\\data").c_str(), NULL);
    CreateDirectoryW((unpacked + L"\\data\\deeper").c_str(), NULL);
    for (const auto &entry : entries)
        write_file(unpacked + L"\\" + entry.first, entry.second);
    write_file(unpacked + L"\\.onefile-record", record_of(entries));

    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 2u) << result.out << result.err;
    EXPECT_EQ(result.err, "Error, the unpack folder '" + utf8(unpacked) +
                              "' is not private to this user; nothing runs from it.\r\n");
    EXPECT_FALSE(path_exists(report_path)) << "the planted library ran";
    EXPECT_EQ(read_file(unpacked + L"\\.onefile-record"), record_of(entries)) << "nothing is written there";
}

TEST_F(CachedUnpack, a_first_start_killed_while_unpacking_leaves_a_state_the_next_start_runs_from)
{
    /* Enough files that the test sees the unpacking under way. */
    for (int i = 0; i < 1500; i++)
        entries.push_back({L"many\\f" + std::to_wstring(i) + L".txt", std::string(i % 300, 'x')});
    make_executable(executable, entries, L"0123456789abcdef");

    running_process first = start(options());
    std::vector<std::wstring> seen;
    for (int i = 0; i < 30000; i++) {
        seen = list_folder(cache);
        if (seen.size() >= 2 || !read_report(report_path).empty())
            break;
        Sleep(1);
    }
    ASSERT_TRUE(terminate_process_id(first.id, 0xDEAD));
    finish_process(first, 10000);
    if (path_exists(cache + L"\\0123456789abcdef"))
        GTEST_SKIP() << "the first start was done before the test could end it";
    ASSERT_EQ(seen.size(), 2u) << "a private folder beside the lock file while unpacking";

    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_complete(cache + L"\\0123456789abcdef", entries);
    EXPECT_EQ(list_folder(cache), (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock"}))
        << "the ended start's private folder is removed";
}

TEST_F(CachedUnpack, ten_simultaneous_first_starts_all_run_from_one_complete_folder)
{
    for (int i = 0; i < 300; i++)
        entries.push_back({L"many\\f" + std::to_wstring(i) + L".txt", std::string(i, 'y')});
    make_executable(executable, entries, L"0123456789abcdef");
    std::wstring unpacked = cache + L"\\0123456789abcdef";

    const int count = 10;
    std::vector<running_process> started;
    for (int i = 0; i < count; i++) {
        process_options run = options();
        run.environment[L"PROBE_REPORT"] = folder + L"\\report" + std::to_wstring(i) + L".txt";
        run.environment[L"PROBE_HOLD"] = hold;
        run.environment[L"PROBE_EXIT"] = std::to_wstring(10 + i);
        started.push_back(start(run));
    }
    for (int i = 0; i < count; i++) {
        std::map<std::string, std::string> report =
            wait_for_report(folder + L"\\report" + std::to_wstring(i) + L".txt");
        EXPECT_EQ(report["library"], utf8(unpacked + L"\\probe_app.dll")) << "start " << i;
    }
    /* All ten run now: the folder they run from is whole. */
    expect_complete(unpacked, entries);
    EXPECT_EQ(list_folder(cache), (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock"}))
        << "no private folder left behind";

    write_file(hold, "");
    for (int i = 0; i < count; i++) {
        process_result result = finish_process(started[i], 60000);
        EXPECT_EQ(result.exit_code, (DWORD)(10 + i)) << result.out << result.err;
    }
    expect_complete(unpacked, entries);

    /* Ten starts that all find the folder damaged repair it side by side. */
    std::vector<std::wstring> files = list_files(unpacked);
    DeleteFileW((unpacked + L"\\data\\value.txt").c_str());
    write_file(unpacked + L"\\many\\f7.txt", "");
    started.clear();
    for (int i = 0; i < count; i++) {
        process_options run = options();
        run.environment[L"PROBE_EXIT"] = std::to_wstring(20 + i);
        started.push_back(start(run));
    }
    for (int i = 0; i < count; i++) {
        process_result result = finish_process(started[i], 60000);
        EXPECT_EQ(result.exit_code, (DWORD)(20 + i)) << result.out << result.err;
    }
    expect_complete(unpacked, entries);
    EXPECT_EQ(list_files(unpacked), files) << "no file of a repair left behind";
}

TEST_F(CachedUnpack, ctrl_c_removes_only_a_private_folder_that_is_still_being_filled)
{
    /* Wine delivers CTRL_C_EVENT to the bootstrap on SIGINT. On Windows the
    ** GUI bootstrap has no console and gets no such event: there Ctrl+C
    ** does not reach it, and an interrupted first start's private folder
    ** is removed by the next start instead (the killed-start case above).
    ** A name of its own: the interrupt finds the process by its path. */
    executable = folder + L"\\cached_ctrl_c.exe";
    for (int i = 0; i < 8000; i++)
        entries.push_back({L"f\\" + std::to_wstring(i % 50) + L"\\" + std::to_wstring(i), "x"});
    make_executable(executable, entries, L"0123456789abcdef");

    running_process first = start(options());
    for (int i = 0; i < 30000 && list_folder(cache).size() < 2; i++)
        Sleep(1);
    ASSERT_EQ(list_folder(cache).size(), 2u) << "no private folder appeared";
    interrupt_windows_program(folder, executable);
    EXPECT_FALSE(finish_process(first, 120000).timed_out);
    EXPECT_EQ(list_folder(cache), std::vector<std::wstring>{L"0123456789abcdef.lock"})
        << "the private folder is removed, nothing is published";

    process_options run = options();
    std::wstring ready = folder + L"\\ready.txt";
    run.environment[L"PROBE_READY"] = ready;
    run.environment[L"PROBE_WAIT_FOREVER"] = L"1";
    running_process second = start(run);
    ASSERT_TRUE(wait_for_file(ready, 120000));
    interrupt_windows_program(folder, executable);
    EXPECT_FALSE(finish_process(second, 30000).timed_out) << "the application ends with the event";
    EXPECT_EQ(list_folder(cache), (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock"}));
    EXPECT_EQ(read_file(cache + L"\\0123456789abcdef\\probe_app.dll"), probe_library()) << "the folder stays";
}

/* A fatal error within a file (a frame cut short in the middle of the
** library) ends a start with its one line; the clean-up closes the file
** before it removes what the start was writing: a first start's private
** folder, a repair's file under a name of its own. */
TEST_F(CachedUnpack, a_start_that_fails_within_a_file_leaves_no_private_folder_and_no_repair_file)
{
    std::wstring unpacked = cache + L"\\0123456789abcdef";
    std::wstring cut = folder + L"\\cut.exe";
    std::string frame = compress_frame(encode_entries(entries));
    write_patched_bootstrap(cut, wrap_object(frame.substr(0, frame.size() / 2)));
    ASSERT_TRUE(patch_unpack_template(cut, unpacked));
    process_result result = run_process(options(cut));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_EQ(list_folder(cache), std::vector<std::wstring>{L"0123456789abcdef.lock"});

    ASSERT_EQ(run_process(options()).exit_code, 0u);
    DeleteFileW((unpacked + L"\\probe_app.dll").c_str());
    result = run_process(options(cut));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, couldn't decode attached data.\r\n");
    for (const std::wstring &name : list_files(unpacked))
        EXPECT_EQ(name.find(L".repair-"), std::wstring::npos) << utf8(name);
}

TEST_F(CachedUnpack, an_older_builds_folder_is_removed_unless_a_running_process_holds_it)
{
    std::wstring held_build = folder + L"\\held.exe";
    std::wstring ended_build = folder + L"\\ended.exe";
    make_executable(held_build, entries, L"1111111111111111");
    make_executable(ended_build, entries, L"2222222222222222");
    ASSERT_EQ(run_process(options(ended_build)).exit_code, 0u);
    process_options held = options(held_build);
    held.environment[L"PROBE_HOLD"] = hold;
    held.environment[L"PROBE_REPORT"] = folder + L"\\held_report.txt";
    running_process held_process = start(held);
    wait_for_report(folder + L"\\held_report.txt");
    /* Not older builds' folders: one no start of ours made (no lock file
    ** beside it), a name of another length, a file, another name. */
    CreateDirectoryW((cache + L"\\5555555555555555").c_str(), NULL);
    CreateDirectoryW((cache + L"\\keep").c_str(), NULL);
    CreateDirectoryW((cache + L"\\33333333333333334").c_str(), NULL);
    write_file(cache + L"\\4444444444444444", "a file, not a folder");

    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(list_folder(cache),
              (std::vector<std::wstring>{L"0123456789abcdef", L"0123456789abcdef.lock", L"1111111111111111",
                                         L"1111111111111111.lock", L"33333333333333334", L"4444444444444444",
                                         L"5555555555555555", L"keep"}))
        << "the ended build's folder and lock are gone, the held one is kept";
    expect_complete(cache + L"\\1111111111111111", entries);

    write_file(hold, "");
    EXPECT_EQ(finish_process(held_process, 60000).exit_code, 0u);
    result = run_process(options());
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_FALSE(path_exists(cache + L"\\1111111111111111")) << "removed once no process holds it";
}

/* The design's one ending through abort besides a buffer that would
** overflow: status 3, after its line, with nothing written on either road. */
TEST_F(CachedUnpack, a_template_that_cannot_be_expanded_ends_with_its_line_and_writes_nothing)
{
    for (const std::wstring &unpack_template :
         {cache + L"\\{NOPE}\\0123456789abcdef", cache + L"\\{NOPE}_{PID}_{RANDOM}"}) {
        ASSERT_TRUE(patch_unpack_template(executable, unpack_template));
        process_result result = run_process(options());
        EXPECT_EQ(result.exit_code, 3u) << utf8(unpack_template);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '" + utf8(unpack_template) + "'.\r\n");
    }
    EXPECT_FALSE(path_exists(folder + L"\\cache")) << "nothing written";
    EXPECT_TRUE(list_folder(temp).empty());
}

} // namespace

/* The same mode in an executable that onefile-pack wrote with --unpack-to:
** the template reaches the bootstrap through the executable's settings. */
TEST(PackedCachedExecutable, runs_from_the_folder_the_packer_named_and_keeps_it)
{
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    std::wstring report = folder + L"\\report.txt";
    for (int start = 0; start < 2; start++) {
        process_options run;
        run.command_line = quote_argument(ONEFILE_TEST_BINARY_DIR L"\\probe-cached.exe");
        use_temp_folder(run, temp);
        run.environment[L"PROBE_REPORT"] = report;
        process_result result = run_process(run);
        ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    }
    std::vector<std::wstring> builds = list_folder(temp + L"\\probe-cache\\app");
    ASSERT_EQ(builds.size(), 2u);
    EXPECT_EQ(builds[0].size(), 16u) << "the packer's folder for this build";
    EXPECT_EQ(builds[1], builds[0] + L".lock");
    EXPECT_EQ(utf16(read_report(report)["library"]),
              temp + L"\\probe-cache\\app\\" + builds[0] + L"\\probe_app.dll");
}

/* The packer records which record a build's folder must hold: another one,
** even one that names fewer files and whose sizes and hashes match what is
** there, is a damaged record. And the names a first start writes beside the
** folder are its own: one planted at the name it would once have used
** stops nothing. */
TEST(PackedCachedExecutable, a_record_that_is_not_the_builds_is_repaired_and_a_planted_name_stops_no_first_start)
{
    std::wstring folder = test_scratch_folder();
    std::wstring app = folder + L"\\app";
    CreateDirectoryW(app.c_str(), NULL);
    CreateDirectoryW((app + L"\\data").c_str(), NULL);
    const file_entries files = {{L"probe_app.dll", probe_library()}, {L"data\\value.txt", "42"},
                                {L"other.txt", "other"}};
    for (const auto &[name, content] : files)
        write_file(app + L"\\" + name, content);
    std::wstring executable = folder + L"\\cached.exe";
    pack_folder(app, L"probe_app.dll", executable, L"--unpack-to \"{TEMP}\\app-cache\"");
    const auto start = [&](const std::wstring &temp, const std::function<void(DWORD)> &before_running) {
        process_options run;
        run.command_line = quote_argument(executable);
        as_fresh_start(run, temp);
        run.before_running = before_running;
        return run_process(run);
    };
    std::wstring learned = folder + L"\\learn";
    ASSERT_EQ(start(learned, nullptr).exit_code, 0u);
    std::wstring build = list_folder(learned + L"\\app-cache")[0];

    std::wstring temp = folder + L"\\temp", cache = temp + L"\\app-cache", target = folder + L"\\target";
    CreateDirectoryW(temp.c_str(), NULL);
    CreateDirectoryW(cache.c_str(), NULL);
    CreateDirectoryW(target.c_str(), NULL);
    process_result first = start(temp, [&](DWORD id) {
        std::wstring name = cache + L"\\" + build + L".unpacking-" + std::to_wstring(id);
        if (!run_unix({"ln", "-s", unix_path(target), unix_path(name)}))
            CreateDirectoryW(name.c_str(), NULL);
    });
    EXPECT_EQ(first.exit_code, 0u) << first.out << first.err;
    EXPECT_TRUE(list_folder(target).empty()) << "nothing written through the planted name";
    std::wstring unpacked = cache + L"\\" + build;
    std::string record = read_file(unpacked + L"\\.onefile-record");

    std::string evil = probe_library();
    evil[evil.size() - 1] ^= 1;
    write_file(unpacked + L"\\probe_app.dll", evil);
    DeleteFileW((unpacked + L"\\other.txt").c_str());
    write_file(unpacked + L"\\.onefile-record", record_of({{L"probe_app.dll", evil}}));
    EXPECT_EQ(start(temp, nullptr).exit_code, 0u);
    for (const auto &[name, content] : files)
        EXPECT_TRUE(read_file(unpacked + L"\\" + name) == content) << utf8(name);
    EXPECT_EQ(read_file(unpacked + L"\\.onefile-record"), record) << "the build's own record, written again";
}
