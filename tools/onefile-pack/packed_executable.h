// A look inside an executable that onefile-pack wrote: what it holds and
// how it starts, listed, and its files written out as the bootstrap would.
#ifndef ONEFILE_PACKED_EXECUTABLE_H
#define ONEFILE_PACKED_EXECUTABLE_H

#include <cstdio>
#include <filesystem>

// Prints to `out` what the executable at `path` holds: its subsystem and
// maker, its main file and fixed arguments, its unpack mode and template,
// splash, icon, code page, version texts, and every entry with its size.
// Throws pack_error with one line for a file that is not an executable from
// onefile-pack or whose attached data is damaged or holds an unsafe name.
void list_packed_executable(const std::filesystem::path &path, std::FILE *out);

// Writes the entries of the executable at `path` into the folder `folder`,
// which must not exist yet: first into a new folder beside it, renamed to
// `folder` once every file is written. Throws pack_error as
// list_packed_executable does, or when a file cannot be written; nothing is
// left behind then.
void extract_packed_executable(const std::filesystem::path &path, const std::filesystem::path &folder);

#endif
