// Writing a packed executable from a template image (runtime/templates):
// the template's sections unchanged, the attached data as its last section
// .qvdata, the values of .qvconf, and a resource section after everything.
#ifndef ONEFILE_EXECUTABLE_WRITER_H
#define ONEFILE_EXECUTABLE_WRITER_H

#include "format/onefile_format.h"
#include "pe_image.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// Capacity of the unpack template in .qvconf, in UTF-16 units with the terminator.
constexpr std::size_t unpack_template_capacity = ONEFILE_UNPACK_TEMPLATE_CAPACITY;

// The fields of .qvconf, as the bootstrap reads them: the attached data's
// length, the unpack template (UTF-16 units ending with 0) and the cache check.
constexpr le_field settings_object_size{0, 8};
constexpr std::size_t settings_template_offset = 8;
constexpr le_field settings_cache_check{settings_template_offset + 2 * unpack_template_capacity, 8};
constexpr le_field settings_record_digest{settings_cache_check.offset + 8, 8};

struct executable_parts {
    std::FILE *object;              // the attached data, read from its start
    std::uint64_t object_size;
    std::u16string unpack_template; // empty: the template's own
    bool verify_content = false;    // a cached folder's every file hashed at every start
    std::uint64_t record_digest = 0; // of the record a cached folder must hold
    // The resource section's bytes for a section that starts at the given RVA.
    std::function<bytes(std::uint32_t)> resource_section;
};

// Throws pe_error unless `image` is a template the writer can use: a PE32+
// x86-64 executable without resources or signature whose last section is
// .qvdata, with a .qvconf section, page-aligned raw data and room for one
// more section header.
void check_template(const pe_image &image);

// Writes the executable to `out`, which must be positioned at its start and
// seekable: header fields as a linker sets them (section table, image and
// data sizes, resource directory, checksum). Throws pe_error for an unusable
// template or an application too large for an image, std::runtime_error
// when reading or writing fails.
void write_executable(const pe_image &image, const executable_parts &parts, std::FILE *out);

#endif
