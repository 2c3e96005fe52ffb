#include "attached_data.h"

#include "attached_data_reader.h"
#include "entry_encoding.h"
#include "file_io.h"
#include "file_position.h"
#include "format/folder_record.h"
#include "frame_compressor.h"
#include "frame_plan.h"
#include "pack_error.h"
#include "temp_paths.h"
#include "utf16.h"

#define XXH_STATIC_LINKING_ONLY // XXH64_state_t
#include "common/xxhash.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

void write_bytes(std::FILE *out, const void *data, std::size_t size)
{
    if (std::fwrite(data, 1, size, out) != size)
        throw pack_error("cannot write the attached data: " + errno_text());
}

// Appends `size` bytes of the file from `offset` to `content`. At the file's
// end, checks that nothing follows: a file that changed since the walk
// would make its size field lie.
void read_file_range(const app_file &file, std::uint64_t offset, std::uint64_t size, bytes &content)
{
    const file_handle in = open_file(file.source, "rb");
    if (!in || (offset > 0 && !seek_to(in.get(), offset)))
        throw pack_error("cannot read " + quoted_path(file.source) + ": " + errno_text());
    const std::size_t start = content.size();
    content.resize(start + static_cast<std::size_t>(size));
    const std::size_t got = std::fread(content.data() + start, 1, static_cast<std::size_t>(size), in.get());
    if (got != size) {
        if (std::ferror(in.get()))
            throw pack_error("cannot read " + quoted_path(file.source) + ": " + errno_text());
        throw pack_error(quoted_path(file.source) + " got shorter while it was being packed");
    }
    if (offset + size == file.size && std::fgetc(in.get()) != EOF)
        throw pack_error(quoted_path(file.source) + " grew while it was being packed");
}

// Walks a frame's content piece by piece, as the plan cut it: entry names
// and sizes, data, and the end marker after the last entry.
template <class piece_function>
void for_each_piece(const std::vector<app_file> &files, const planned_frame &frame, piece_function piece)
{
    std::size_t entry = frame.entry;
    std::uint64_t offset = frame.entry_offset;
    bool at_name = offset == 0;
    for (std::uint64_t left = frame.content_size; left > 0;) {
        if (entry == files.size()) {
            piece(entry, 0, std::uint64_t{sizeof end_marker}, true);
            return;
        }
        if (at_name) {
            const std::uint64_t header = entry_header_size(files[entry].name);
            piece(entry, 0, header, true);
            left -= header;
            at_name = false;
        }
        const std::uint64_t data = files[entry].size - offset < left ? files[entry].size - offset : left;
        if (data > 0)
            piece(entry, offset, data, false);
        left -= data;
        offset += data;
        if (offset == files[entry].size) {
            ++entry;
            offset = 0;
            at_name = true;
        }
    }
}

bytes frame_content(const std::vector<app_file> &files, const planned_frame &frame)
{
    bytes content;
    content.reserve(static_cast<std::size_t>(frame.content_size));
    for_each_piece(files, frame, [&](std::size_t entry, std::uint64_t offset, std::uint64_t size, bool header) {
        if (!header) {
            read_file_range(files[entry], offset, size, content);
        } else if (entry == files.size()) {
            content.insert(content.end(), std::begin(end_marker), std::end(end_marker));
        } else {
            const bytes name_and_size = entry_header(files[entry].name, files[entry].size);
            content.insert(content.end(), name_and_size.begin(), name_and_size.end());
        }
    });
    return content;
}

// A frame on its way from a worker to the object, in plan order.
struct frame_slot {
    bytes content;
    bytes compressed;
    bool done = false;
};

// Compresses the plan's frames on `threads` workers and hands each to
// `take` in plan order, with at most a few frames per worker in memory.
template <class take_function>
void compress_frames(const std::vector<app_file> &files, const std::vector<planned_frame> &plan, int level,
                     int threads, take_function take)
{
    const std::size_t workers = threads < 1 ? 1 : static_cast<std::size_t>(threads);
    const std::size_t window = 2 * workers;
    std::vector<frame_slot> slots(plan.size());
    std::mutex lock;
    std::condition_variable changed;
    std::size_t next = 0, taken = 0;
    std::exception_ptr failure;

    const auto work = [&] {
        frame_compressor compressor(level);
        for (;;) {
            std::size_t mine;
            {
                std::unique_lock<std::mutex> held(lock);
                changed.wait(held, [&] { return failure || next == plan.size() || next < taken + window; });
                if (failure || next == plan.size())
                    return;
                mine = next++;
            }
            try {
                bytes content = frame_content(files, plan[mine]);
                bytes compressed = compressor.compress(content.data(), content.size());
                const std::lock_guard<std::mutex> held(lock);
                slots[mine].content = std::move(content);
                slots[mine].compressed = std::move(compressed);
                slots[mine].done = true;
            } catch (...) {
                const std::lock_guard<std::mutex> held(lock);
                if (!failure)
                    failure = std::current_exception();
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t i = 0; i < workers && i < plan.size(); ++i)
        pool.emplace_back(work);
    try {
        for (; taken < plan.size(); ++taken) {
            frame_slot slot;
            {
                std::unique_lock<std::mutex> held(lock);
                changed.wait(held, [&] { return failure || slots[taken].done; });
                if (failure)
                    break;
                slot = std::move(slots[taken]);
            }
            changed.notify_all();
            take(taken, slot);
        }
    } catch (...) {
        const std::lock_guard<std::mutex> held(lock);
        if (!failure)
            failure = std::current_exception();
    }
    changed.notify_all();
    for (std::thread &worker : pool)
        worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

bytes index_payload(const std::vector<app_file> &files, const std::vector<planned_frame> &plan,
                    const std::vector<std::uint64_t> &frame_offsets, const std::vector<std::uint32_t> &compressed_sizes,
                    const std::vector<std::uint64_t> &hashes)
{
    bytes index = bytes_of(ONEFILE_INDEX_MAGIC);
    std::uint64_t largest = 0;
    for (const planned_frame &frame : plan)
        largest = frame.content_size > largest ? frame.content_size : largest;
    append_le(index, 4, plan.size());
    append_le(index, 4, files.size());
    append_le(index, 4, largest);
    for (std::size_t k = 0; k < plan.size(); ++k) {
        append_le(index, 8, frame_offsets[k]);
        append_le(index, 4, compressed_sizes[k]);
        append_le(index, 4, plan[k].content_size);
        append_le(index, 4, plan[k].entry);
        append_le(index, 4, 0);
        append_le(index, 8, plan[k].entry_offset);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        append_le(index, 8, files[i].size);
        append_le(index, 8, hashes[i]);
        append_le(index, 2, files[i].name.size());
        const bytes name = utf16le_bytes(files[i].name);
        index.insert(index.end(), name.begin(), name.end());
    }
    return index;
}

void copy_file_into(const fs::path &from, std::FILE *out)
{
    const file_handle in = open_file(from, "rb");
    if (!in)
        throw pack_error("cannot read the attached data back: " + errno_text());
    bytes buffer(1 << 20);
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0;)
        write_bytes(out, buffer.data(), got);
    if (std::ferror(in.get()))
        throw pack_error("cannot read the attached data back: " + errno_text());
}

} // namespace

std::uint64_t record_digest(const std::vector<std::u16string> &names, const std::vector<std::uint64_t> &sizes,
                            const std::vector<std::uint64_t> &hashes)
{
    bytes record(ONEFILE_RECORD_HEADER_SIZE);
    record_header(record.data(), static_cast<std::uint32_t>(names.size()));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t at = record.size();
        record.resize(at + record_entry_size(names[i].size()));
        record_entry(record.data() + at, sizes[i], hashes[i], names[i].data(), names[i].size());
    }
    return XXH64(record.data(), record.size(), 0);
}

attached_data_summary write_attached_data(const std::vector<app_file> &files, int level, int threads,
                                          const std::filesystem::path &out, const progress_callback &report)
{
    std::vector<std::u16string> names;
    std::vector<std::uint64_t> sizes;
    pack_progress progress{0, files.size(), 0, 0};
    for (const app_file &file : files) {
        names.push_back(file.name);
        sizes.push_back(file.size);
        progress.bytes_total += file.size;
    }
    const std::vector<planned_frame> plan = plan_frames(names, sizes, frame_content_size);

    // The frames go to a file of their own first: the index before them
    // needs their sizes.
    const pending_file frames_file(fs::path(out) += ".frames");
    const file_handle frames = open_file(frames_file.path(), "wb");
    if (!frames)
        throw pack_error("cannot write " + quoted_path(frames_file.path()) + ": " + errno_text());
    std::vector<std::uint64_t> offsets, hashes(files.size());
    std::vector<std::uint32_t> compressed_sizes;
    std::uint64_t frames_size = 0;
    XXH64_state_t hash;
    XXH64_reset(&hash, 0);
    compress_frames(files, plan, level, threads, [&](std::size_t k, const frame_slot &slot) {
        offsets.push_back(frames_size);
        compressed_sizes.push_back(static_cast<std::uint32_t>(slot.compressed.size()));
        write_bytes(frames.get(), slot.compressed.data(), slot.compressed.size());
        frames_size += slot.compressed.size();
        // Each entry's hash, from its name on through its data, frame by frame.
        std::size_t at = 0;
        for_each_piece(files, plan[k], [&](std::size_t entry, std::uint64_t offset, std::uint64_t size, bool header) {
            if (header && entry < files.size())
                XXH64_reset(&hash, 0);
            if (!header)
                XXH64_update(&hash, slot.content.data() + at, static_cast<std::size_t>(size));
            if (entry < files.size() && (header ? files[entry].size == 0 : offset + size == files[entry].size)) {
                hashes[entry] = XXH64_digest(&hash);
                progress.files_done = entry + 1;
            }
            progress.bytes_done += header ? 0 : size;
            at += static_cast<std::size_t>(size);
        });
        report(progress);
    });
    if (std::fflush(frames.get()) != 0)
        throw pack_error("cannot write " + quoted_path(frames_file.path()) + ": " + errno_text());

    const bytes index = index_payload(files, plan, offsets, compressed_sizes, hashes);
    const bytes packed_index = frame_compressor(level).compress(index.data(), index.size());
    bytes head(std::begin(object_header), std::end(object_header));
    append_le(head, 4, ONEFILE_INDEX_FRAME_MAGIC);
    append_le(head, 4, packed_index.size());
    head.insert(head.end(), packed_index.begin(), packed_index.end());

    const file_handle object = open_file(out, "wb");
    if (!object)
        throw pack_error("cannot write " + quoted_path(out) + ": " + errno_text());
    write_bytes(object.get(), head.data(), head.size());
    copy_file_into(frames_file.path(), object.get());
    const std::uint64_t unfilled = head.size() + frames_size;
    const std::uint64_t trailer_offset = (unfilled + 7) / 8 * 8;
    bytes tail(static_cast<std::size_t>(trailer_offset - unfilled), 0);
    append_le(tail, object_trailer.width, trailer_offset);
    write_bytes(object.get(), tail.data(), tail.size());
    if (std::fflush(object.get()) != 0)
        throw pack_error("cannot write " + quoted_path(out) + ": " + errno_text());
    return {trailer_offset + object_trailer.width, record_digest(names, sizes, hashes)};
}

attached_data_summary check_attached_data(const std::filesystem::path &path)
{
    const bytes object = read_whole_file(path, "attached data");
    if (object_length(object) == 0)
        throw pack_error(quoted_path(path) + " is not attached data made by onefile-pack --write-attached-data");
    struct : entry_visitor {
        void begin(const std::u16string &, std::uint64_t) override {}
        void data(const byte *, std::size_t) override {}
        void end() override {}
    } names_only;
    const std::vector<read_entry> entries = read_entries(object, quoted_path(path), names_only);
    std::vector<std::u16string> names;
    std::vector<std::uint64_t> sizes, hashes;
    for (const read_entry &entry : entries) {
        names.push_back(entry.name);
        sizes.push_back(entry.size);
        hashes.push_back(entry.hash);
    }
    return {object.size(), record_digest(names, sizes, hashes)};
}
