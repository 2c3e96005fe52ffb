/*
** Path templates, environment access, directory creation and path
** resolution, exercised in-process.
*/
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "paths/paths.h"
#include "run_process.h"

namespace {

const char *const shared_variables[] = {"QALVEN_ONEFILE_PARENT", "QALVEN_ONEFILE_RANDOM",
                                        "QALVEN_ONEFILE_TIME_US", "QALVEN_ONEFILE_START"};

class PathTemplate : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char *name : shared_variables)
            set_environment_value(name, NULL);
    }
    void TearDown() override { SetUp(); }

    /* The expansion, or "<false>" when it fails. */
    std::wstring expand(const std::wstring &path_template, size_t capacity = ONEFILE_PATH_CAPACITY)
    {
        std::wstring output(capacity, L'#');
        if (!expand_path_template(&output[0], path_template.c_str(), capacity))
            return L"<false>";
        return std::wstring(output.c_str());
    }
};

std::wstring temp_without_trailing_backslash()
{
    wchar_t temp[MAX_PATH + 1];
    std::wstring folder(temp, GetTempPathW(MAX_PATH + 1, temp));
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

std::wstring environment(const char *name)
{
    wchar_t *value = get_environment_value(name);
    return value ? std::wstring(value) : L"<unset>";
}

TEST_F(PathTemplate, malformed_templates_fail_instead_of_yielding_a_wrong_path)
{
    EXPECT_EQ(expand(L"{}"), L"<false>");
    EXPECT_EQ(expand(L"{TEMPDIR}"), L"<false>");
    EXPECT_EQ(expand(L"a}b"), L"<false>") << "a '}' with no open placeholder";
    EXPECT_EQ(expand(L"{" + std::wstring(2000, L'A') + L"}"), L"<false>") << "overlong name";
}

TEST_F(PathTemplate, open_names_are_dropped_or_restarted_and_names_ignore_case)
{
    EXPECT_EQ(expand(L""), L"");
    EXPECT_EQ(expand(L"abc{TEM"), L"abc");
    EXPECT_EQ(expand(L"x{AB{PID}"), expand(L"x{PID}"));
    std::wstring temp = temp_without_trailing_backslash();
    EXPECT_EQ(expand(L"{temp}\\x"), temp + L"\\x");
    EXPECT_EQ(expand(L"{Temp}"), temp);
}

TEST_F(PathTemplate, literals_fill_the_capacity_exactly_and_not_one_unit_more)
{
    EXPECT_EQ(expand(L"1234567", 8), L"1234567");
    EXPECT_EQ(expand(L"12345678", 8), L"<false>");
}

TEST_F(PathTemplate, temp_loses_trailing_backslashes_and_fails_when_it_does_not_fit)
{
    wchar_t saved[MAX_PATH];
    GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", L"C:\\");
    EXPECT_EQ(expand(L"{TEMP}"), L"C:");
    EXPECT_EQ(expand(L"{TEMP}\\onefile"), L"C:\\onefile");
    SetEnvironmentVariableW(L"TMP", saved);

    /* Without the folder the path would be rooted at the current drive. */
    EXPECT_EQ(expand(L"{TEMP}\\x", 4), L"<false>");
}

TEST_F(PathTemplate, program_placeholders_cut_the_extension_and_the_file_name)
{
    wchar_t **saved_argv = __wargv;
    int saved_argc = __argc;
    const wchar_t *full[] = {L"C:\\dir\\App.EXE", NULL};
    const wchar_t *bare[] = {L"app.exe", NULL};
    const wchar_t *short_name[] = {L"exe", NULL};
    __argc = 1;

    __wargv = (wchar_t **)full;
    EXPECT_EQ(expand(L"{PROGRAM}"), L"C:\\dir\\App.EXE");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"C:\\dir\\App");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"C:\\dir");
    __wargv = (wchar_t **)bare;
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"app.exe");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"app");
    __wargv = (wchar_t **)short_name;
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"exe");

    __wargv = saved_argv;
    __argc = saved_argc;
}

TEST_F(PathTemplate, pid_comes_from_the_parent_variable_when_it_is_set)
{
    set_environment_value("QALVEN_ONEFILE_PARENT", L"1234");
    EXPECT_EQ(expand(L"{PID}"), L"1234");
    set_environment_value("QALVEN_ONEFILE_PARENT", L"");
    EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId()));
}

TEST_F(PathTemplate, random_tokens_are_base64url_stored_and_reused)
{
    const std::wstring alphabet =
        L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::set<std::wstring> tokens;
    for (int i = 0; i < 50; i++) {
        set_environment_value("QALVEN_ONEFILE_RANDOM", NULL);
        std::wstring both = expand(L"{RANDOM}_{RANDOM}");
        ASSERT_EQ(both.size(), 23u);
        std::wstring token = both.substr(0, 11);
        EXPECT_EQ(both.substr(12), token);
        EXPECT_EQ(environment("QALVEN_ONEFILE_RANDOM"), token);
        for (wchar_t c : token)
            EXPECT_NE(alphabet.find(c), std::wstring::npos) << utf8(token);
        EXPECT_EQ(alphabet.find(token.back()) % 4, 0u) << utf8(token);
        tokens.insert(token);
        Sleep(i % 3);
    }
    EXPECT_GT(tokens.size(), 40u) << "tokens should rarely repeat";
}

TEST_F(PathTemplate, time_values_are_computed_once_and_time_us_has_six_digits)
{
    for (int i = 0; i < 200; i++) {
        set_environment_value("QALVEN_ONEFILE_TIME_US", NULL);
        std::wstring micros = expand(L"{TIME_US}");
        ASSERT_EQ(micros.size(), 6u);
        EXPECT_EQ(micros.find_first_not_of(L"0123456789"), std::wstring::npos);
        EXPECT_EQ(environment("QALVEN_ONEFILE_TIME_US"), micros);
    }
    set_environment_value("QALVEN_ONEFILE_TIME_US", L"000042");
    EXPECT_EQ(expand(L"{TIME_US}"), L"000042");

    std::wstring start = expand(L"{TIME}");
    EXPECT_GT(start.size(), 16u);
    EXPECT_EQ(start.find_first_not_of(L"0123456789"), std::wstring::npos);
    Sleep(20);
    EXPECT_EQ(expand(L"{TIME}"), start);
    EXPECT_EQ(environment("QALVEN_ONEFILE_START"), start);
}

TEST_F(PathTemplate, inherited_values_of_another_shape_count_as_absent)
{
    const std::pair<const char *, const wchar_t *> placeholders[] = {
        {"QALVEN_ONEFILE_RANDOM", L"{RANDOM}"}, {"QALVEN_ONEFILE_TIME_US", L"{TIME_US}"},
        {"QALVEN_ONEFILE_START", L"{TIME}"}};
    /* Each of a shape that none of the three has. */
    const wchar_t *const foreign[] = {L"x\\..\\..\\evil", L"..", L"AAAAAAAAAA", L"AAAAAAAAAAAA", L"AAAAAAAAAA.",
                                      L"12345x", L"-1", L"C:\\x", L"12345678901234567890"};
    for (const auto &placeholder : placeholders)
        for (const wchar_t *value : foreign) {
            set_environment_value(placeholder.first, value);
            std::wstring expanded = expand(placeholder.second);
            EXPECT_NE(expanded, value) << placeholder.first;
            EXPECT_EQ(expanded.find_first_of(L"\\.:"), std::wstring::npos) << placeholder.first << " " << utf8(expanded);
            EXPECT_EQ(environment(placeholder.first), expanded) << "the new value is stored";
        }
    set_environment_value("QALVEN_ONEFILE_RANDOM", L"Ab-_0123xyz");
    EXPECT_EQ(expand(L"{RANDOM}"), L"Ab-_0123xyz");
}

TEST_F(PathTemplate, the_unpack_template_expands_to_the_same_path_every_time)
{
    const wchar_t *unpack = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
    std::wstring first = expand(unpack);
    EXPECT_EQ(first.rfind(temp_without_trailing_backslash() + L"\\onefile_"
                          + std::to_wstring(GetCurrentProcessId()) + L"_", 0), 0u)
        << utf8(first);
    EXPECT_EQ(expand(unpack), first);
}

TEST(Environment, empty_values_read_as_absent_and_null_removes)
{
    EXPECT_TRUE(set_environment_value("ONEFILE_TEST_VARIABLE", L"\u00e9t\u00e9 \u20ac"));
    EXPECT_EQ(environment("ONEFILE_TEST_VARIABLE"), L"\u00e9t\u00e9 \u20ac");
    set_environment_value("ONEFILE_TEST_VARIABLE", L"");
    EXPECT_EQ(get_environment_value("ONEFILE_TEST_VARIABLE"), nullptr);
    set_environment_value("ONEFILE_TEST_VARIABLE", L"x");
    set_environment_value("ONEFILE_TEST_VARIABLE", NULL);
    EXPECT_EQ(get_environment_value_w(L"ONEFILE_TEST_VARIABLE"), nullptr);
}

TEST(Directories, bare_drives_count_as_present_and_files_do_not)
{
    std::wstring folder = test_scratch_folder();
    EXPECT_TRUE(ensure_directory(L"Q:")) << "a bare drive is never looked at";
    write_file(folder + L"\\plain_file", "x");
    EXPECT_FALSE(ensure_directory((folder + L"\\plain_file").c_str()));
    EXPECT_FALSE(ensure_directory((folder + L"\\missing\\child").c_str()));
}

TEST(Directories, a_known_directory_is_not_created_again)
{
    std::wstring folder = test_scratch_folder() + L"\\known";
    ASSERT_TRUE(ensure_directory(folder.c_str()));
    ASSERT_TRUE(is_directory(folder));
    RemoveDirectoryW(folder.c_str());
    EXPECT_TRUE(ensure_directory(folder.c_str()));
    EXPECT_FALSE(path_exists(folder)) << "the table should have answered";

    std::wstring other_case = folder.substr(0, folder.size() - 5) + L"KNOWN";
    EXPECT_TRUE(ensure_directory(other_case.c_str()));
    EXPECT_TRUE(is_directory(other_case)) << "another spelling reaches the file system";
}

TEST(Directories, parent_directories_are_created_nearest_the_root_first)
{
    std::wstring folder = test_scratch_folder();
    std::wstring deepest = folder + L"\\a\\b\\c";
    EXPECT_FALSE(ensure_directory(deepest.c_str()));
    ensure_parent_directories(deepest.c_str());
    EXPECT_TRUE(is_directory(folder + L"\\a\\b"));
    EXPECT_FALSE(path_exists(deepest));
    EXPECT_TRUE(ensure_directory(deepest.c_str()));
    EXPECT_TRUE(is_directory(deepest));
}

TEST(Directories, a_name_with_hundreds_of_components_does_not_exhaust_the_stack)
{
    std::wstring folder = test_scratch_folder();
    std::wstring deepest = folder;
    for (int i = 0; i < 300; i++)
        deepest += L"\\d";
    ensure_parent_directories(deepest.c_str());
    EXPECT_TRUE(ensure_directory(deepest.c_str()));
    EXPECT_TRUE(is_directory(deepest));
}

TEST(DirectoryRemoval, a_tree_with_paths_beyond_260_characters_goes_and_nothing_else)
{
    std::wstring folder = test_scratch_folder();
    std::wstring bystander = folder + L"\\bystander";
    CreateDirectoryW(bystander.c_str(), NULL);
    write_file(bystander + L"\\keep.txt", "keep");
    std::wstring tree = folder + L"\\tree";
    std::wstring deep = L"\\\\?\\" + tree;
    CreateDirectoryW(deep.c_str(), NULL);
    for (int i = 0; i < 12; i++) {
        deep += L"\\" + std::wstring(99, (wchar_t)(L'a' + i));
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), NULL));
        write_file(deep + L"\\file.txt", "x");
    }
    std::wstring read_only = tree + L"\\read_only.txt";
    write_file(read_only, "x");
    SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY);

    /* The shell's deletion would empty the current directory here. */
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(bystander.c_str());
    EXPECT_TRUE(remove_directory_tree(tree.c_str()));
    SetCurrentDirectoryW(saved);

    EXPECT_FALSE(path_exists(tree));
    EXPECT_EQ(read_file(bystander + L"\\keep.txt"), "keep");
}

TEST(DirectoryRemoval, links_in_the_tree_are_never_followed)
{
    std::wstring folder = test_scratch_folder();
    std::wstring target = folder + L"\\target";
    CreateDirectoryW(target.c_str(), NULL);
    write_file(target + L"\\precious.txt", "precious");
    std::wstring tree = folder + L"\\tree";
    CreateDirectoryW(tree.c_str(), NULL);
    CreateDirectoryW((tree + L"\\sub").c_str(), NULL);
    write_file(tree + L"\\plain.txt", "x");

    /* A link to a folder, a link to a file and one to nothing; Wine lists the
    ** second as a plain file and opens what it points to even when asked for
    ** the link. */
    std::string unix_folder = utf8(folder.substr(2));
    std::replace(unix_folder.begin(), unix_folder.end(), '\\', '/');
    std::wstring unix = utf16(unix_folder);
    process_options link;
    link.command_line = L"Z:\\bin\\sh -c \"ln -s '" + unix + L"/target' '" + unix + L"/tree/link' && ln -s '"
                      + unix + L"/target/precious.txt' '" + unix + L"/tree/sub/file_link' && ln -s '"
                      + unix + L"/gone' '" + unix + L"/tree/dangling'\"";
    /* Wine neither waits for a Unix program nor passes its status on. */
    run_process(link);
    ASSERT_TRUE(wait_for_file(tree + L"\\link\\precious.txt", 10000));
    ASSERT_TRUE(wait_for_file(tree + L"\\sub\\file_link", 10000));

    /* Windows removes every link and the whole tree, each link through a
    ** handle to the link itself, also when a folder is swapped for a link
    ** while the walk runs (which no test here can time). Under Wine the
    ** links to a file and to nothing go, and with them `sub`; the link to a
    ** folder stays, and with it the tree. */
    remove_directory_tree(tree.c_str());
    EXPECT_FALSE(path_exists(tree + L"\\plain.txt"));
    EXPECT_FALSE(path_exists(tree + L"\\sub")) << "the link to a file is gone";
    EXPECT_EQ(read_file(target + L"\\precious.txt"), "precious");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((tree + L"\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> left;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            left.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(left, std::vector<std::wstring>{L"link"}) << "the link to nothing and the file of our own are gone";

    link.command_line = L"Z:\\bin\\sh -c \"rm -f '" + unix + L"/tree/link' '" + unix + L"/tree/sub/file_link'\"";
    run_process(link);
    for (int i = 0; i < 500 && path_exists(tree + L"\\link"); i++)
        Sleep(10);
}

std::wstring resolved(const std::wstring &path, size_t capacity = ONEFILE_PATH_CAPACITY)
{
    std::wstring buffer(capacity, L'\0');
    wcscpy(&buffer[0], path.c_str());
    resolve_final_path(&buffer[0], capacity);
    return std::wstring(buffer.c_str());
}

TEST(ResolveFinalPath, spellings_of_one_file_resolve_alike)
{
    std::wstring folder = test_scratch_folder() + L"\\Long Directory Name";
    CreateDirectoryW(folder.c_str(), NULL);
    std::wstring file = folder + L"\\program long name.exe";
    write_file(file, "MZ");

    std::wstring expected = resolved(file);
    EXPECT_EQ(expected.substr(expected.size() - 22), L"\\program long name.exe")
        << "the last component keeps its long name";
    EXPECT_EQ(expected.find(L"\\\\?\\"), std::wstring::npos);

    wchar_t short_folder[MAX_PATH];
    ASSERT_NE(GetShortPathNameW(folder.c_str(), short_folder, MAX_PATH), 0u);
    EXPECT_EQ(resolved(std::wstring(short_folder) + L"\\program long name.exe"), expected);
    EXPECT_EQ(resolved(L"\\\\?\\" + file), expected) << "extended-length prefix";

    std::wstring other_case = file;
    for (wchar_t &c : other_case)
        c = (wchar_t)towupper(c);
    EXPECT_EQ(resolved(other_case), expected);
}

TEST(ResolveFinalPath, a_path_that_does_not_exist_comes_back_unchanged)
{
    std::wstring missing = test_scratch_folder() + L"\\missing dir\\file.exe";
    EXPECT_EQ(resolved(missing), missing);
    EXPECT_EQ(resolved(L"\\\\?\\" + missing), L"\\\\?\\" + missing);
}

} // namespace
