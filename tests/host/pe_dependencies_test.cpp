// The checks of what gets packed: the main file refused with a line naming
// its fault, and the DLLs the loader would not find, on DLLs that the
// Windows toolchain made.
#include "pe_dependencies.h"
#include "system_dlls.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

const fs::path windows_build = ONEFILE_WINDOWS_BUILD_DIR;
const fs::path probe_app = windows_build / "tests/apps/probe_app.dll";
const fs::path no_entry_app = windows_build / "tests/apps/no_entry_app.dll";
const fs::path cpp_entry_app = windows_build / "tests/apps/cpp_entry_app.dll";
const fs::path lua54 = windows_build / "lua54.dll";
const fs::path lua_host = windows_build / "examples/lua_host.dll";
const fs::path lua_app = windows_build / "lua-app.exe";

// The message check_main_file gives, or "" when it accepts the file.
std::string refusal(const bytes &data, main_file_kind kind)
{
    try {
        check_main_file(data, kind);
        return "";
    } catch (const pe_error &error) {
        return error.what();
    }
}

using dll_pairs = std::vector<std::pair<std::string, std::string>>;

dll_pairs missing_in(const fs::path &folder, const std::string &main_name)
{
    dll_pairs pairs;
    for (const missing_dll &dll : find_missing_dlls(folder, main_name))
        pairs.emplace_back(dll.name, dll.importer);
    return pairs;
}

} // namespace

TEST(main_file_check, accepts_a_dll_that_exports_run_code_and_an_executable_asked_for_as_one)
{
    EXPECT_EQ(refusal(bytes_of(read_file(probe_app)), main_file_kind::dll), "");
    EXPECT_EQ(refusal(bytes_of(read_file(lua_host)), main_file_kind::dll), "");
    EXPECT_EQ(refusal(bytes_of(read_file(lua_app)), main_file_kind::executable), "");
}

TEST(main_file_check, refuses_each_wrong_main_file_with_a_line_naming_the_fault)
{
    EXPECT_EQ(refusal(bytes_of("print('hello')\n"), main_file_kind::dll),
              "it is not a Windows executable or DLL (no MZ header)");
    EXPECT_EQ(refusal(bytes_of(read_file(lua_app)), main_file_kind::dll), "it is an executable, not a DLL");
    EXPECT_EQ(refusal(bytes_of(read_file(probe_app)), main_file_kind::executable), "it is a DLL, not an executable");
    EXPECT_EQ(refusal(bytes_of(read_file(no_entry_app)), main_file_kind::dll), "it does not export run_code");
    EXPECT_EQ(refusal(bytes_of(read_file(cpp_entry_app)), main_file_kind::dll),
              "it exports run_code only under its C++ name _Z8run_codeiPPwPKw; declare run_code extern \"C\"");

    const bytes probe = bytes_of(read_file(probe_app));
    const pe_image image = parse_pe_image(probe);
    bytes x86 = probe;
    write_le(x86, image.coff_offset, {{pe::coff_machine, 0x014c}});
    EXPECT_EQ(refusal(x86, main_file_kind::dll), "it is built for 32-bit x86, not for x86-64");
    bytes pe32 = probe;
    write_le(pe32, image.optional_offset, {{pe::optional_magic, 0x10b}});
    EXPECT_EQ(refusal(pe32, main_file_kind::dll), "it is not a 64-bit (PE32+) image");
}

TEST(system_dlls, are_known_by_name_in_any_case_and_api_sets_by_prefix)
{
    EXPECT_TRUE(is_system_dll("KERNEL32.dll"));
    EXPECT_TRUE(is_system_dll("msvcrt.dll"));
    EXPECT_TRUE(is_system_dll("WINSPOOL.DRV"));
    EXPECT_TRUE(is_system_dll("api-ms-win-crt-runtime-l1-1-0.dll"));
    EXPECT_FALSE(is_system_dll("libstdc++-6.dll"));
    EXPECT_FALSE(is_system_dll("vcruntime140.dll"));
    EXPECT_FALSE(is_system_dll("kernel32"));
}

TEST(missing_dlls, the_example_lacks_lua54_only_until_it_lies_beside_lua_host)
{
    scratch_folder app;
    fs::copy_file(lua_host, app.path() / "lua_host.dll");
    write_file(app.path() / "main.lua", "return 0\n");
    EXPECT_EQ(missing_in(app.path(), "lua_host.dll"), (dll_pairs{{"lua54.dll", "lua_host.dll"}}));

    fs::copy_file(lua54, app.path() / "lua54.dll");
    EXPECT_EQ(missing_in(app.path(), "lua_host.dll"), dll_pairs());
}

TEST(missing_dlls, imports_and_delay_loads_are_followed_through_the_folder_once_each)
{
    // Built by the Windows toolchain (CMakeLists.txt): main.dll imports
    // KERNEL32.dll, a.dll (beside it as A.DLL, whose imports are followed
    // too), b.dll (nowhere) and an API set, and delay-loads b.dll again and
    // c.dll, which lies only in sub/, where the loader does not look. A.DLL's import of MAIN.dll ends there. d.dll (text) and the
    // 32-bit e.dll are found but not followed: the loader refuses them.
    EXPECT_EQ(missing_in(ONEFILE_IMPORTS_APP_DIR, "main.dll"), (dll_pairs{{"b.dll", "main.dll"},
                                                                      {"c.dll", "main.dll"},
                                                                      {"libstdc++-6.dll", "A.DLL"},
                                                                      {"B.dll", "A.DLL"}}));
}
