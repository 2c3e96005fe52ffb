/*
** The attached data through the real bootstrap: objects made here are
** written into a copy of the patchable bootstrap, which is then started as
** a user would start a packed executable. And the packer's file positions,
** where a long has 32 bits.
*/
#include <gtest/gtest.h>

#include <random>

#include "attached_data/file_writer.h"
#include "attached_data_builder.h"
#include "entry_name_cases.h"
#include "file_position.h"
#include "run_process.h"

namespace {

std::string random_bytes(size_t length, unsigned seed)
{
    std::mt19937 random(seed);
    std::string out(length, '\0');
    for (char &c : out)
        c = (char)(random() % 7 == 0 ? random() : 'a' + random() % 3);
    return out;
}

class AttachedData : public in_scratch_folder<> {
protected:
    process_options options(const std::wstring &arguments = L"")
    {
        process_options run;
        run.command_line = quote_argument(executable) + (arguments.empty() ? L"" : L" " + arguments);
        use_temp_folder(run, temp);
        run.environment[L"PROBE_REPORT"] = folder + L"\\report.txt";
        return run;
    }

    /* Runs the bootstrap carrying `object`; while the application holds,
    ** records the unpack directory's files and contents. */
    process_result run_and_capture(const std::string &object)
    {
        write_patched_bootstrap(executable, object);
        process_options run = options();
        std::wstring ready = folder + L"\\ready.txt";
        std::wstring hold = folder + L"\\release.txt";
        run.environment[L"PROBE_READY"] = ready;
        run.environment[L"PROBE_HOLD"] = hold;
        running_process started = start_process(run);
        if (wait_for_file(ready, 60000)) {
            /* Right after the rename Wine may still refuse to share the file. */
            std::wstring library;
            for (int i = 0; i < 500 && library.empty(); i++, Sleep(10))
                library = utf16(read_file(ready));
            unpack_directory = library.substr(0, library.rfind(L'\\'));
        }
        if (unpack_directory.empty()) {
            ADD_FAILURE() << "no unpack directory reported";
        } else {
            for (const std::wstring &name : list_files(unpack_directory))
                unpacked[name] = read_file(unpack_directory + L"\\" + name);
        }
        write_file(hold, "");
        return finish_process(started, 60000);
    }

    std::wstring unpack_directory;
    std::map<std::wstring, std::string> unpacked;
};

TEST_F(AttachedData, every_file_of_a_tree_is_written_byte_for_byte)
{
    file_entries entries = {
        {L"probe_app.dll", probe_library()},
        {L"a\\b.txt", "abc"},
        {L"empty.txt", ""},
        {L"deep\\er\\still\\large.bin", random_bytes(300000, 1)},
        {L"\u00fcn\u00efc\u00f6d\u00e9\\\u65e5\u672c\u8a9e \U0001F600.txt", "unicode"},
        {L"after_empty\\empty_too.txt", ""},
    };
    for (int i = 0; i < 150; i++)
        entries.push_back({L"many\\f" + std::to_wstring(i) + L".txt", std::string(i, (char)('A' + i % 26))});

    process_result result = run_and_capture(make_object(entries));
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    std::map<std::wstring, std::string> expected(entries.begin(), entries.end());
    EXPECT_TRUE(unpacked == expected) << unpacked.size() << " files unpacked, "
                                      << expected.size() << " expected";
    EXPECT_FALSE(path_exists(unpack_directory)) << "removed after the run";
    EXPECT_TRUE(list_folder(temp).empty()) << "nothing left in TEMP";
}

TEST_F(AttachedData, frames_made_other_ways_decode_alike)
{
    std::string content = encode_entries({{L"probe_app.dll", probe_library()},
                                          {L"data\\x.bin", random_bytes(200000, 2)}});
    frame_options with_size;
    with_size.content_size = true;
    size_t half = content.size() / 2;
    const std::pair<const char *, std::string> objects[] = {
        {"content size", wrap_object(compress_frame(content, with_size))},
        {"two frames", wrap_object(compress_frame(content.substr(0, half))
                                   + compress_frame(content.substr(half)))},
        {"skippable frame first", wrap_object(skippable_frame(100) + compress_frame(content))},
    };
    for (const auto &object : objects) {
        process_options run = options();
        run.environment[L"PROBE_EXIT"] = L"5";
        write_patched_bootstrap(executable, object.second);
        process_result result = run_process(run);
        EXPECT_EQ(result.exit_code, 5u) << object.first << ": " << result.out << result.err;
    }
}

/* Whatever was written before the damage showed is removed again. */
TEST_F(AttachedData, damaged_or_oversized_frames_fail_with_the_decode_message_and_leave_nothing)
{
    std::string content = encode_entries({{L"probe_app.dll", probe_library()},
                                          {L"x.bin", random_bytes(50000, 3)}});
    std::string frame = compress_frame(content);
    frame_options wide_window;
    wide_window.window_log = 28;
    std::string reserved_block = frame;
    reserved_block[6] = (char)(reserved_block[6] | 0x06);
    std::string checked = frame;
    checked[checked.size() - 1] ^= 0x01;
    std::mt19937 random(4);
    std::string noise(100000, '\0');
    for (char &c : noise)
        c = (char)random();
    std::string stored = compress_frame(encode_entries({{L"probe_app.dll", probe_library()}, {L"x.bin", noise}}));
    /* Bytes stored as they are decode without error; only the checksum sees the flip. */
    stored[stored.size() - 1000] ^= 0x10;
    frame_options unchecked;
    unchecked.checksum = false;

    const std::pair<const char *, std::string> objects[] = {
        {"window log 28", wrap_object(compress_frame(content, wide_window))},
        {"reserved block type", wrap_object(reserved_block)},
        {"wrong checksum", wrap_object(checked)},
        {"a flip in stored bytes", wrap_object(stored)},
        {"no checksum", wrap_object(compress_frame(content, unchecked))},
        {"truncated frame", wrap_object(frame.substr(0, frame.size() / 2))},
        {"content without end marker",
         wrap_object(compress_frame(content.substr(0, content.size() - 2)))},
        {"no frame at all", wrap_object("")},
    };
    for (const auto &object : objects) {
        write_patched_bootstrap(executable, object.second);
        process_result result = run_process(options());
        EXPECT_EQ(result.exit_code, 2u) << object.first;
        EXPECT_EQ(result.out, "Error, couldn't decode attached data.\r\n") << object.first;
        EXPECT_EQ(result.err, "") << object.first;
        EXPECT_TRUE(list_folder(temp).empty()) << object.first;
    }
}

TEST_F(AttachedData, a_wrong_header_is_reported_on_standard_output_before_anything_is_written)
{
    std::string good = make_object({{L"probe_app.dll", probe_library()}});
    for (std::string bad : {"QX" + good.substr(2), "QVZ" + good.substr(3), "QVN" + good.substr(3)}) {
        write_patched_bootstrap(executable, bad);
        process_result result = run_process(options());
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, "Error, couldn't find attached data header.\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(list_folder(temp).empty());
    }
}

TEST_F(AttachedData, an_end_marker_alone_unpacks_nothing_and_runs_nothing)
{
    write_patched_bootstrap(executable, make_object({}));
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, attached data holds no application to run.\r\n")
        << "the child must not start yet another copy";
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(AttachedData, a_target_that_cannot_be_opened_stops_the_run_and_removes_the_directory)
{
    /* "d" is written as a file, so "d\x.txt" cannot be created. */
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {L"d", "a file"},
                                                     {L"d\\x.txt", "never written"},
                                                     {L"later.txt", "never written"}}));
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    std::string start = "Error, failed to open '" + utf8(temp) + "\\onefile_", end = "\\d\\x.txt' for writing.\r\n";
    EXPECT_EQ(result.err.rfind(start, 0), 0u) << result.err;
    EXPECT_EQ(result.err.find(end), result.err.size() - end.size()) << result.err;
    EXPECT_TRUE(list_folder(temp).empty());
}

/* The names of the one table the packer's readers meet as well, and names
** that the file system takes for one another: each refused before the
** first file is written, with nothing left behind. */
TEST_F(AttachedData, one_table_of_names_holds_before_anything_is_written)
{
    const auto runs = [&](const file_entries &named) {
        file_entries entries = {{L"probe_app.dll", probe_library()}, {L"first.txt", "written before"}};
        entries.insert(entries.end(), named.begin(), named.end());
        write_patched_bootstrap(executable, make_object(entries));
        process_result result = run_process(options());
        if (result.exit_code != 0) {
            EXPECT_EQ(result.exit_code, 2u);
            EXPECT_EQ(result.out, "Error, attached data holds an unsafe file name.\r\n");
        }
        EXPECT_TRUE(list_folder(temp).empty());
        return result.exit_code == 0;
    };
    for (const entry_name_case &entry : entry_name_cases) {
        const std::wstring name(entry.name, entry.name + std::char_traits<char16_t>::length(entry.name));
        EXPECT_EQ(runs({{name, "x"}}), entry.accepted) << utf8(name);
    }
    for (const auto &pair : entry_name_collisions) {
        const std::wstring first(pair[0], pair[0] + std::char_traits<char16_t>::length(pair[0]));
        const std::wstring second(pair[1], pair[1] + std::char_traits<char16_t>::length(pair[1]));
        EXPECT_FALSE(runs({{first, "1"}, {second, "2"}})) << utf8(first);
    }
    EXPECT_FALSE(runs({{L"PROBE_APP.DLL", "replaces the main library"}}));
    EXPECT_FALSE(runs({{L"first.txt", "a second time"}}));
}

/* A name of `length` units in components short enough for any file system. */
std::wstring long_name(size_t length)
{
    std::wstring name;
    while (name.size() < length)
        name += (name.size() % 100 == 99) ? L'\\' : L'n';
    if (name.back() == L'\\')
        name.back() = L'n';
    return name;
}

TEST_F(AttachedData, an_overlong_name_stops_the_run_before_it_is_written)
{
    /* Beyond MAX_PATH: Windows without the long-path setting creates these
    ** folders and the file only through the extended-length ("\\?\") form.
    ** Wine accepts either, so the form is asserted where the one writer
    ** gives the system the path. */
    std::wstring path = folder + L"\\" + long_name(400);
    EXPECT_EQ(std::wstring(open_unpack_file(path.c_str(), path.c_str())), L"\\\\?\\" + path);
    write_unpack_bytes("fits", 4);
    close_unpack_file(false);
    EXPECT_EQ(read_file(path), "fits");
    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {long_name(1023), "fits"}}));
    EXPECT_EQ(run_process(options()).exit_code, 0u) << "1023 units is the longest name";

    write_patched_bootstrap(executable, make_object({{L"probe_app.dll", probe_library()},
                                                     {long_name(1024), "too long"}}));
    process_result result = run_process(options());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, attached data holds a file name longer than 1023 characters.\r\n");
}

/* std::fseek takes a long, which has 32 bits here. Wine writes a sparse
** file; NTFS would fill the 4 GiB before the bytes. */
TEST(FilePosition, positions_past_4_gib_are_reached_exactly)
{
    FILE *file = _wfopen((test_scratch_folder() + L"\\sparse").c_str(), L"w+b");
    ASSERT_NE(file, nullptr);
    const std::uint64_t beyond = (std::uint64_t{4} << 30) + 8;
    EXPECT_TRUE(seek_to(file, beyond));
    EXPECT_EQ(std::fwrite("far", 1, 3, file), 3u);
    char bytes[3] = {};
    EXPECT_EQ(_fseeki64(file, -3, SEEK_END), 0);
    EXPECT_EQ(_ftelli64(file), (__int64)beyond);
    EXPECT_EQ(std::fread(bytes, 1, 3, file), 3u);
    EXPECT_EQ(std::string(bytes, 3), "far");
    std::fclose(file);
}

} // namespace
