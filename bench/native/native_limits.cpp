// The limits on the Linux side, and the bootstrap's payload reader built
// natively. Prints key=value pairs, seconds measured inside the process.
//
//   bench_native frame OBJECT OUT
//       Copies the zstd frame out of an object made by onefile-pack
//       --write-attached-data ("QV", "Y", frame, zero fill, trailer).
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
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "attached_data/attached_data.h"

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

int copy_frame(const char *object_path, const char *out_path)
{
    std::vector<unsigned char> object = read_whole(object_path);
    const size_t header = ONEFILE_OBJECT_HEADER_LENGTH;
    if (object.size() < header || std::memcmp(object.data(), ONEFILE_OBJECT_HEADER, header) != 0)
        fatal_error("not an attached data object");
    size_t frame = ZSTD_findFrameCompressedSize(object.data() + header, object.size() - header);
    if (ZSTD_isError(frame))
        fatal_error("no zstd frame after the header");
    std::ofstream out(out_path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(object.data() + header), static_cast<std::streamsize>(frame));
    if (!out)
        fatal_error("cannot write the frame");
    std::printf("frame_bytes=%zu\n", frame);
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
        return copy_frame(argv[2], argv[3]);
    if (mode == "write" && argc == 4)
        return write_files(argv[2], argv[3]);
    if (mode == "decode" && argc == 3)
        return walk(argv[2], nullptr);
    if (mode == "extract" && argc == 4)
        return walk(argv[2], argv[3]);
    std::fprintf(stderr, "usage: bench_native frame OBJECT OUT | write MANIFEST DIR | decode OBJECT | "
                         "extract OBJECT DIR\n");
    return 2;
}
