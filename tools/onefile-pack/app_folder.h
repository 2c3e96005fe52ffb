// The application folder: the files that go into the attached data, in the
// order they are stored.
#ifndef ONEFILE_APP_FOLDER_H
#define ONEFILE_APP_FOLDER_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct app_file {
    std::filesystem::path source;   // where the packer reads it
    std::u16string name;            // the stored name (entry_encoding.h)
    std::uint64_t size;             // bytes at the time of the walk
};

// Every regular file below `app_dir`: the one named `main_name` at the top
// first, the others sorted by stored name (UTF-16 code units), so the order
// depends on nothing but the names. Throws pack_error for a missing or empty
// folder, a missing main file, a symbolic link or special file anywhere, a
// name that cannot be stored, or two names that differ only in letter case.
std::vector<app_file> list_app_files(const std::filesystem::path &app_dir, const std::string &main_name);

// The files of a program's folder: `launcher` first, stored at the top as
// `launcher_name`, then every regular file below `app_dir` sorted by stored
// name. Throws pack_error as list_app_files does, when `program` (a path
// relative to app_dir) is not a file in it, or when the folder holds a file
// called `launcher_name` at its top.
std::vector<app_file> list_program_files(const std::filesystem::path &app_dir, const std::string &program,
                                         const std::filesystem::path &launcher, const std::string &launcher_name);

#endif
