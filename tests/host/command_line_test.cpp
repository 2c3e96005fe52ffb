// The program as a user meets it: every refusal is one line on standard
// error with status 1 and leaves the files it was to write as they were,
// with no temporary file beside them.
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

namespace {

bool is_one_error_line(const std::string &text)
{
    return text.rfind("onefile-pack: error: ", 0) == 0 && text.find('\n') == text.size() - 1;
}

// The templates the Windows build made.
fs::path built_runtime()
{
    return ONEFILE_BUILT_RUNTIME_DIR;
}

void make_socket(const fs::path &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.native().size(), sizeof address.sun_path);
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
}

struct refusal {
    const char *name;                                   // what is wrong, as a test name
    std::function<void(const fs::path &app)> prepare;   // makes the application folder
    std::string main_name;
    std::string expected;                               // a part of the message
    std::vector<std::string> extra_arguments;           // relative to the scratch folder
};

void PrintTo(const refusal &input, std::ostream *out)
{
    *out << input.name;
}

void with_main(const fs::path &app)
{
    write_file(app / "main.dll", "MZ");
}

// A DLL that the Windows build made, as `name` in `app`.
void with_built(const fs::path &app, const char *built, const char *name)
{
    fs::create_directories(app);
    fs::copy_file(fs::path(ONEFILE_WINDOWS_BUILD_DIR) / "tests" / "apps" / built, app / name);
}

const refusal refusals[] = {
    {"missing_app_folder", [](const fs::path &) {}, "main.dll", "does not exist", {}},
    {"app_folder_that_is_a_file", [](const fs::path &app) { write_file(app, "x"); }, "main.dll", "is not a folder", {}},
    {"app_folder_without_files", [](const fs::path &app) { fs::create_directories(app / "sub"); }, "main.dll",
     "holds no files", {}},
    {"missing_main_dll", [](const fs::path &app) { write_file(app / "other.dll", "MZ"); }, "main.dll",
     "is not a file at the top", {}},
    {"main_dll_in_a_subfolder", [](const fs::path &app) { write_file(app / "sub" / "main.dll", "MZ"); },
     "sub/main.dll", "is not a file at the top", {}},
    {"main_dll_that_is_a_folder", [](const fs::path &app) { write_file(app / "main.dll" / "x", "MZ"); }, "main.dll",
     "is not a file at the top", {}},
    {"names_that_differ_only_in_case",
     [](const fs::path &app) {
         with_main(app);
         write_file(app / "data" / "Notes.txt", "1");
         write_file(app / "data" / "notes.txt", "2");
     },
     "main.dll", "differ only in letter case", {}},
    {"name_reserved_for_a_device", [](const fs::path &app) { write_file(app / "lib" / "aux.c", "x"); }, "main.dll",
     "reserves the name AUX", {}},
    {"main_dll_that_is_text", [](const fs::path &app) { write_file(app / "main.dll", "text"); }, "main.dll",
     "'main.dll': it is not a Windows executable or DLL", {}},
    {"main_dll_without_run_code", [](const fs::path &app) { with_built(app, "no_entry_app.dll", "main.dll"); },
     "main.dll", "'main.dll': it does not export run_code", {}},
    {"program_that_is_a_dll", [](const fs::path &app) { with_built(app, "probe_app.dll", "prog.exe"); },
     "prog.exe", "'prog.exe': it is a DLL, not an executable", {}},
    {"symbolic_link_to_a_file",
     [](const fs::path &app) {
         with_main(app);
         fs::create_symlink("main.dll", app / "link.dll");
     },
     "main.dll", "symbolic link", {}},
    {"symbolic_link_to_a_folder",
     [](const fs::path &app) {
         with_main(app);
         fs::create_directories(app / "real");
         fs::create_directories(app / "sub");
         fs::create_directory_symlink("../real", app / "sub" / "link");
     },
     "main.dll", "symbolic link", {}},
    {"fifo",
     [](const fs::path &app) {
         with_main(app);
         ASSERT_EQ(::mkfifo((app / "pipe").c_str(), 0600), 0);
     },
     "main.dll", "not a regular file", {}},
    {"socket",
     [](const fs::path &app) {
         with_main(app);
         make_socket(app / "socket");
     },
     "main.dll", "not a regular file", {}},
    {"backslash_in_a_name",
     [](const fs::path &app) {
         with_main(app);
         write_file(app / "a\\b.txt", "x");
     },
     "main.dll", "'\\'", {}},
    {"name_that_is_not_utf8",
     [](const fs::path &app) {
         with_main(app);
         write_file(app / "caf\xE9.txt", "x");
     },
     "main.dll", "UTF-8", {}},
    {"splash_that_is_not_png", with_main, "main.dll", "not a PNG", {"--splash", "app/main.dll"}},
    {"splash_that_does_not_decode",
     [](const fs::path &app) {
         with_main(app);
         write_file(app.parent_path() / "cut.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16));
     },
     "main.dll", "cut.png' cannot be decoded", {"--splash", "cut.png"}},
    {"icon_that_is_not_ico", with_main, "main.dll", "not an .ico", {"--icon", "app/main.dll"}},
};

class refused_input : public testing::TestWithParam<refusal> {};

} // namespace

TEST_P(refused_input, gives_one_error_line_and_leaves_the_named_outputs_as_they_were)
{
    const refusal &input = GetParam();
    scratch_folder scratch;
    const fs::path app = scratch.path() / "app";
    const fs::path out = scratch.path() / "out";
    // -o names the previous build, --write-attached-data a file yet to be made.
    write_file(out / "app.exe", "the previous build");
    fs::create_directories(app.parent_path());
    input.prepare(app);

    std::vector<std::string> arguments{"--runtime-dir", built_runtime().string(), "--main",
                                       input.main_name, "-o", (out / "app.exe").string(),
                                       "--write-attached-data", (out / "app.bin").string()};
    for (std::size_t i = 0; i < input.extra_arguments.size(); ++i)
        arguments.push_back(i % 2 ? (scratch.path() / input.extra_arguments[i]).string() : input.extra_arguments[i]);
    arguments.push_back(app.string());
    const process_result result = run_onefile_pack(arguments, scratch.path());

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(is_one_error_line(result.error_output)) << result.error_output;
    EXPECT_NE(result.error_output.find(input.expected), std::string::npos) << result.error_output;
    EXPECT_EQ(read_file(out / "app.exe"), "the previous build");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), 1) << "no app.bin, no temporary file";
}

INSTANTIATE_TEST_SUITE_P(command_line, refused_input, testing::ValuesIn(refusals),
                         [](const testing::TestParamInfo<refusal> &param) { return param.param.name; });

TEST(command_line, unreadable_file_is_refused_and_leaves_nothing_behind)
{
    scratch_folder scratch;
    with_built(scratch.path() / "app", "probe_app.dll", "main.dll");
    write_file(scratch.path() / "app" / "secret", "x");
    fs::permissions(scratch.path() / "app" / "secret", fs::perms::none);
    fs::create_directories(scratch.path() / "out");
    // Root reads every file: the packer then runs as nobody, who owns the rest.
    std::vector<std::string> as_nobody;
    if (::geteuid() == 0) {
        ASSERT_EQ(std::system(("chown -R 65534:65534 " + scratch.path().string()).c_str()), 0);
        as_nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }

    const process_result result = run_onefile_pack(
        {"--main", "main.dll", "--write-attached-data", (scratch.path() / "out" / "app.bin").string(),
         (scratch.path() / "app").string()},
        scratch.path() / "out", {}, as_nobody);

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(is_one_error_line(result.error_output)) << result.error_output;
    EXPECT_NE(result.error_output.find("cannot read '"), std::string::npos) << result.error_output;
    EXPECT_TRUE(fs::is_empty(scratch.path() / "out"));
}

TEST(command_line, object_that_was_not_made_by_the_packer_is_refused)
{
    scratch_folder scratch;
    write_file(scratch.path() / "object", "QVY not really");
    fs::create_directories(scratch.path() / "out");

    const process_result result =
        run_onefile_pack({"--runtime-dir", built_runtime().string(), "--attached-data",
                          (scratch.path() / "object").string(), "-o", (scratch.path() / "out" / "app.exe").string()},
                         scratch.path());

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(is_one_error_line(result.error_output)) << result.error_output;
    EXPECT_TRUE(fs::is_empty(scratch.path() / "out"));
}

TEST(command_line, missing_runtime_says_how_to_name_one)
{
    scratch_folder scratch;
    write_file(scratch.path() / "app" / "main.dll", "MZ");
    const process_result result =
        run_onefile_pack({"--runtime-dir", (scratch.path() / "nowhere").string(), "--main", "main.dll", "-o",
                          (scratch.path() / "app.exe").string(), (scratch.path() / "app").string()},
                         scratch.path());

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(is_one_error_line(result.error_output)) << result.error_output;
    EXPECT_NE(result.error_output.find("--runtime-dir"), std::string::npos) << result.error_output;
}

TEST(command_line, bad_command_lines_exit_with_status_2_and_one_line)
{
    scratch_folder scratch;
    write_file(scratch.path() / "app" / "main.dll", "MZ");
    const std::string app = (scratch.path() / "app").string();
    const std::string object = (scratch.path() / "app.bin").string();
    const std::vector<std::vector<std::string>> command_lines = {
        {"--main", "main.dll", "--level", "0", "--write-attached-data", object, app},
        {"--main", "main.dll", "--level", "23", "--write-attached-data", object, app},
        {"--main", "main.dll", app},
        {"--write-attached-data", object, app},
        {"--main", "main.dll", "--splash", "s.png", "--write-attached-data", object, app},
        {"--attached-data", object, "--main", "main.dll", "-o", "app.exe"},
        {"--main", "main.dll", "--no-such-option", "--write-attached-data", object, app},
        {"--main", "main.dll", "--resign", "--write-attached-data", object, app},
        {"--main", "main.dll", "--sign-command", "signtool sign", "--write-attached-data", object, app},
    };
    for (const std::vector<std::string> &arguments : command_lines) {
        const process_result result = run_onefile_pack(arguments, scratch.path());
        EXPECT_EQ(result.status, 2) << result.error_output;
        EXPECT_TRUE(is_one_error_line(result.error_output)) << result.error_output;
    }
    EXPECT_FALSE(fs::exists(object));
}

TEST(command_line, success_prints_one_summary_line_and_leaves_only_the_output)
{
    scratch_folder scratch;
    with_built(scratch.path() / "app", "probe_app.dll", "main.dll");
    write_file(scratch.path() / "app" / "data" / "x.txt", noise(1000, 1));
    fs::create_directories(scratch.path() / "out");
    fs::create_directories(scratch.path() / "temp");
    const std::vector<std::string> arguments{"--main", "main.dll", "--write-attached-data",
                                             (scratch.path() / "out" / "app.bin").string(),
                                             (scratch.path() / "app").string()};

    const process_result result = run_onefile_pack(arguments, scratch.path() / "temp");
    EXPECT_EQ(result.status, 0) << result.error_output;
    EXPECT_EQ(result.error_output.rfind("onefile-pack: packed 2 files, ", 0), 0u) << result.error_output;
    EXPECT_EQ(result.error_output.find('\n'), result.error_output.size() - 1) << "progress went to a non-terminal";
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path() / "out"), {}), 1);
    EXPECT_TRUE(fs::is_empty(scratch.path() / "temp"));

    std::vector<std::string> quiet = arguments;
    quiet.insert(quiet.begin(), "--quiet");
    EXPECT_EQ(run_onefile_pack(quiet, scratch.path() / "temp").error_output, "");
}

TEST(command_line, a_dll_that_neither_the_folder_nor_windows_holds_is_named_in_a_warning)
{
    scratch_folder scratch;
    const fs::path app = scratch.path() / "app";
    fs::create_directories(app);
    fs::copy_file(fs::path(ONEFILE_WINDOWS_BUILD_DIR) / "examples" / "lua_host.dll", app / "lua_host.dll");
    const std::vector<std::string> arguments{"--quiet", "--main", "lua_host.dll", "--write-attached-data",
                                             (scratch.path() / "app.bin").string(), app.string()};

    process_result result = run_onefile_pack(arguments, scratch.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.error_output, "onefile-pack: warning: lua_host.dll imports lua54.dll, which is neither beside "
                                   "it nor part of Windows\n");

    fs::copy_file(fs::path(ONEFILE_WINDOWS_BUILD_DIR) / "lua54.dll", app / "lua54.dll");
    result = run_onefile_pack(arguments, scratch.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.error_output, "");
}

TEST(command_line, ctrl_c_while_packing_leaves_nothing_behind)
{
    scratch_folder scratch;
    const fs::path app = scratch.path() / "app", out = scratch.path() / "out";
    with_built(app, "probe_app.dll", "main.dll");
    write_file(app / "noise.bin", noise(16u << 20, 9)); // seconds of work at level 22
    fs::create_directories(out);
    const fs::path error_file = scratch.path() / "error.txt";

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::freopen(error_file.c_str(), "w", stderr);
        ::execl(ONEFILE_PACK_BINARY, "onefile-pack", "--level", "22", "--main", "main.dll", "-o",
                (out / "app.exe").c_str(), app.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // Its temporary files appear once the folder has been read.
    for (int i = 0; i < 1000 && fs::is_empty(out); ++i)
        ::usleep(10000);
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(read_file(error_file), "onefile-pack: error: interrupted; nothing was written\n");
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(command_line, an_output_that_is_an_input_or_lies_in_the_application_folder_is_refused_by_identity)
{
    scratch_folder scratch;
    const fs::path app = scratch.path() / "app", elsewhere = scratch.path() / "elsewhere";
    with_built(app, "probe_app.dll", "main.dll");
    write_file(scratch.path() / "splash.png", "picture");
    write_file(scratch.path() / "app.ico", "icon");
    write_file(scratch.path() / "app.qvd", "object");
    fs::create_directories(elsewhere);
    fs::create_hard_link(scratch.path() / "app.ico", elsewhere / "icon-link.ico");
    fs::create_directory_symlink(app, elsewhere / "app-link");
    fs::create_symlink(app / "main.dll", elsewhere / "main-link.exe");
    const auto at = [&](const char *relative) { return (scratch.path() / relative).string(); };
    const std::vector<std::string> packing{"--runtime-dir", built_runtime().string(), "--main", "main.dll",
                                           "--splash", at("splash.png"), "--icon", at("app.ico")};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", at("app/main.dll"), app.string()}, "lies inside the application folder"},
        {{"-o", at("elsewhere/../app/sub/new.exe"), app.string()}, "lies inside the application folder"},
        {{"-o", at("elsewhere/app-link/new.exe"), app.string()}, "lies inside the application folder"},
        {{"-o", at("elsewhere/main-link.exe"), app.string()}, "lies inside the application folder"},
        {{"-o", at("out.exe"), "--write-attached-data", at("app/app.qvd"), app.string()},
         "lies inside the application folder"},
        {{"-o", at("splash.png"), app.string()}, "is the --splash file"},
        {{"-o", at("elsewhere/icon-link.ico"), app.string()}, "is the --icon file"},
        {{"-o", at("elsewhere/../out.exe"), "--write-attached-data", at("out.exe"), app.string()},
         "is the -o file"},
        {{"--attached-data", at("app.qvd"), "-o", at("elsewhere/../app.qvd")}, "is the --attached-data file"},
    };
    for (const auto &[arguments, expected] : cases) {
        std::vector<std::string> all = arguments;
        if (arguments[0] != "--attached-data")
            all.insert(all.begin(), packing.begin(), packing.end());
        else
            all.insert(all.begin(), {"--runtime-dir", built_runtime().string()});
        const process_result result = run_onefile_pack(all, scratch.path());
        EXPECT_EQ(result.status, 1) << arguments[1];
        EXPECT_TRUE(is_one_error_line(result.error_output)) << result.error_output;
        EXPECT_NE(result.error_output.find(expected), std::string::npos) << result.error_output;
    }
    EXPECT_EQ(read_file(scratch.path() / "splash.png"), "picture");
    EXPECT_EQ(read_file(scratch.path() / "app.ico"), "icon");
    EXPECT_EQ(read_file(scratch.path() / "app.qvd"), "object");
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(app), {}), 1) << "app holds main.dll alone";
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 5) << "no output beside the inputs";
}
