// The checks of what gets packed: the main file refused with a line naming
// its fault, and the DLLs the loader would not find, on DLLs the Windows
// build made and on small images made here.
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
std::string refusal(const std::string &bytes, main_file_kind kind)
{
    try {
        check_main_file(bytes, kind);
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

// A PE32+ x86-64 DLL with no code: one section that holds an import
// directory and a delay-load directory naming these DLLs.
std::string synthetic_dll(const std::vector<std::string> &imports, const std::vector<std::string> &delayed)
{
    constexpr std::size_t coff = 0x44, optional = coff + pe::coff_header_size, optional_size = 240;
    constexpr std::size_t section_table = optional + optional_size, raw_offset = 0x200;
    constexpr std::uint32_t section_rva = 0x1000;
    std::string image(raw_offset, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    write_u32(image, 0x3c, 0x40);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    write_u16(image, coff + pe::coff_machine, pe::machine_amd64);
    write_u16(image, coff + pe::coff_section_count, 1);
    write_u16(image, coff + pe::coff_optional_header_size, optional_size);
    write_u16(image, coff + pe::coff_characteristics, pe::file_dll | 0x22); // executable, large-address aware
    write_u16(image, optional + pe::optional_magic, pe::magic_pe32_plus);
    write_u64(image, optional + 24, 0x180000000); // image base
    write_u32(image, optional + pe::optional_section_alignment, 0x1000);
    write_u32(image, optional + pe::optional_file_alignment, 0x200);
    write_u32(image, optional + pe::optional_headers_size, raw_offset);
    write_u32(image, optional + pe::optional_directory_count, 16);

    const std::size_t delayed_at = (imports.size() + 1) * 20;
    std::string section(delayed_at + (delayed.size() + 1) * 32, '\0');
    auto add_name = [&](const std::string &name) {
        const std::uint32_t rva = section_rva + static_cast<std::uint32_t>(section.size());
        section += name + '\0';
        return rva;
    };
    for (std::size_t i = 0; i < imports.size(); ++i)
        write_u32(section, 20 * i + 12, add_name(imports[i]));
    for (std::size_t i = 0; i < delayed.size(); ++i) {
        const std::uint32_t rva = add_name(delayed[i]);
        write_u32(section, delayed_at + 32 * i, 1); // names are RVAs
        write_u32(section, delayed_at + 32 * i + 4, rva);
    }
    const std::size_t directories = optional + pe::optional_directories;
    write_u32(image, directories + 8 * pe::import_directory, section_rva);
    write_u32(image, directories + 8 * pe::delay_import_directory, section_rva + delayed_at);

    image.replace(section_table, 6, ".idata");
    write_u32(image, section_table + pe::section_virtual_size, static_cast<std::uint32_t>(section.size()));
    write_u32(image, section_table + pe::section_virtual_address, section_rva);
    write_u32(image, section_table + pe::section_raw_size, static_cast<std::uint32_t>(section.size()));
    write_u32(image, section_table + pe::section_raw_offset, raw_offset);
    return image + section;
}

} // namespace

TEST(main_file_check, accepts_a_dll_that_exports_run_code_and_an_executable_asked_for_as_one)
{
    EXPECT_EQ(refusal(read_file(probe_app), main_file_kind::dll), "");
    EXPECT_EQ(refusal(read_file(lua_host), main_file_kind::dll), "");
    EXPECT_EQ(refusal(read_file(lua_app), main_file_kind::executable), "");
}

TEST(main_file_check, refuses_each_wrong_main_file_with_a_line_naming_the_fault)
{
    EXPECT_EQ(refusal("print('hello')\n", main_file_kind::dll),
              "it is not a Windows executable or DLL (no MZ header)");
    EXPECT_EQ(refusal(read_file(lua_app), main_file_kind::dll), "it is an executable, not a DLL");
    EXPECT_EQ(refusal(read_file(probe_app), main_file_kind::executable), "it is a DLL, not an executable");
    EXPECT_EQ(refusal(read_file(no_entry_app), main_file_kind::dll), "it does not export run_code");
    EXPECT_EQ(refusal(read_file(cpp_entry_app), main_file_kind::dll),
              "it exports run_code only under its C++ name _Z8run_codeiPPwPKw; declare run_code extern \"C\"");

    const std::string probe = read_file(probe_app);
    const pe_image image = parse_pe_image(probe);
    std::string x86 = probe;
    write_u16(x86, image.coff_offset + pe::coff_machine, 0x014c);
    EXPECT_EQ(refusal(x86, main_file_kind::dll), "it is built for 32-bit x86, not for x86-64");
    std::string pe32 = probe;
    write_u16(pe32, image.optional_offset + pe::optional_magic, 0x10b);
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
    scratch_folder app;
    // main.dll needs A.DLL (beside it, other case), whose needs are followed
    // too, and b.dll (nowhere) both ways; c.dll lies only in a subfolder,
    // which the loader does not search. A.DLL's cycle back to main.dll ends.
    // d.dll and the 32-bit e.dll are found but not followed: the loader
    // refuses them on its own.
    write_file(app.path() / "main.dll",
               synthetic_dll({"KERNEL32.dll", "a.dll", "b.dll", "api-ms-win-crt-heap-l1-1-0.dll"},
                             {"b.dll", "c.dll"}));
    write_file(app.path() / "A.DLL",
               synthetic_dll({"libstdc++-6.dll", "MAIN.dll", "e.dll"}, {"B.dll", "d.dll"}));
    write_file(app.path() / "d.dll", "not an image");
    std::string pe32 = synthetic_dll({"f.dll"}, {});
    write_u16(pe32, parse_pe_image(pe32).optional_offset + pe::optional_magic, 0x10b);
    write_file(app.path() / "e.dll", pe32);
    write_file(app.path() / "sub/c.dll", synthetic_dll({}, {}));

    EXPECT_EQ(missing_in(app.path(), "main.dll"), (dll_pairs{{"b.dll", "main.dll"},
                                                            {"c.dll", "main.dll"},
                                                            {"libstdc++-6.dll", "A.DLL"},
                                                            {"B.dll", "A.DLL"}}));
}
