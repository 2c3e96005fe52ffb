// The resource section of a Windows executable: the tree of type, name and
// language directories that the system's resource functions walk, and the
// resources the packer puts in it.
#ifndef ONEFILE_RESOURCE_SECTION_H
#define ONEFILE_RESOURCE_SECTION_H

#include "little_endian.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// What is wrong with a resource's input, in words fit for a one-line message.
struct resource_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace resource_type {
constexpr std::uint16_t icon = 3;
constexpr std::uint16_t rcdata = 10;
constexpr std::uint16_t group_icon = 14;
constexpr std::uint16_t version = 16;
constexpr std::uint16_t manifest = 24;
} // namespace resource_type

// US English: the language of every resource the packer writes.
constexpr std::uint16_t language_en_us = 0x0409;

struct resource_entry {
    std::uint16_t type;
    std::uint16_t id;
    std::uint16_t language;
    bytes data;
};

// The bytes of a resource section whose first byte lies at `section_rva`:
// the three directory levels with integer ids in ascending order, the data
// entries, then the data itself, each piece 8-byte aligned. Throws
// resource_error when two entries share type, id and language.
bytes build_resource_section(std::vector<resource_entry> entries, std::uint32_t section_rva);

// The resources of a section that build_resource_section wrote (entries
// named by strings are skipped). Throws resource_error when the tree points
// outside `section` or is not three levels deep.
std::vector<resource_entry> read_resource_section(const bytes &section, std::uint32_t section_rva);

#endif
