// Linking: the object, its size and the resources end up in the executable,
// and the same input always gives the same bytes. A stand-in bootstrap that
// only uses the attached data's symbols keeps these tests independent of the
// Windows build; the last test uses the real runtime when it has been built.
#include "test_support.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <stdexcept>

#include <cstdlib>

namespace {

const char *const stand_in_bootstrap = R"(
extern const unsigned char onefile_attached_data[];
extern const unsigned long long onefile_attached_data_size;
int wWinMain(void *instance, void *previous, unsigned short *command_line, int show)
{
    (void)instance, (void)previous, (void)command_line;
    return onefile_attached_data[show & 1] + (int)onefile_attached_data_size;
}
)";

class linking : public testing::Test {
protected:
    // The runtime folder: the project's resource scripts and icon, and a
    // library holding the stand-in bootstrap, made once for all tests.
    static void SetUpTestSuite()
    {
        runtime_ = new scratch_folder;
        const fs::path folder = runtime_->path();
        for (const char *name : {"onefile.rc", "onefile.manifest", "onefile.ico", "splash.rc"})
            fs::copy_file(fs::path(ONEFILE_RESOURCES_DIR) / name, folder / name);
        write_file(folder / "stand_in.c", stand_in_bootstrap);
        run_tool("compiling", {"x86_64-w64-mingw32-gcc-posix", "-c", "stand_in.c", "-o", "stand_in.o"}, folder);
        run_tool("archiving", {"x86_64-w64-mingw32-ar", "rcs", "libstand_in.a", "stand_in.o"}, folder);
        write_file(folder / "runtime.txt", runtime_text("library libstand_in.a\n"));
    }

    static void TearDownTestSuite()
    {
        delete runtime_;
    }

    // The static library holds the entry point, which nothing names before
    // the C runtime's own libraries: hence --undefined.
    static std::string runtime_text(const std::string &libraries)
    {
        return "cxx x86_64-w64-mingw32-g++-posix\n"
               "windres x86_64-w64-mingw32-windres\n"
               "flag -municode\nflag -mwindows\nflag -static\nflag -s\n"
               "flag -Wl,--no-insert-timestamp\nflag -Wl,--undefined=wWinMain\n" +
               libraries + "system-library -lkernel32\n";
    }

    static scratch_folder *runtime_;
};

scratch_folder *linking::runtime_ = nullptr;

void make_app(const fs::path &app)
{
    write_file(app / "main.dll", "MZ main");
    write_file(app / "sub" / "data.bin", noise(50000, 3));
}

bool contains(const std::string &haystack, const std::string &needle)
{
    return haystack.find(needle) != std::string::npos;
}

std::string little_endian(std::uint64_t value)
{
    std::string bytes;
    for (int i = 0; i < 8; ++i)
        bytes += static_cast<char>(value >> (8 * i));
    return bytes;
}

} // namespace

TEST_F(linking, executable_carries_the_object_its_size_and_the_chosen_icon_and_splash)
{
    scratch_folder scratch;
    make_app(scratch.path() / "app");
    std::string icon = read_file(fs::path(ONEFILE_RESOURCES_DIR) / "onefile.ico");
    const std::string default_icon_tail = icon.substr(icon.size() - 64);
    icon.back() ^= 0x5A;
    write_file(scratch.path() / "mine.ico", icon);
    const std::string splash = std::string("\x89PNG\r\n\x1a\n", 8) + noise(3000, 9);
    write_file(scratch.path() / "splash.png", splash);

    const process_result result = run_onefile_pack(
        {"--runtime-dir", runtime_->path().string(), "--main", "main.dll",
         "--icon", (scratch.path() / "mine.ico").string(),
         "--splash", (scratch.path() / "splash.png").string(),
         "--write-attached-data", (scratch.path() / "app.bin").string(),
         "-o", (scratch.path() / "app.exe").string(), (scratch.path() / "app").string()},
        scratch.path());
    ASSERT_EQ(result.status, 0) << result.error_output;

    const std::string executable = read_file(scratch.path() / "app.exe");
    const std::string object = read_file(scratch.path() / "app.bin");
    // onefile_attached_data_size directly follows the data: the object's length is a multiple of 8.
    EXPECT_TRUE(contains(executable, object + little_endian(object.size())));
    EXPECT_TRUE(contains(executable, icon.substr(icon.size() - 64)));
    EXPECT_FALSE(contains(executable, default_icon_tail));
    EXPECT_TRUE(contains(executable, splash));
}

TEST_F(linking, same_input_links_to_identical_executables)
{
    scratch_folder scratch;
    make_app(scratch.path() / "app");
    std::string executables[2];
    for (int run = 0; run < 2; ++run) {
        // Different temporary folders and output names must not show in the result.
        const fs::path temp = scratch.path() / ("temp" + std::to_string(run));
        fs::create_directories(temp);
        const fs::path output = scratch.path() / ("app" + std::to_string(run) + ".exe");
        const process_result result =
            run_onefile_pack({"--runtime-dir", runtime_->path().string(), "--main", "main.dll", "-o",
                              output.string(), (scratch.path() / "app").string()},
                             temp);
        ASSERT_EQ(result.status, 0) << result.error_output;
        executables[run] = read_file(output);
    }
    EXPECT_EQ(executables[0], executables[1]);
}

TEST_F(linking, failed_link_shows_the_linker_output_and_leaves_nothing_behind)
{
    scratch_folder scratch;
    make_app(scratch.path() / "app");
    const fs::path runtime = scratch.path() / "runtime";
    fs::copy(runtime_->path(), runtime);
    write_file(runtime / "runtime.txt", runtime_text("")); // no bootstrap: no wWinMain
    fs::create_directories(scratch.path() / "out");
    fs::create_directories(scratch.path() / "temp");

    const process_result result =
        run_onefile_pack({"--runtime-dir", runtime.string(), "--main", "main.dll", "--write-attached-data",
                          (scratch.path() / "out" / "app.bin").string(), "-o",
                          (scratch.path() / "out" / "app.exe").string(), (scratch.path() / "app").string()},
                         scratch.path() / "temp");

    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.error_output.rfind("onefile-pack: error: linking failed", 0), 0u) << result.error_output;
    EXPECT_TRUE(contains(result.error_output, "undefined reference")) << result.error_output;
    EXPECT_TRUE(fs::is_empty(scratch.path() / "out"));
    EXPECT_TRUE(fs::is_empty(scratch.path() / "temp"));
}

// The Windows build's runtime, or the one ONEFILE_RUNTIME_DIR names.
static fs::path built_runtime_dir()
{
    const char *const from_environment = std::getenv("ONEFILE_RUNTIME_DIR");
    return from_environment ? from_environment : ONEFILE_BUILT_RUNTIME_DIR;
}

TEST(built_runtime, same_input_links_to_identical_executables)
{
    const fs::path runtime = built_runtime_dir();
    if (!fs::exists(runtime / "libonefile_bootstrap.a"))
        GTEST_SKIP() << "the Windows runtime has not been built in " << runtime;
    scratch_folder scratch;
    make_app(scratch.path() / "app");
    std::string executables[2];
    for (int run = 0; run < 2; ++run) {
        const fs::path output = scratch.path() / ("app" + std::to_string(run) + ".exe");
        const process_result result = run_onefile_pack(
            {"--runtime-dir", runtime.string(), "--main", "main.dll", "-o", output.string(),
             (scratch.path() / "app").string()},
            scratch.path());
        ASSERT_EQ(result.status, 0) << result.error_output;
        executables[run] = read_file(output);
    }
    EXPECT_EQ(executables[0], executables[1]);
}

// The subsystem and the imported DLL names of a PE32+ image, read from its
// headers; an empty subsystem marks an image that is not PE32+.
struct pe_summary {
    int subsystem = -1;
    std::vector<std::string> imports;
};

static std::uint32_t little_endian(const std::string &image, std::size_t at, int bytes)
{
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(image.at(at + i));
    return value;
}

static pe_summary summarise_pe(const std::string &image)
{
    pe_summary summary;
    const std::size_t pe = little_endian(image, 0x3c, 4);
    const std::size_t sections = little_endian(image, pe + 6, 2);
    const std::size_t optional = pe + 24;
    if (little_endian(image, optional, 2) != 0x20b)
        return summary;
    summary.subsystem = static_cast<int>(little_endian(image, optional + 68, 2));
    const std::uint32_t import_rva = little_endian(image, optional + 112 + 8, 4);
    const std::size_t section_table = optional + little_endian(image, pe + 20, 2);
    auto file_offset = [&](std::uint32_t rva) -> std::size_t {
        for (std::size_t i = 0; i < sections; ++i) {
            const std::size_t header = section_table + 40 * i;
            const std::uint32_t start = little_endian(image, header + 12, 4);
            const std::uint32_t size = little_endian(image, header + 8, 4);
            if (rva >= start && rva < start + size)
                return rva - start + little_endian(image, header + 20, 4);
        }
        throw std::runtime_error("RVA outside every section");
    };
    for (std::size_t descriptor = file_offset(import_rva);; descriptor += 20) {
        const std::uint32_t name_rva = little_endian(image, descriptor + 12, 4);
        if (name_rva == 0)
            break;
        summary.imports.push_back(image.c_str() + file_offset(name_rva));
    }
    return summary;
}

TEST(built_runtime, packed_executable_is_a_gui_program_that_imports_only_known_dlls)
{
    const fs::path runtime = built_runtime_dir();
    if (!fs::exists(runtime / "libonefile_bootstrap.a"))
        GTEST_SKIP() << "the Windows runtime has not been built in " << runtime;
    scratch_folder scratch;
    make_app(scratch.path() / "app");
    const fs::path output = scratch.path() / "app.exe";
    const process_result result = run_onefile_pack(
        {"--runtime-dir", runtime.string(), "--main", "main.dll", "-o", output.string(),
         (scratch.path() / "app").string()},
        scratch.path());
    ASSERT_EQ(result.status, 0) << result.error_output;

    const pe_summary summary = summarise_pe(read_file(output));
    EXPECT_EQ(summary.subsystem, 2) << "IMAGE_SUBSYSTEM_WINDOWS_GUI in a PE32+ image";
    // KnownDLLs of Windows 10 and 11, which the loader never looks for beside
    // the executable; any other import (WindowsCodecs.dll, for one) is loaded
    // from the executable's folder first, where anyone may have put a file.
    const std::set<std::string> known_dlls = {"advapi32.dll", "combase.dll", "gdi32.dll", "kernel32.dll",
                                              "msvcrt.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
                                              "rpcrt4.dll", "sechost.dll", "shell32.dll", "shlwapi.dll",
                                              "user32.dll"};
    EXPECT_FALSE(summary.imports.empty());
    for (std::string dll : summary.imports) {
        for (char &c : dll)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        EXPECT_TRUE(known_dlls.count(dll)) << dll << " is not a KnownDLL";
    }
}
