// Files by path on Linux and on Windows, where paths are UTF-16.
#ifndef ONEFILE_FILE_IO_H
#define ONEFILE_FILE_IO_H

#include "little_endian.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

using file_handle = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

// fopen for a path that may hold any character; null with errno on failure.
file_handle open_file(const std::filesystem::path &path, const char *mode);

// The whole file. Throws pack_error naming it as `what`: that it does not
// exist, is no file or cannot be read.
bytes read_whole_file(const std::filesystem::path &path, const std::string &what);

// The folder that holds this program's executable, absolute.
std::filesystem::path own_program_folder();

// Whether `a` and `b` are one file or folder: by identity when both exist,
// however they are spelled (links, "..", letter case on Windows), else by
// their absolute spelling.
bool same_file(const std::filesystem::path &a, const std::filesystem::path &b);

// Whether `path`, existing or not, lies at any depth inside the existing
// folder `folder`, judged by identity along the path's resolved form.
bool lies_inside(const std::filesystem::path &path, const std::filesystem::path &folder);

// A path given as UTF-8 on the command line.
std::filesystem::path path_from_utf8(const std::string &text);

#ifdef _WIN32
// A command-line argument as UTF-8.
std::string utf8_from_wide(const wchar_t *text);
#endif

#endif
