// Stored names: what a Linux file name becomes on Windows, and which names
// the packer must refuse because the bootstrap would write them wrongly.
#include "entry_encoding.h"
#include "pack_error.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

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

TEST(entry_name, bytes_that_are_not_utf8_are_refused)
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
}

TEST(entry_name, characters_windows_forbids_in_names_are_refused)
{
    for (const char *name : {"a\\b", "a:b", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\nb", "a\x1f" "b"})
        EXPECT_THROW(entry_name(fs::path("dir") / name), pack_error) << name;
}

TEST(entry_name, names_windows_would_change_or_open_as_devices_are_refused)
{
    for (const char *name : {"a.", "a ", "CON", "con.txt", "Nul", "aux.tar.gz", "COM1", "lpt9.log", "PRN "})
        EXPECT_THROW(entry_name(fs::path("dir") / name), pack_error) << name;
    for (const char *name : {"CONSOLE", "com0", "COM10", "nul_", ".profile", "a.b"})
        EXPECT_NO_THROW(entry_name(fs::path("dir") / name)) << name;
}

TEST(entry_name, dot_and_dot_dot_parts_are_refused)
{
    EXPECT_THROW(entry_name("a/./b"), pack_error);
    EXPECT_THROW(entry_name("a/../b"), pack_error);
    EXPECT_THROW(entry_name(".."), pack_error);
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
