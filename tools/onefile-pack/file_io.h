// Files by path on Linux and on Windows, where paths are UTF-16.
#ifndef ONEFILE_FILE_IO_H
#define ONEFILE_FILE_IO_H

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

using file_handle = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

// fopen for a path that may hold any character; null with errno on failure.
file_handle open_file(const std::filesystem::path &path, const char *mode);

// The whole file. Throws pack_error naming it as `what`.
std::string read_whole_file(const std::filesystem::path &path, const std::string &what);

// The folder that holds this program's executable, absolute.
std::filesystem::path own_program_folder();

// A path given as UTF-8 on the command line.
std::filesystem::path path_from_utf8(const std::string &text);

#ifdef _WIN32
// A command-line argument as UTF-8.
std::string utf8_from_wide(const wchar_t *text);
#endif

#endif
