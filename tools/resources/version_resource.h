// The version resource (VS_VERSIONINFO) that Explorer's Properties page
// shows: fixed file information, one string table for US English in
// Unicode, and the translation that points at it.
#ifndef ONEFILE_VERSION_RESOURCE_H
#define ONEFILE_VERSION_RESOURCE_H

#include "little_endian.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using version_numbers = std::array<std::uint16_t, 4>;

// "1", "1.2", "1.2.3" or "1.2.3.4", each number 0 to 65535; missing ones
// are 0. False for anything else.
bool parse_version_numbers(const std::string &text, version_numbers &numbers);

struct version_info {
    version_numbers file_version{};
    version_numbers product_version{};
    // Key and value pairs of the string table in the order given, e.g.
    // {"ProductName", "Viewer"}; values are UTF-8.
    std::vector<std::pair<std::string, std::string>> strings;
};

// The resource's bytes. Throws resource_error for a value that is not UTF-8.
bytes version_resource(const version_info &info);

// The key and value pairs of the string tables of a version resource, in
// their order, as UTF-8. Throws resource_error when its blocks do not fit.
std::vector<std::pair<std::string, std::string>> read_version_strings(const bytes &resource);

#endif
