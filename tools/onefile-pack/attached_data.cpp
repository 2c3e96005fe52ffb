#include "attached_data.h"

#include "attached_data_reader.h"
#include "entry_encoding.h"
#include "file_io.h"
#include "pack_error.h"
#include "zstd_frame_writer.h"

#include <cstdio>
#include <memory>

namespace {

void write_bytes(std::FILE *out, const void *data, std::size_t size)
{
    if (std::fwrite(data, 1, size, out) != size)
        throw pack_error("cannot write the attached data: " + errno_text());
}

// Feeds exactly file.size bytes of the file to the frame: a file that changed
// since the walk would make its size field lie.
void compress_file_data(const app_file &file, zstd_frame_writer &frame, bytes &buffer,
                        pack_progress &progress, const progress_callback &report)
{
    const file_handle in = open_file(file.source, "rb");
    if (!in)
        throw pack_error("cannot read " + quoted_path(file.source) + ": " + errno_text());
    for (std::uint64_t left = file.size; left > 0;) {
        const std::size_t wanted = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
        const std::size_t got = std::fread(buffer.data(), 1, wanted, in.get());
        if (got == 0) {
            if (std::ferror(in.get()))
                throw pack_error("cannot read " + quoted_path(file.source) + ": " + errno_text());
            throw pack_error(quoted_path(file.source) + " got shorter while it was being packed");
        }
        frame.write(buffer.data(), got);
        left -= got;
        progress.bytes_done += got;
        report(progress);
    }
    if (std::fgetc(in.get()) != EOF)
        throw pack_error(quoted_path(file.source) + " grew while it was being packed");
}

} // namespace

std::uint64_t write_attached_data(const std::vector<app_file> &files, int level, int threads,
                                  const std::filesystem::path &out, const progress_callback &report)
{
    const file_handle object = open_file(out, "wb");
    if (!object)
        throw pack_error("cannot write " + quoted_path(out) + ": " + errno_text());
    write_bytes(object.get(), object_header, sizeof object_header);

    pack_progress progress{0, files.size(), 0, 0};
    for (const app_file &file : files)
        progress.bytes_total += file.size;

    zstd_frame_writer frame(object.get(), level, threads);
    bytes buffer(ZSTD_CStreamInSize());
    for (const app_file &file : files) {
        const bytes header = entry_header(file.name, file.size);
        frame.write(header.data(), header.size());
        compress_file_data(file, frame, buffer, progress, report);
        ++progress.files_done;
        report(progress);
    }
    frame.write(end_marker, sizeof end_marker);
    const std::uint64_t frame_size = frame.finish();

    const std::uint64_t unfilled = sizeof object_header + frame_size;
    const std::uint64_t trailer_offset = (unfilled + 7) / 8 * 8;
    bytes tail(static_cast<std::size_t>(trailer_offset - unfilled), 0);
    append_le(tail, object_trailer.width, trailer_offset);
    write_bytes(object.get(), tail.data(), tail.size());
    if (std::fflush(object.get()) != 0)
        throw pack_error("cannot write " + quoted_path(out) + ": " + errno_text());
    return trailer_offset + object_trailer.width;
}

std::uint64_t check_attached_data(const std::filesystem::path &path)
{
    const bytes object = read_whole_file(path, "attached data");
    if (object_length(object) == 0)
        throw pack_error(quoted_path(path) + " is not attached data made by onefile-pack --write-attached-data");
    struct : entry_visitor {
        void begin(const std::u16string &, std::uint64_t) override {}
        void data(const byte *, std::size_t) override {}
        void end() override {}
    } names_only;
    read_entries(object, quoted_path(path), names_only);
    return object.size();
}
