// The object and the content its frame decodes to, byte for byte, as the
// bootstrap reads them.
#include "app_folder.h"
#include "attached_data.h"
#include "file_io.h"
#include "frame_plan.h"
#include "pack_error.h"
#include "test_support.h"

#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>

#include <algorithm>
#include <memory>

namespace {

const progress_callback no_progress = [](const pack_progress &) {};

std::string pack_folder(const fs::path &app_dir, const std::string &main_name, const fs::path &object)
{
    write_attached_data(list_app_files(app_dir, main_name), 3, 1, object, no_progress);
    return read_file(object);
}

std::uint64_t little_endian_at(const std::string &bytes, std::size_t offset)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

} // namespace

TEST(attached_data, single_file_decodes_to_the_documented_29_bytes)
{
    scratch_folder scratch;
    write_file(scratch.path() / "b.txt", "abc");
    const fs::path object = scratch.path() / "object";
    write_attached_data({{scratch.path() / "b.txt", u"a\\b.txt", 3}}, 19, 1, object, no_progress);

    const unsigned char expected[] = {0x61, 0x00, 0x5C, 0x00, 0x62, 0x00, 0x2E, 0x00, 0x74, 0x00,
                                      0x78, 0x00, 0x74, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x00, 0x00};
    EXPECT_EQ(decode_object(read_file(object)), std::string(std::begin(expected), std::end(expected)));
}

TEST(attached_data, header_index_frames_fill_and_trailer_sit_where_the_bootstrap_expects_them)
{
    scratch_folder scratch;
    // Noise of growing length gives frames of every length modulo 8.
    for (unsigned size = 0; size < 16; ++size) {
        write_file(scratch.path() / "f", noise(size, size));
        const fs::path object_path = scratch.path() / "object";
        const attached_data_summary summary =
            write_attached_data({{scratch.path() / "f", u"f", size}}, 3, 1, object_path, no_progress);
        const std::string object = read_file(object_path);
        SCOPED_TRACE("file of " + std::to_string(size) + " bytes");

        ASSERT_EQ(object.size(), summary.length);
        EXPECT_EQ(object.substr(0, 3), "QVY");
        // The index: a skippable frame with our magic, then one data frame.
        EXPECT_EQ(object.substr(3, 4), std::string("\x5E\x2A\x4D\x18", 4));
        const std::size_t data_start = 3 + 8 + (little_endian_at(object, 7) & 0xFFFFFFFFu);
        ZSTD_frameHeader header;
        ASSERT_EQ(ZSTD_getFrameHeader(&header, object.data() + data_start, object.size() - data_start), 0u);
        EXPECT_EQ(header.frameType, ZSTD_frame);
        EXPECT_TRUE(header.checksumFlag);
        EXPECT_EQ(header.frameContentSize, 2 * 2 + 8 + size + 2u) << "the content size is in the header";
        const std::uint64_t trailer = little_endian_at(object, object.size() - 8);
        EXPECT_EQ(trailer + 8, object.size());
        EXPECT_EQ(trailer % 8, 0u);
        const std::size_t frame_end =
            data_start + ZSTD_findFrameCompressedSize(object.data() + data_start, object.size() - data_start);
        ASSERT_LE(frame_end, trailer);
        EXPECT_LT(trailer - frame_end, 8u);
        EXPECT_EQ(object.substr(frame_end, trailer - frame_end), std::string(trailer - frame_end, '\0'));
        EXPECT_EQ(decode_object(object), std::string("f\0\0\0", 4) + std::string(1, static_cast<char>(size)) +
                                             std::string(7, '\0') + noise(size, size) + std::string(2, '\0'));
    }
}

TEST(attached_data, folder_round_trips_with_main_first_and_the_rest_sorted)
{
    scratch_folder scratch;
    const fs::path app = scratch.path() / "app";
    const std::string large = noise(300000, 7); // more than one 128 KiB read
    write_file(app / "zz.txt", "last by name");
    write_file(app / "main.dll", "MZ main");
    write_file(app / "lib" / "deep" / "data.bin", large);
    write_file(app / "empty", "");
    write_file(app / "\xF0\x9F\x98\x80.txt", "emoji");
    write_file(app / "Abc.txt", "upper case sorts first");
    fs::create_directories(app / "empty folder");

    const std::vector<decoded_entry> entries =
        parse_content(decode_object(pack_folder(app, "main.dll", scratch.path() / "object")));

    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].name, u"main.dll");
    EXPECT_EQ(entries[0].data, "MZ main");
    EXPECT_EQ(entries[1].name, u"Abc.txt");
    EXPECT_EQ(entries[2].name, u"empty");
    EXPECT_EQ(entries[2].data, "");
    EXPECT_EQ(entries[3].name, u"lib\\deep\\data.bin");
    EXPECT_EQ(entries[3].data, large);
    EXPECT_EQ(entries[4].name, u"zz.txt");
    EXPECT_EQ(entries[5].name, (std::u16string{0xD83D, 0xDE00, u'.', u't', u'x', u't'}));
    EXPECT_EQ(entries[5].data, "emoji");
}

TEST(attached_data, same_files_created_in_another_order_give_identical_bytes)
{
    // A folder lists its files in an order of its own: on tmpfs the reverse
    // of creation, on ext4 by a hash of the name. Of the same files created
    // in two orders, at least one folder lists them out of name order.
    scratch_folder scratch;
    const std::vector<std::string> names{"B", "a", "b/1", "b/2", "c/1", "d", "e", "f", "g", "h", "main.dll"};
    std::string objects[2];
    bool listed_out_of_order = false;
    for (int i = 0; i < 2; ++i) {
        const fs::path app = scratch.path() / std::to_string(i);
        for (std::size_t k = 0; k < names.size(); ++k) {
            const std::string &name = names[i == 0 ? k : names.size() - 1 - k];
            write_file(app / name, name);
        }
        std::vector<std::string> listed;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(app))
            if (entry.is_regular_file())
                listed.push_back(entry.path().lexically_relative(app).generic_string());
        listed_out_of_order = listed_out_of_order || !std::is_sorted(listed.begin(), listed.end());
        objects[i] = pack_folder(app, "main.dll", scratch.path() / ("object" + std::to_string(i)));
    }
    ASSERT_TRUE(listed_out_of_order) << "both folders list their files in name order: the test shows nothing";

    EXPECT_EQ(objects[0], objects[1]);
    std::vector<std::u16string> stored;
    for (const decoded_entry &entry : parse_content(decode_object(objects[0])))
        stored.push_back(entry.name);
    EXPECT_EQ(stored, (std::vector<std::u16string>{u"main.dll", u"B", u"a", u"b\\1", u"b\\2", u"c\\1", u"d", u"e",
                                                   u"f", u"g", u"h"}));
}

TEST(attached_data, file_that_changed_size_since_the_walk_is_refused)
{
    // Its size field would no longer match the bytes that follow it.
    scratch_folder scratch;
    write_file(scratch.path() / "f", "four");
    EXPECT_THROW(write_attached_data({{scratch.path() / "f", u"f", 5}}, 3, 1, scratch.path() / "o1", no_progress),
                 pack_error);
    EXPECT_THROW(write_attached_data({{scratch.path() / "f", u"f", 3}}, 3, 1, scratch.path() / "o2", no_progress),
                 pack_error);
}

TEST(attached_data, ready_made_objects_of_any_frames_are_decoded_whole_and_checked_before_linking)
{
    scratch_folder scratch;
    write_file(scratch.path() / "app" / "main.dll", "MZ");
    write_file(scratch.path() / "app" / "big.bin", noise(5u << 20, 3));
    const std::string object = pack_folder(scratch.path() / "app", "main.dll", scratch.path() / "object");
    const attached_data_summary summary = check_attached_data(scratch.path() / "object");
    EXPECT_EQ(summary.length, object.size());

    const auto refused = [&](const std::string &bytes, const std::string &expected) {
        write_file(scratch.path() / "bad", bytes);
        try {
            check_attached_data(scratch.path() / "bad");
            ADD_FAILURE() << "accepted; expected " << expected;
        } catch (const pack_error &error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    };
    refused(object.substr(0, object.size() - 1), "is not attached data");
    refused("MZ" + object.substr(2), "is not attached data");

    // The same content as zstd's tool would write it: frames of its own cut,
    // a skippable frame between them, no index. Accepted with the same record.
    const std::string content = decode_object(object);
    const auto frame_of = [](const std::string &part, bool checksum) {
        std::string frame(ZSTD_compressBound(part.size()), '\0');
        const std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, checksum ? 1 : 0);
        frame.resize(ZSTD_compress2(context.get(), frame.data(), frame.size(), part.data(), part.size()));
        return frame;
    };
    const auto object_of = [](const std::string &frames) {
        std::string bytes = "QVY" + frames;
        bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
        const std::uint64_t offset = bytes.size();
        for (int i = 0; i < 8; ++i)
            bytes += static_cast<char>(offset >> (8 * i));
        return bytes;
    };
    const std::string skippable("\x50\x2A\x4D\x18\x03\0\0\0abc", 11);
    const std::string first = frame_of(content.substr(0, 1000), true);
    const std::string rest = frame_of(content.substr(1000), true);
    write_file(scratch.path() / "frames", object_of(first + skippable + rest));
    EXPECT_EQ(check_attached_data(scratch.path() / "frames").record_digest, summary.record_digest);

    std::string flipped = rest;
    flipped[flipped.size() - 6] ^= 1; // inside the stored content, before the checksum
    refused(object_of(first + flipped), "damaged");
    refused(object_of(first + rest.substr(0, rest.size() - 4)), "damaged");
    refused(object_of(first + frame_of(content.substr(1000), false)), "without a content checksum");

    // An index in front of frames that it does not describe.
    write_file(scratch.path() / "other" / "main.dll", "MZ other");
    const std::string other = pack_folder(scratch.path() / "other", "main.dll", scratch.path() / "object2");
    const auto index_end = [](const std::string &bytes) { return 3 + 8 + (little_endian_at(bytes, 7) & 0xFFFFFFFFu); };
    std::size_t frames_end = index_end(object);
    while (object.find_first_not_of('\0', frames_end) < object.size() - 8)
        frames_end += ZSTD_findFrameCompressedSize(object.data() + frames_end, object.size() - frames_end);
    refused(object_of(other.substr(3, index_end(other) - 3) +
                      object.substr(index_end(object), frames_end - index_end(object))),
            "its index does not match its frames");
}

TEST(attached_data, frames_are_cut_at_entries_and_inside_large_ones_at_multiples_of_the_frame_size)
{
    const std::uint64_t frame = 1000;
    const std::vector<std::u16string> names{u"main.dll", u"big", u"a", u"b"};
    const std::vector<std::uint64_t> sizes{10, 2500, 100, 0};
    const std::uint64_t main = entry_header_size(u"main.dll") + 10, big = entry_header_size(u"big");
    const std::uint64_t small = entry_header_size(u"a") + 100 + entry_header_size(u"b") + 2;
    const std::vector<planned_frame> plan = plan_frames(names, sizes, frame);
    // main.dll alone (big would not fit beside it), big from its name on in
    // frames of 1000 data bytes, its tail with the small entries and the end.
    ASSERT_EQ(plan.size(), 4u);
    const planned_frame expected[] = {{0, 0, main}, {1, 0, big + 1000}, {1, 1000, 1000}, {1, 2000, 500 + small}};
    for (std::size_t k = 0; k < plan.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_EQ(plan[k].entry, expected[k].entry);
        EXPECT_EQ(plan[k].entry_offset, expected[k].entry_offset);
        EXPECT_EQ(plan[k].content_size, expected[k].content_size);
    }
    EXPECT_EQ(plan_frames({u"main.dll"}, {10}, frame).size(), 1u) << "a small application stays one frame";
}

TEST(attached_data, the_object_is_the_same_whatever_the_number_of_threads)
{
    scratch_folder scratch;
    // Larger than two compression jobs, part noise and part repetition.
    std::string content = noise(20u << 20, 7);
    for (std::size_t i = 0; i < content.size(); i += 3)
        content[i] = 'x';
    write_file(scratch.path() / "big", content);
    const std::vector<app_file> files{{scratch.path() / "big", u"big", content.size()}};
    std::string objects[2];
    for (int threads : {1, 3}) {
        const fs::path object = scratch.path() / ("object" + std::to_string(threads));
        write_attached_data(files, 3, threads, object, no_progress);
        objects[threads / 3] = read_file(object);
    }
    EXPECT_EQ(objects[0], objects[1]);
    // The name "big" and its terminator, the size, then the content.
    EXPECT_EQ(decode_object(objects[0]).substr(2 * 4 + 8, content.size()), content);
}
