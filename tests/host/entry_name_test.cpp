// Stored names: what a Linux file name becomes on Windows, and the one rule
// of names that every reader of them applies (tests/entry_name_cases.h).
#include "app_folder.h"
#include "attached_data.h"
#include "entry_encoding.h"
#include "entry_name_cases.h"
#include "executable_writer.h"
#include "file_io.h"
#include "pack_error.h"
#include "packed_executable.h"
#include "resource_section.h"
#include "test_support.h"
#include "utf16.h"

#include <gtest/gtest.h>

namespace {

const progress_callback no_progress = [](const pack_progress &) {};

// The name as a path below a Linux folder, or empty when no Linux folder
// holds a file of that name (a slash in it, an empty, "." or ".." part).
fs::path linux_path(const std::u16string &name)
{
    fs::path path;
    std::size_t start = 0;
    for (std::size_t end = 0; end <= name.size(); ++end) {
        if (end < name.size() && name[end] != u'\\')
            continue;
        const std::u16string part = name.substr(start, end - start);
        if (part.empty() || part == u"." || part == u".." || part.find(u'/') != std::u16string::npos)
            return {};
        path /= path_from_utf8(utf8_text(part));
        start = end + 1;
    }
    return path;
}

// Whether the readers of packed data take an object whose files after
// main.dll have these names: --attached-data's check, --list and --extract.
struct packed_verdicts {
    bool checked, listed, extracted;
};

packed_verdicts packed_verdicts_of(const std::vector<std::u16string> &names, const fs::path &scratch)
{
    write_file(scratch / "content", "x");
    std::vector<app_file> files{{scratch / "content", u"main.dll", 1}};
    for (const std::u16string &name : names)
        files.push_back({scratch / "content", name, 1});
    const fs::path object = scratch / "object";
    const attached_data_summary summary = write_attached_data(files, 1, 1, object, no_progress);
    packed_verdicts verdicts{true, true, true};
    try {
        check_attached_data(object);
    } catch (const pack_error &) {
        verdicts.checked = false;
    }
    // The executable as a packer that checks nothing would write it.
    const pe_image image = parse_pe_image(
        read_whole_file(fs::path(ONEFILE_BUILT_RUNTIME_DIR) / "template-gui.exe", "template"));
    const file_handle in = open_file(object, "rb");
    const file_handle out = open_file(scratch / "app.exe", "wb");
    executable_parts parts;
    parts.object = in.get();
    parts.object_size = summary.length;
    parts.resource_section = [](std::uint32_t rva) { return build_resource_section({}, rva); };
    write_executable(image, parts, out.get());
    std::fflush(out.get());
    const file_handle listing = open_file("/dev/null", "w");
    try {
        list_packed_executable(scratch / "app.exe", listing.get());
    } catch (const pack_error &) {
        verdicts.listed = false;
    }
    std::error_code error;
    fs::remove_all(scratch / "files", error);
    try {
        extract_packed_executable(scratch / "app.exe", scratch / "files");
    } catch (const pack_error &) {
        verdicts.extracted = false;
    }
    return verdicts;
}

} // namespace

TEST(entry_name, folders_are_joined_with_backslashes_not_slashes)
{
    EXPECT_EQ(entry_name("a/b/c.txt"), u"a\\b\\c.txt");
}

TEST(entry_name, utf8_becomes_utf16_with_surrogate_pairs_beyond_the_bmp)
{
    // é is U+00E9, 日 U+65E5, 😀 U+1F600 (two units: D83D DE00).
    EXPECT_EQ(entry_name("caf\xC3\xA9/\xE6\x97\xA5/\xF0\x9F\x98\x80.txt"),
              (std::u16string{u'c', u'a', u'f', 0x00E9, u'\\', 0x65E5, u'\\', 0xD83D, 0xDE00, u'.', u't', u'x', u't'}));
}

TEST(entry_name, bytes_that_are_not_utf8_and_backslashes_of_linux_names_are_refused)
{
    const char *const broken[] = {
        "\x80",                 // a continuation byte alone
        "\xC0\xAF",             // an overlong "/"
        "\xE6\x97",             // a sequence cut short
        "\xED\xA0\x80",         // an encoded surrogate
        "\xF4\x90\x80\x80",     // past U+10FFFF
        "\xFF",
    };
    for (const char *name : broken)
        EXPECT_THROW(entry_name(std::string("a") + name), pack_error) << fs::path(name);
    EXPECT_THROW(entry_name("dir/a\\b"), pack_error) << "Windows would read a folder in it";
}

TEST(entry_name, length_limit_counts_utf16_units_not_bytes)
{
    // 1021 units of "a" plus one non-BMP character (two units) is 1023 units.
    const std::string longest = std::string(1021, 'a') + "\xF0\x9F\x98\x80";
    EXPECT_EQ(entry_name(longest).size(), max_name_units);
    EXPECT_THROW(entry_name(longest + "a"), pack_error);
    // Separators count too: 511 + 1 + 511 = 1023, one more is too long.
    EXPECT_NO_THROW(entry_name(std::string(511, 'a') + "/" + std::string(511, 'b')));
    EXPECT_THROW(entry_name(std::string(512, 'a') + "/" + std::string(511, 'b')), pack_error);
}

TEST(entry_name, one_table_of_names_holds_for_the_walk_the_ready_made_check_list_and_extract)
{
    for (const entry_name_case &entry : entry_name_cases) {
        const std::u16string name = entry.name;
        SCOPED_TRACE(utf8_text(name));
        scratch_folder scratch;
        if (const fs::path path = linux_path(name); !path.empty()) {
            write_file(scratch.path() / "app" / "main.dll", "MZ");
            write_file(scratch.path() / "app" / path, "x");
            bool walked = true;
            try {
                list_app_files(scratch.path() / "app", "main.dll");
            } catch (const pack_error &) {
                walked = false;
            }
            EXPECT_EQ(walked, entry.accepted) << "the folder walk";
        }
        const packed_verdicts verdicts = packed_verdicts_of({name}, scratch.path());
        EXPECT_EQ(verdicts.checked, entry.accepted) << "--attached-data";
        EXPECT_EQ(verdicts.listed, entry.accepted) << "--list";
        EXPECT_EQ(verdicts.extracted, entry.accepted) << "--extract";
    }
    for (const auto &pair : entry_name_collisions) {
        SCOPED_TRACE(utf8_text(pair[0]) + " and " + utf8_text(pair[1]));
        scratch_folder scratch;
        write_file(scratch.path() / "app" / "main.dll", "MZ");
        write_file(scratch.path() / "app" / linux_path(pair[0]), "1");
        write_file(scratch.path() / "app" / linux_path(pair[1]), "2");
        EXPECT_THROW(list_app_files(scratch.path() / "app", "main.dll"), pack_error) << "the folder walk";
        const packed_verdicts verdicts = packed_verdicts_of({pair[0], pair[1]}, scratch.path());
        EXPECT_FALSE(verdicts.checked || verdicts.listed || verdicts.extracted);
    }
}
