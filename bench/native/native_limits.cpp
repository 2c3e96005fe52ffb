// The limits on the Linux side, and the bootstrap's payload reader built
// natively. Prints key=value pairs, seconds measured inside the process.
//
//   bench_native frame OBJECT OUT
//       Copies the zstd frames out of an object made by onefile-pack
//       --write-attached-data ("QVY", frames, zero fill, trailer): the
//       input of the zstd tool, which passes over the skippable frame of
//       the index and decodes the data frames one after another. Prints
//       frame_bytes, data_frames, skippable_frames.
//   bench_native frames OBJECT
//       Lists the object's frames, one a line (offset, compressed and
//       content size, window, checksum), then largest_window and
//       largest_content of its data frames.
//   bench_native halves OBJECT OUT0 OUT1 MANIFEST0 MANIFEST1
//       Deals the data frames of an object with a frame index alternately
//       to two zstd-tool inputs (frames 0, 2, 4 ... and 1, 3, 5 ...), as
//       two threads taking frames in turn decode them, and writes for each
//       the files and pieces of files its frames hold, as a manifest for
//       bench_limits.exe write ("<size>@<offset> <path>" for a piece).
//       Prints frames0, frames1, bytes0, bytes1 (content).
//   bench_native write MANIFEST DIR
//       Writes the files MANIFEST lists ("<size> <relative/path>" a line)
//       below DIR with 32768-byte write() calls, the parent folder made when
//       new; then removes DIR. Prints write_s, delete_s, files, bytes.
//   bench_native decode OBJECT
//       Walks the object with the bootstrap's own entry walk and payload
//       reader (static_src/attached_data/entries.cpp, payload_stream.cpp),
//       as the extraction does, writing nothing. Prints decode_s, files,
//       bytes.
//   bench_native extract OBJECT DIR
//       The same walk, writing every file below DIR with 32768-byte write()
//       calls, as the bootstrap does with WriteFile. Prints extract_s.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "attached_data/attached_data.h"
#include "little_endian.h"
#include "utf16.h"

// The stand-ins of the bootstrap's error reports that the reader calls.
[[noreturn]] void fatal_error(const char *message)
{
    std::printf("%s\n", message);
    std::exit(2);
}

[[noreturn]] void fatal_out_of_memory(void)
{
    fatal_error("out of memory");
}

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::vector<unsigned char> read_whole(const char *path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        fatal_error("cannot read the object");
    std::vector<unsigned char> content(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char *>(content.data()), static_cast<std::streamsize>(content.size())))
        fatal_error("cannot read the object");
    return content;
}

uint64_t little_endian(const unsigned char *data, int count)
{
    return load_le(data, static_cast<std::size_t>(count));
}

// The frames of an object: from its header to the zero fill before its
// 8-byte trailer.
struct object_frames {
    std::vector<unsigned char> object;
    size_t begin = ONEFILE_OBJECT_HEADER_LENGTH;
    size_t end = ONEFILE_OBJECT_HEADER_LENGTH;
    std::vector<size_t> offsets; // of every frame, skippable ones too
};

object_frames read_frames(const char *object_path)
{
    object_frames frames;
    frames.object = read_whole(object_path);
    const std::vector<unsigned char> &object = frames.object;
    if (object.size() < frames.begin || std::memcmp(object.data(), ONEFILE_OBJECT_HEADER, frames.begin) != 0)
        fatal_error("not an attached data object");
    const size_t trailer = object.size() < 8 ? 0 : object.size() - 8;
    while (frames.end + 4 <= trailer && little_endian(object.data() + frames.end, 4) != 0) {
        size_t size = ZSTD_findFrameCompressedSize(object.data() + frames.end, trailer - frames.end);
        if (ZSTD_isError(size))
            fatal_error("a damaged frame in the object");
        frames.offsets.push_back(frames.end);
        frames.end += size;
    }
    if (frames.offsets.empty())
        fatal_error("no zstd frame after the header");
    return frames;
}

bool is_skippable(const unsigned char *frame)
{
    return (little_endian(frame, 4) & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

int copy_frames(const char *object_path, const char *out_path)
{
    object_frames frames = read_frames(object_path);
    size_t skippable = 0;
    for (size_t offset : frames.offsets)
        skippable += is_skippable(frames.object.data() + offset);
    std::ofstream out(out_path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(frames.object.data() + frames.begin),
              static_cast<std::streamsize>(frames.end - frames.begin));
    if (!out)
        fatal_error("cannot write the frames");
    std::printf("frame_bytes=%zu data_frames=%zu skippable_frames=%zu\n", frames.end - frames.begin,
                frames.offsets.size() - skippable, skippable);
    return 0;
}

int list_frames(const char *object_path)
{
    object_frames frames = read_frames(object_path);
    unsigned long long largest_window = 0, largest_content = 0;
    for (size_t k = 0; k < frames.offsets.size(); k++) {
        const unsigned char *frame = frames.object.data() + frames.offsets[k];
        size_t next = k + 1 < frames.offsets.size() ? frames.offsets[k + 1] : frames.end;
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, frame, next - frames.offsets[k]) != 0)
            fatal_error("a damaged frame header");
        if (header.frameType == ZSTD_skippableFrame) {
            std::printf("frame=%zu offset=%zu compressed=%zu skippable\n", k, frames.offsets[k] - frames.begin,
                        next - frames.offsets[k]);
            continue;
        }
        std::printf("frame=%zu offset=%zu compressed=%zu content=%llu window=%llu checksum=%u\n", k,
                    frames.offsets[k] - frames.begin, next - frames.offsets[k], header.frameContentSize,
                    header.windowSize, header.checksumFlag);
        largest_window = std::max<unsigned long long>(largest_window, header.windowSize);
        if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN)
            largest_content = std::max<unsigned long long>(largest_content, header.frameContentSize);
    }
    std::printf("largest_window=%llu largest_content=%llu\n", largest_window, largest_content);
    return 0;
}

// An entry as the frame index gives it: its name as the manifest writes
// it (UTF-8, '/' between folders) and the bytes of its name and size field.
struct index_entry {
    std::string path;
    uint64_t header;
    uint64_t size;
};

std::string utf8_path(const unsigned char *units, size_t count)
{
    std::u16string name;
    for (size_t u = 0; u < count; u++)
        name += static_cast<char16_t>(little_endian(units + 2 * u, 2));
    std::string path = utf8_text(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

int deal_halves(const char *object_path, char **outputs, char **manifests)
{
    object_frames frames = read_frames(object_path);
    const unsigned char *object = frames.object.data();
    const unsigned char *skippable = object + frames.begin;
    if (little_endian(skippable, 4) != ONEFILE_INDEX_FRAME_MAGIC)
        fatal_error("the object has no frame index");
    size_t payload = static_cast<size_t>(little_endian(skippable + 4, 4));
    unsigned long long length = ZSTD_getFrameContentSize(skippable + 8, payload);
    if (length == ZSTD_CONTENTSIZE_UNKNOWN || length == ZSTD_CONTENTSIZE_ERROR)
        fatal_error("a damaged frame index");
    std::vector<unsigned char> index(static_cast<size_t>(length));
    if (ZSTD_decompress(index.data(), index.size(), skippable + 8, payload) != index.size()
        || std::memcmp(index.data(), ONEFILE_INDEX_MAGIC, 4) != 0)
        fatal_error("a damaged frame index");
    const size_t frame_count = static_cast<size_t>(little_endian(&index[4], 4));
    const size_t entry_count = static_cast<size_t>(little_endian(&index[8], 4));
    size_t at = ONEFILE_INDEX_HEADER_SIZE + frame_count * ONEFILE_INDEX_FRAME_SIZE;
    std::vector<index_entry> entries;
    for (size_t i = 0; i < entry_count; i++) {
        size_t units = static_cast<size_t>(little_endian(&index[at + 16], 2));
        entries.push_back({utf8_path(&index[at + ONEFILE_INDEX_ENTRY_FIXED_SIZE], units), 2 * (units + 1) + 8,
                           little_endian(&index[at], 8)});
        at += ONEFILE_INDEX_ENTRY_FIXED_SIZE + 2 * units;
    }

    const unsigned char *data = skippable + 8 + payload;
    std::ofstream out[2] = {std::ofstream(outputs[0], std::ios::binary), std::ofstream(outputs[1], std::ios::binary)};
    std::ofstream manifest[2] = {std::ofstream(manifests[0]), std::ofstream(manifests[1])};
    size_t dealt[2] = {0, 0};
    unsigned long long bytes[2] = {0, 0};
    for (size_t k = 0; k < frame_count; k++) {
        const unsigned char *record = &index[ONEFILE_INDEX_HEADER_SIZE + k * ONEFILE_INDEX_FRAME_SIZE];
        const int half = static_cast<int>(k % 2);
        out[half].write(reinterpret_cast<const char *>(data + little_endian(record, 8)),
                        static_cast<std::streamsize>(little_endian(record + 8, 4)));
        dealt[half]++;
        uint64_t left = little_endian(record + 12, 4);
        bytes[half] += left;
        size_t entry = static_cast<size_t>(little_endian(record + 16, 4));
        uint64_t offset = little_endian(record + 24, 8);
        bool at_name = offset == 0;
        // The frame's content: from where it begins, entry after entry.
        while (left > 0 && entry < entry_count) {
            const index_entry &current = entries[entry];
            if (at_name) {
                left -= current.header;
                at_name = false;
            }
            uint64_t piece = std::min(current.size - offset, left);
            if (piece == current.size)
                manifest[half] << piece << ' ' << current.path << '\n';
            else if (piece > 0)
                manifest[half] << piece << '@' << offset << ' ' << current.path << '\n';
            else if (current.size == 0)
                manifest[half] << "0 " << current.path << '\n';
            offset += piece;
            left -= piece;
            if (offset == current.size) {
                entry++;
                offset = 0;
                at_name = true;
            }
        }
    }
    for (int half = 0; half < 2; half++)
        if (!out[half] || !manifest[half])
            fatal_error("cannot write a half");
    std::printf("frames0=%zu frames1=%zu bytes0=%llu bytes1=%llu\n", dealt[0], dealt[1], bytes[0], bytes[1]);
    return 0;
}

// The folder step of the extraction: known folders are not asked for again.
std::set<std::string> known_folders;

void make_folder_tree(const std::string &folder)
{
    if (known_folders.count(folder))
        return;
    if (mkdir(folder.c_str(), 0777) != 0 && errno == ENOENT) {
        size_t slash = folder.find_last_of('/');
        if (slash != std::string::npos && slash > 0)
            make_folder_tree(folder.substr(0, slash));
        mkdir(folder.c_str(), 0777);
    }
    known_folders.insert(folder);
}

int create_file(const std::string &path)
{
    make_folder_tree(path.substr(0, path.find_last_of('/')));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        fatal_error("cannot create a file");
    return fd;
}

void write_all(int fd, const unsigned char *data, size_t n)
{
    if (write(fd, data, n) != static_cast<ssize_t>(n))
        fatal_error("cannot write a file");
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

double remove_tree(const std::string &directory)
{
    const auto start = clock_type::now();
    nftw(directory.c_str(), remove_entry, 64, FTW_DEPTH | FTW_PHYS);
    return seconds_since(start);
}

int write_files(const char *manifest, const std::string &directory)
{
    struct entry {
        std::string name;
        unsigned long long size;
    };
    std::vector<entry> entries;
    std::ifstream in(manifest);
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        entries.push_back({line.substr(space + 1), std::stoull(line.substr(0, space))});
    }
    static unsigned char chunk[ONEFILE_WRITE_CHUNK];
    unsigned state = 12345;
    for (unsigned char &byte : chunk) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    unsigned long long bytes = 0;
    const auto start = clock_type::now();
    for (const entry &e : entries) {
        int fd = create_file(directory + "/" + e.name);
        for (unsigned long long remaining = e.size; remaining > 0;) {
            size_t n = remaining < ONEFILE_WRITE_CHUNK ? remaining : ONEFILE_WRITE_CHUNK;
            write_all(fd, chunk, n);
            remaining -= n;
        }
        close(fd);
        bytes += e.size;
    }
    const double write_seconds = seconds_since(start);
    const double delete_seconds = remove_tree(directory);
    std::printf("write_s=%.6f delete_s=%.6f files=%zu bytes=%llu\n", write_seconds, delete_seconds,
                entries.size(), bytes);
    return 0;
}

// What the walk wrote: below `root` unless it is empty.
struct walk_totals {
    std::string root;
    unsigned long long files = 0;
    unsigned long long bytes = 0;
};

void discard_piece(const unsigned char *, size_t, void *) {}

void write_piece(const unsigned char *piece, size_t length, void *fd)
{
    write_all(*static_cast<int *>(fd), piece, length);
}

void take_entry(const wchar_t *name, uint64_t size, void *context)
{
    walk_totals &totals = *static_cast<walk_totals *>(context);
    totals.files++;
    totals.bytes += size;
    if (totals.root.empty()) {
        read_entry_content(size, discard_piece, nullptr);
        return;
    }
    std::string path = totals.root + "/";
    for (const wchar_t *p = name; *p; p++) // the benchmark's names are ASCII
        path += *p == L'\\' ? '/' : static_cast<char>(*p);
    int fd = create_file(path);
    read_entry_content(size, write_piece, &fd);
    ::close(fd);
}

int walk(const char *object_path, const char *directory)
{
    std::vector<unsigned char> object = read_whole(object_path);
    const auto start = clock_type::now();
    walk_totals totals;
    if (directory != nullptr) {
        mkdir(directory, 0777);
        totals.root = directory;
    }
    walk_entries(object.data(), object.size(), take_entry, &totals);
    const double seconds = seconds_since(start);
    if (directory != nullptr) {
        const double delete_seconds = remove_tree(directory);
        std::printf("extract_s=%.6f delete_s=%.6f", seconds, delete_seconds);
    } else {
        std::printf("decode_s=%.6f", seconds);
    }
    std::printf(" files=%llu bytes=%llu\n", static_cast<unsigned long long>(totals.files),
                static_cast<unsigned long long>(totals.bytes));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "frame" && argc == 4)
        return copy_frames(argv[2], argv[3]);
    if (mode == "frames" && argc == 3)
        return list_frames(argv[2]);
    if (mode == "halves" && argc == 7)
        return deal_halves(argv[2], argv + 3, argv + 5);
    if (mode == "write" && argc == 4)
        return write_files(argv[2], argv[3]);
    if (mode == "decode" && argc == 3)
        return walk(argv[2], nullptr);
    if (mode == "extract" && argc == 4)
        return walk(argv[2], argv[3]);
    std::fprintf(stderr, "usage: bench_native frame OBJECT OUT | frames OBJECT | halves OBJECT OUT0 OUT1 MANIFEST0 "
                         "MANIFEST1 | write MANIFEST DIR | decode OBJECT | extract OBJECT DIR\n");
    return 2;
}
