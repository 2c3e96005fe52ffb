/*
** A library planted beside a packed executable (a Downloads folder) under
** the name of one the bootstrap uses must never be loaded. Windows looks for
** a library that is not a KnownDLL beside the executable first; Wine loads
** its own unless told otherwise, and takes that order from the Unix
** environment of the programs a test starts: so this test has a ctest entry
** that runs it with WINEDLLOVERRIDES preferring a native WindowsCodecs.dll.
** On Windows it needs no such setting. The executable carries the PNG alone,
** as an older packer's did: only then does the bootstrap use the imaging
** library.
*/
#include <gtest/gtest.h>

#include "run_process.h"
#include "splash_probes.h"

namespace {

TEST(PlantedLibrary, a_windowscodecs_dll_beside_the_executable_never_runs_and_the_splash_still_shows)
{
    wchar_t overrides[256] = L"";
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 256);
    ASSERT_NE(wcsstr(overrides, L"windowscodecs=n"), nullptr) << "must run with the native-first order";
    std::wstring folder = test_scratch_folder();
    std::wstring executable = folder + L"\\downloaded.exe";
    std::wstring planted = folder + L"\\WindowsCodecs.dll";
    ASSERT_TRUE(CopyFileW(packed(L"example").c_str(), executable.c_str(), FALSE));
    HANDLE update = BeginUpdateResourceW(executable.c_str(), FALSE /* bDeleteExistingResources */);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(UpdateResourceW(update,
                                MAKEINTRESOURCEW(10), /* RT_RCDATA */
                                MAKEINTRESOURCEW(32), /* the pixels, which go */
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                NULL,
                                0));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE /* fDiscard */));
    ASSERT_TRUE(CopyFileW((std::wstring(ONEFILE_TEST_APPS_DIR) + L"\\WindowsCodecs.dll").c_str(),
                          planted.c_str(), FALSE));

    process_options options = fresh_run(executable, folder + L"\\temp");
    options.environment[L"PROBE_AWAIT_SPLASH"] = L"1";
    options.environment[L"PROBE_REPORT"] = folder + L"\\report.txt";
    process_result result = run_process(options);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_FALSE(path_exists(planted + L".loaded")) << "the planted library ran in the bootstrap";
    EXPECT_EQ(read_report(folder + L"\\report.txt")["splash_windows"], "1")
        << "the system's imaging library decoded the splash";
}

} // namespace
