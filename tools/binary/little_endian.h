// Binary data, and the little-endian integers in it: the one reader and
// writer of the integers of every PE, resource and attached-data structure
// the packer handles. A structure's layout is a table of fields, each an
// offset and a width, and it is written from a table of such fields.
#ifndef ONEFILE_LITTLE_ENDIAN_H
#define ONEFILE_LITTLE_ENDIAN_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

using byte = std::uint8_t;
using bytes = std::vector<byte>;

// An integer field of a structure: `width` bytes (1, 2, 4 or 8) at
// `offset` from the structure's start.
struct le_field {
    std::size_t offset;
    std::size_t width;
};

// A UTF-16 code unit, as Windows stores names and texts.
constexpr le_field utf16_unit{0, 2};

// A field and the value written into it.
struct le_value {
    le_field field;
    std::uint64_t value;
};

// The integer of `width` bytes at `data`, whose bounds the caller checked.
std::uint64_t load_le(const byte *data, std::size_t width);

// The field of the structure at `at`, or nothing when it does not lie
// within `data`.
std::optional<std::uint64_t> read_le(const bytes &data, std::size_t at, le_field field);

// Writes the low bytes of each value into its field of the structure at
// `at`. Throws std::range_error when a field does not lie within `data`.
void write_le(bytes &data, std::size_t at, std::initializer_list<le_value> values);

// Appends the low `width` bytes of `value`.
void append_le(bytes &out, std::size_t width, std::uint64_t value);

// The bytes of `text`, such as a signature or a file's text.
bytes bytes_of(std::string_view text);

#endif
