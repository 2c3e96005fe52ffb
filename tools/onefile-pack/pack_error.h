// Errors that stop packing. main() prints them after "onefile-pack: error: ".
#ifndef ONEFILE_PACK_ERROR_H
#define ONEFILE_PACK_ERROR_H

#include <filesystem>
#include <stdexcept>
#include <string>

struct pack_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A path as it appears in messages: in single quotes.
std::string quoted_path(const std::filesystem::path &path);

// The system's text for the current errno.
std::string errno_text();

#endif
