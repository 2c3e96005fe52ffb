// The object that is linked into each executable: "QV", the mode byte "Y",
// the compressed content, zero fill, and an 8-byte little-endian trailer
// holding its own offset, which is a multiple of 8. The content is cut into
// zstd frames that decode independently (frame_plan.h), after a skippable
// frame with their index (format/onefile_format.h); a reader that knows
// nothing of the index decodes the frames one after another.
#ifndef ONEFILE_ATTACHED_DATA_H
#define ONEFILE_ATTACHED_DATA_H

#include "app_folder.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct pack_progress {
    std::size_t files_done;
    std::size_t files_total;
    std::uint64_t bytes_done;
    std::uint64_t bytes_total;
};

using progress_callback = std::function<void(const pack_progress &)>;

// What the executable records of an object beside it.
struct attached_data_summary {
    std::uint64_t length;           // of the object
    std::uint64_t record_digest;    // of the record its cached folder holds (format/folder_record.h)
};

// Compresses `files` in the given order at zstd `level`, frame by frame on
// `threads` threads (the bytes do not depend on their number), into the
// object at `out`. `report` is called as the frames are done. Throws
// pack_error when a file cannot be read or has changed size since the walk,
// or `out` cannot be written.
attached_data_summary write_attached_data(const std::vector<app_file> &files, int level, int threads,
                                          const std::filesystem::path &out, const progress_callback &report);

// Throws pack_error unless `path` is an object that decodes whole to entries
// whose names keep the rule of format/entry_names.h, every frame with its
// checksum and an index that matches its frames (attached_data_reader.h).
attached_data_summary check_attached_data(const std::filesystem::path &path);

// The digest of the record that a cached folder of these files holds.
std::uint64_t record_digest(const std::vector<std::u16string> &names, const std::vector<std::uint64_t> &sizes,
                            const std::vector<std::uint64_t> &hashes);

#endif
