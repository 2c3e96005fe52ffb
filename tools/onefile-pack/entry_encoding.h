// The decoded content of the attached data: for each file its name (UTF-16LE,
// "\" between folders, one 0x0000 unit after it), its size (64-bit
// little-endian) and its bytes; after the last file a lone 0x0000 unit.
#ifndef ONEFILE_ENTRY_ENCODING_H
#define ONEFILE_ENTRY_ENCODING_H

#include "format/onefile_format.h"
#include "little_endian.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The longest name the bootstrap's name buffer holds.
constexpr std::size_t max_name_units = ONEFILE_ENTRY_NAME_CAPACITY - 1;

// The end marker: an entry with an empty name.
constexpr byte end_marker[2] = {0, 0};

// The size that follows a name and its 0x0000 unit.
constexpr le_field entry_size{0, 8};

// Why `name` cannot be an entry's name (the one rule of
// format/entry_names.h), as "the name ..."; empty when it can.
std::string entry_name_refusal(const std::u16string &name);

// The stored name of the file at `relative` (a path below the application
// folder, made by a directory walk). Throws pack_error naming the rule the
// path breaks: bytes that are not UTF-8, or any of entry_name_refusal's.
std::u16string entry_name(const std::filesystem::path &relative);

// `name` as the file system compares names, letter case folded: two names
// with the same folded form name one file on Windows.
std::u16string folded_entry_name(std::u16string name);

// The bytes that precede a file's data: its name, the 0x0000 unit, its size.
bytes entry_header(const std::u16string &name, std::uint64_t size);

#endif
