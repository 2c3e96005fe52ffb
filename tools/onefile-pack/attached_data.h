// The object that is linked into each executable: "QV", the mode byte "Y",
// one zstd frame of the decoded content, zero fill, and an 8-byte
// little-endian trailer holding its own offset, which is a multiple of 8.
#ifndef ONEFILE_ATTACHED_DATA_H
#define ONEFILE_ATTACHED_DATA_H

#include "app_folder.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

struct pack_progress {
    std::size_t files_done;
    std::size_t files_total;
    std::uint64_t bytes_done;
    std::uint64_t bytes_total;
};

using progress_callback = std::function<void(const pack_progress &)>;

// Compresses `files` in the given order at zstd `level` on `threads`
// threads (the bytes do not depend on their number) into the object at
// `out`, reading each file in chunks, and returns the object's length.
// `report` is called as the bytes go by. Throws pack_error when a file cannot
// be read or has changed size since the walk, or `out` cannot be written.
std::uint64_t write_attached_data(const std::vector<app_file> &files, int level, int threads,
                                  const std::filesystem::path &out, const progress_callback &report);

// Throws pack_error unless `path` is an object that decodes whole to entries
// whose names keep to the unpack folder (attached_data_reader.h). Returns
// its length.
std::uint64_t check_attached_data(const std::filesystem::path &path);

#endif
