/*
** zstd's command-line tool and the Lua interpreter, packed by onefile-pack
** as programs, as a GUI and as a console executable. Every command runs
** twice: packed, and started directly from the very folder that was packed,
** each time in a work folder of its own holding the same files. Statuses,
** output and the files left behind must be the same, and the private TEMP
** empty afterwards.
*/
#include <gtest/gtest.h>

#include "attached_data_builder.h"
#include "run_process.h"

namespace {

struct command {
    std::wstring arguments;
    std::optional<std::string> input;   /* through a pipe; NUL without */
};

class PackedProgram : public in_scratch_folder<testing::TestWithParam<const char *>> {
protected:
    /* Runs the commands one after the other in `work`, filled with `files`. */
    std::vector<process_result> run_all(const std::wstring &program, const std::wstring &work,
                                        const file_entries &files,
                                        const std::vector<command> &commands)
    {
        remove_tree(work);
        CreateDirectoryW(work.c_str(), NULL);
        for (const auto &file : files) {
            std::wstring path = work + L"\\" + file.first;
            CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), NULL);
            write_file(path, file.second);
        }
        std::vector<process_result> results;
        for (const command &c : commands) {
            process_options run;
            run.command_line = quote_argument(program) + L" " + c.arguments;
            run.current_directory = work;
            run.input = c.input;
            as_fresh_start(run, temp);
            results.push_back(run_process(run));
            EXPECT_FALSE(results.back().timed_out) << utf8(c.arguments);
            EXPECT_EQ(list_folder(temp), std::vector<std::wstring>()) << utf8(c.arguments);
        }
        return results;
    }

    /* Runs `program` (zstd or lua) packed and directly; expects the same of
    ** both, and returns what the packed one did. */
    std::vector<process_result> run_like_a_direct_start(const std::wstring &program,
                                                        const file_entries &files,
                                                        const std::vector<command> &commands)
    {
        std::wstring programs = ONEFILE_PROGRAMS_DIR;
        std::wstring packed = programs + L"\\" + program + L"-" + utf16(GetParam()) + L".exe";
        std::wstring direct = programs + L"\\" + program + L"_folder\\" + program + L".exe";
        std::wstring packed_work = folder + L"\\packed", direct_work = folder + L"\\direct";
        std::vector<process_result> packed_results = run_all(packed, packed_work, files, commands);
        std::vector<process_result> direct_results = run_all(direct, direct_work, files, commands);
        for (size_t i = 0; i < commands.size(); i++) {
            std::string arguments = utf8(commands[i].arguments);
            EXPECT_EQ(packed_results[i].exit_code, direct_results[i].exit_code) << arguments;
            EXPECT_EQ(packed_results[i].out, direct_results[i].out) << arguments;
            EXPECT_EQ(packed_results[i].err, direct_results[i].err) << arguments;
        }
        std::vector<std::wstring> left = list_files(packed_work);
        EXPECT_EQ(left, list_files(direct_work));
        for (const std::wstring &name : left)
            EXPECT_EQ(read_file(packed_work + L"\\" + name), read_file(direct_work + L"\\" + name))
                << utf8(name);
        return packed_results;
    }

};

class PackedZstd : public PackedProgram {};
class PackedLua : public PackedProgram {};

std::string text(int lines)
{
    std::string out;
    for (int i = 0; i < lines; i++)
        out += "line " + std::to_string(i) + " of some text that compresses well\n";
    return out;
}

TEST_P(PackedZstd, compresses_and_decompresses_files_with_blanks_and_accents_in_their_names)
{
    const std::string first = text(500), second = text(20);
    std::vector<process_result> results = run_like_a_direct_start(
        L"zstd",
        {{L"caf\u00e9 \u00fc.txt", first}, {L"b c.txt", second}, {L"plain.txt", "plain\n"},
         {L"out dir\\keep.txt", ""}},
        {{L"-q \"caf\u00e9 \u00fc.txt\" \"b c.txt\" plain.txt"},
         {L"-d -q \"caf\u00e9 \u00fc.txt.zst\" -o \"out dir\\back \u00e9.txt\""}});
    EXPECT_EQ(results[0].exit_code, 0u) << results[0].err;
    EXPECT_EQ(results[1].exit_code, 0u) << results[1].err;
    std::wstring work = folder + L"\\packed";
    EXPECT_EQ(read_file(work + L"\\out dir\\back \u00e9.txt"), first);
    EXPECT_TRUE(path_exists(work + L"\\b c.txt.zst"));
    EXPECT_TRUE(path_exists(work + L"\\plain.txt.zst"));
}

TEST_P(PackedZstd, compresses_and_decompresses_from_standard_input_to_standard_output)
{
    const std::string original = text(2000);
    std::vector<process_result> compressed =
        run_like_a_direct_start(L"zstd", {}, {{L"-q -c", original}});
    ASSERT_EQ(compressed[0].exit_code, 0u) << compressed[0].err;
    EXPECT_EQ(compressed[0].out.substr(0, 4), "\x28\xb5\x2f\xfd") << "a zstd frame, unchanged";
    EXPECT_LT(compressed[0].out.size(), original.size() / 10);
    std::vector<process_result> decompressed =
        run_like_a_direct_start(L"zstd", {}, {{L"-d -q -c", compressed[0].out}});
    EXPECT_EQ(decompressed[0].exit_code, 0u) << decompressed[0].err;
    EXPECT_EQ(decompressed[0].out, original);
}

TEST_P(PackedZstd, reports_errors_and_help_with_the_statuses_of_a_direct_start)
{
    frame_options checked;
    checked.checksum = true;
    std::string damaged = compress_frame(text(300), checked);
    damaged[damaged.size() / 2] ^= 0x55;
    std::vector<process_result> results = run_like_a_direct_start(
        L"zstd", {{L"damaged.zst", damaged}, {L"f.txt", "f\n"}},
        {{L"-t damaged.zst"}, {L"--help"}, {L"--no-such-option"}, {L"-q \"\" f.txt"}});
    EXPECT_NE(results[0].exit_code, 0u);
    EXPECT_NE(results[0].err.find("damaged.zst"), std::string::npos) << results[0].err;
    EXPECT_EQ(results[1].exit_code, 0u);
    EXPECT_NE(results[1].out.find("Usage"), std::string::npos) << results[1].out;
    EXPECT_NE(results[2].exit_code, 0u);
    EXPECT_EQ(results[2].err.rfind("Incorrect parameter", 0), 0u) << results[2].err;
    EXPECT_EQ(results[3].exit_code, 1u) << "the empty name is an argument, and no such file";
}

TEST_P(PackedLua, runs_a_script_with_its_arguments_and_a_module_packed_beside_it)
{
    std::vector<process_result> results = run_like_a_direct_start(
        L"lua",
        {{L"script.lua", "local greeting = require 'greeting'\n"
                         "print(greeting.hello(arg[1]))\n"
                         "for i = 1, #arg do print(i, '[' .. arg[i] .. ']') end\n"}},
        {{L"script.lua Ada \"two words\" \"\" \"say \\\"hi\\\"\" back\\\\slash"}});
    EXPECT_EQ(results[0].exit_code, 0u) << results[0].err;
    EXPECT_EQ(results[0].out, "Hello, Ada!\r\n1\t[Ada]\r\n2\t[two words]\r\n3\t[]\r\n"
                              "4\t[say \"hi\"]\r\n5\t[back\\\\slash]\r\n");
}

TEST_P(PackedLua, ends_with_the_status_that_os_exit_asks_for)
{
    std::vector<process_result> results = run_like_a_direct_start(
        L"lua", {},
        {{L"-e os.exit(0)"}, {L"-e os.exit(3)"}, {L"-e os.exit(259)"},
         {L"-e os.exit(0xC000013A)"}});
    EXPECT_EQ(results[0].exit_code, 0u);
    EXPECT_EQ(results[1].exit_code, 3u);
    EXPECT_EQ(results[2].exit_code, 259u);
    EXPECT_EQ(results[3].exit_code, 0xC000013Au);
}

TEST_P(PackedLua, runs_a_script_that_reads_standard_input)
{
    std::vector<process_result> results = run_like_a_direct_start(
        L"lua",
        {{L"upper.lua", "local text = io.read('a')\n"
                        "io.write(text:upper())\n"
                        "io.stderr:write(#text, ' bytes\\n')\n"}},
        {{L"upper.lua", std::string("one\ntwo\n")}});
    EXPECT_EQ(results[0].exit_code, 0u) << results[0].err;
    EXPECT_EQ(results[0].out, "ONE\r\nTWO\r\n");
    EXPECT_EQ(results[0].err, "8 bytes\r\n");
}

/* The interpreter packed with its script and a first argument fixed by
** --arg: they come right after argument 0, before the user's arguments,
** quoted as needed, with {APP_DIR} the folder that this start unpacked to. */
TEST(PackedTool, fixed_arguments_come_first_with_the_unpack_folder_in_them)
{
    std::wstring folder = test_scratch_folder(), temp = folder + L"\\temp";
    const std::pair<const wchar_t *, const char *> modes[] = {{L"per_run", "\\onefile_"},
                                                              {L"cached", "\\lua tool\\"}};
    for (const auto &[mode, unpack_folder] : modes) {
        process_options run;
        run.command_line = quote_argument(std::wstring(ONEFILE_PROGRAMS_DIR) + L"\\lua-tool-" + mode + L".exe")
                         + L" Ada \"two words\" \"\"";
        run.current_directory = folder;
        as_fresh_start(run, temp);
        process_result result = run_process(run);
        ASSERT_EQ(result.exit_code, 0u) << result.err;
        std::string script = result.out.substr(0, result.out.find("\r\n"));
        EXPECT_EQ(script.rfind(utf8(temp) + unpack_folder, 0), 0u) << script;
        EXPECT_EQ(script.substr(script.rfind('\\')), "\\tool.lua") << script;
        EXPECT_EQ(result.out.substr(script.size()),
                  "\r\n1\t[-fixed \"one\"]\r\n2\t[Ada]\r\n3\t[two words]\r\n4\t[]\r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Executables, PackedZstd, testing::Values("gui", "console"));
INSTANTIATE_TEST_SUITE_P(Executables, PackedLua, testing::Values("gui", "console"));

} // namespace
