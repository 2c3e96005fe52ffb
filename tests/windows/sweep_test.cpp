/*
** The sweep of what killed runs left, under an unpack template of the
** application's own: the folders of a killed run go at a later start, a few
** per start, and folders of the same name shape that the bootstrap did not
** make stay.
*/
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "attached_data_builder.h"
#include "patch_in_place.h"
#include "paths/paths.h"
#include "run_process.h"

namespace {

/* Whether a folder made private under `folder` reads back with the DACL
** it was given: protected, with its three entries. */
bool keeps_dacls(const std::wstring &folder)
{
    std::wstring probe = folder + L"\\dacl-probe";
    create_private_directory(probe.c_str());
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    bool kept = false;
    if (GetNamedSecurityInfoW(probe.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                              &dacl, NULL, &descriptor) == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        kept = dacl != NULL && GetSecurityDescriptorControl(descriptor, &control, &revision)
            && (control & SE_DACL_PROTECTED) && dacl->AceCount == 3;
        LocalFree(descriptor);
    }
    RemoveDirectoryW(probe.c_str());
    return kept;
}

/* More than one start removes. */
const int STALE_FOLDERS = 12;

TEST(Sweep, removes_a_killed_runs_folder_of_its_own_template_a_few_per_start_and_only_folders_it_made)
{
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    std::wstring executable = folder + L"\\app.exe";
    std::wstring report_path = folder + L"\\report.txt";
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()}}));
    ASSERT_TRUE(patch_unpack_template(executable, L"{TEMP}\\myapp_{PID}_{RANDOM}"));
    process_options run;
    run.command_line = quote_argument(executable);
    as_fresh_start(run, temp);

    process_options killed = run;
    killed.environment[L"PROBE_REPORT"] = report_path;
    killed.environment[L"PROBE_WAIT_FOREVER"] = L"1";
    running_process started = start_process(killed);
    ASSERT_TRUE(wait_for_file(report_path, 60000)) << "the application did not start";
    ASSERT_TRUE(TerminateProcess(started.process, 1));
    finish_process(started, 10000);
    std::vector<std::wstring> left = list_folder(temp);
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(left[0].rfind(L"myapp_", 0), 0u);

    /* Made as the bootstrap makes its folders, by starts long gone. */
    for (int i = 1; i < STALE_FOLDERS; i++)
        ASSERT_EQ(create_private_directory((temp + L"\\myapp_4000000" + std::to_wstring(i) + L"_stale-token").c_str()),
                  PRIVATE_DIRECTORY_CREATED);
    /* Of the same shape, but another program's; and one of another shape. */
    const std::wstring foreign = L"myapp_4000000_foreign-tkn", other_shape = L"myapp_40000000_toolong-token";
    ASSERT_TRUE(CreateDirectoryW((temp + L"\\" + foreign).c_str(), NULL));
    ASSERT_EQ(create_private_directory((temp + L"\\" + other_shape).c_str()), PRIVATE_DIRECTORY_CREATED);
    std::vector<std::wstring> kept = {other_shape};
    /* Windows keeps a folder's DACL, which tells the bootstrap's folders
    ** from another program's; Wine's volumes keep none, and every folder
    ** reads back alike: there only the name can tell. */
    if (keeps_dacls(temp))
        kept.push_back(foreign);
    std::sort(kept.begin(), kept.end());

    process_result first = run_process(run);
    EXPECT_EQ(first.exit_code, 0u) << first.out << first.err;
    size_t remaining = list_folder(temp).size() - kept.size();
    EXPECT_GT(remaining, 0u) << "one start removes only a few";
    EXPECT_LT(remaining, (size_t)STALE_FOLDERS) << "but some";

    for (int start = 0; start < STALE_FOLDERS && list_folder(temp).size() > kept.size(); start++)
        run_process(run);
    EXPECT_EQ(list_folder(temp), kept);
}

/* The check that tells the bootstrap's folders from another program's, on
** lists made through the security API: Wine's volumes read every folder's
** list back alike, so the sweep passes over the check there. On Windows a
** folder that create_private_directory made reads back as the first. */
TEST(Sweep, takes_only_the_bootstraps_protected_list_for_its_own)
{
    wchar_t *text = NULL;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        private_directory_security()->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL));
    const std::wstring own = text;
    LocalFree(text);
    for (const std::wstring &list : {own, L"D:" + own.substr(3), own + L"(A;OICI;FA;;;WD)", own.substr(0, own.rfind(L'('))}) {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(list.c_str(), SDDL_REVISION_1, &descriptor, NULL));
        EXPECT_EQ(is_private_directory_dacl(descriptor), list == own) << utf8(list);
        LocalFree(descriptor);
    }
}

} // namespace
