// Linking: the object, its size and the resources end up in the executable,
// and the same input always gives the same bytes. A stand-in bootstrap that
// only uses the attached data's symbols keeps these tests independent of the
// Windows build; the last test uses the real runtime when it has been built.
#include "test_support.h"
#include "tool_process.h"

#include <gtest/gtest.h>

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

TEST(built_runtime, same_input_links_to_identical_executables)
{
    const char *const from_environment = std::getenv("ONEFILE_RUNTIME_DIR");
    const fs::path runtime = from_environment ? from_environment : ONEFILE_BUILT_RUNTIME_DIR;
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
