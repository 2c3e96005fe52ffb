#include "executable_writer.h"

#include "file_position.h"

#include <algorithm>
#include <vector>

namespace {

const char *const data_section = ".qvdata";
const char *const settings_section = ".qvconf";
constexpr std::uint32_t resource_characteristics = pe::section_initialized_data | pe::section_read;
// Windows refuses to load an image of 2 GiB or more.
constexpr std::uint64_t largest_image = 0x7FFFFFFF;

void write_all(std::FILE *out, const byte *data, std::size_t size, pe_checksum &checksum)
{
    if (std::fwrite(data, 1, size, out) != size)
        throw std::runtime_error("cannot write the executable");
    checksum.add(data, size);
}

void write_zeros(std::FILE *out, std::uint64_t count, pe_checksum &checksum)
{
    static const byte zeros[4096] = {};
    while (count > 0) {
        const std::size_t n = count < sizeof zeros ? static_cast<std::size_t>(count) : sizeof zeros;
        write_all(out, zeros, n, checksum);
        count -= n;
    }
}

void copy_object(std::FILE *object, std::uint64_t size, std::FILE *out, pe_checksum &checksum)
{
    bytes buffer(1 << 20);
    while (size > 0) {
        const std::size_t want = size < buffer.size() ? static_cast<std::size_t>(size) : buffer.size();
        if (std::fread(buffer.data(), 1, want, object) != want)
            throw std::runtime_error("cannot read the attached data back");
        write_all(out, buffer.data(), want, checksum);
        size -= want;
    }
}

void put_section_header(bytes &head, std::size_t at, const pe_section &section)
{
    std::fill_n(head.begin() + at, pe::section_name_size, 0);
    std::copy(section.name.begin(), section.name.end(), head.begin() + at);
    write_le(head, at,
             {{pe::section_virtual_size, section.virtual_size},
              {pe::section_virtual_address, section.virtual_address},
              {pe::section_raw_size, section.raw_size},
              {pe::section_raw_offset, section.raw_offset},
              {pe::section_characteristics, section.characteristics}});
}

} // namespace

void check_template(const pe_image &image)
{
    if (image.machine != pe::machine_amd64 || image.section_alignment == 0 || image.is_dll())
        throw pe_error("it is not a 64-bit executable");
    if (image.sections.empty() || image.sections.back().name != data_section)
        throw pe_error(std::string("its last section is not ") + data_section);
    const pe_section *settings = image.find_section(settings_section);
    if (settings == nullptr || settings->virtual_size < settings_record_digest.offset + settings_record_digest.width)
        throw pe_error(std::string("it has no ") + settings_section + " section of the expected size");
    if (image.directories[pe::resource_directory].size != 0 || image.directories[pe::security_directory].size != 0)
        throw pe_error("it already has resources or a signature");
    if (image.file_alignment != 4096 || image.section_alignment != 4096)
        throw pe_error("its sections are not page-aligned in the file");
    const std::size_t table_end =
        image.section_table_offset + (image.sections.size() + 1) * pe::section_header_size;
    if (table_end > image.headers_size)
        throw pe_error("its headers have no room for another section");
    const pe_section &data = image.sections.back();
    for (const pe_section &section : image.sections)
        if (&section != &data && section.raw_size > 0 && section.raw_offset + section.raw_size > data.raw_offset)
            throw pe_error("a section's data lies after the attached data");
}

void write_executable(const pe_image &image, const executable_parts &parts, std::FILE *out)
{
    check_template(image);
    const std::size_t data_index = image.sections.size() - 1;
    pe_section data = image.sections[data_index];
    const std::uint64_t data_raw_size = align_up(parts.object_size, image.file_alignment);
    const std::uint64_t resource_rva = align_up(data.virtual_address + parts.object_size, image.section_alignment);
    const char *const too_large = "the application is too large: a Windows executable holds less than 2 GiB";
    if (resource_rva >= largest_image)
        throw pe_error(too_large);
    const bytes resources = parts.resource_section(static_cast<std::uint32_t>(resource_rva));
    if (align_up(resource_rva + resources.size(), image.section_alignment) > largest_image)
        throw pe_error(too_large);

    pe_section resource{".rsrc", static_cast<std::uint32_t>(resources.size()),
                        static_cast<std::uint32_t>(resource_rva),
                        static_cast<std::uint32_t>(align_up(resources.size(), image.file_alignment)),
                        static_cast<std::uint32_t>(data.raw_offset + data_raw_size), resource_characteristics};
    const std::uint32_t old_data_raw_size = data.raw_size;
    data.virtual_size = static_cast<std::uint32_t>(parts.object_size);
    data.raw_size = static_cast<std::uint32_t>(data_raw_size);

    // Everything before the attached data, with the headers and .qvconf updated.
    bytes head(image.file.begin(), image.file.begin() + data.raw_offset);
    write_le(head, image.coff_offset, {{pe::coff_section_count, image.sections.size() + 1}});
    const std::size_t table = image.section_table_offset;
    put_section_header(head, table + data_index * pe::section_header_size, data);
    put_section_header(head, table + image.sections.size() * pe::section_header_size, resource);

    const std::size_t optional = image.optional_offset;
    const std::uint64_t initialized = read_field(head, optional, pe::optional_initialized_data_size);
    write_le(head, optional,
             {{pe::optional_initialized_data_size,
               initialized - old_data_raw_size + data.raw_size + resource.raw_size},
              {pe::optional_image_size, align_up(resource.virtual_address + resource.virtual_size,
                                                 image.section_alignment)},
              {pe::optional_checksum, 0}});
    write_le(head, optional + pe::optional_directories + pe::directory_entry_size * pe::resource_directory,
             {{pe::directory_rva, resource.virtual_address}, {pe::directory_size, resource.virtual_size}});

    const std::size_t settings = image.find_section(settings_section)->raw_offset;
    write_le(head, settings, {{settings_object_size, parts.object_size}});
    if (!parts.unpack_template.empty()) {
        if (parts.unpack_template.size() >= unpack_template_capacity)
            throw pe_error("the unpack template is longer than " + std::to_string(unpack_template_capacity - 1) +
                           " UTF-16 units");
        for (std::size_t i = 0; i < unpack_template_capacity; ++i)
            write_le(head, settings + settings_template_offset + 2 * i,
                     {{utf16_unit, i < parts.unpack_template.size() ? parts.unpack_template[i] : 0u}});
    }
    write_le(head, settings,
             {{settings_cache_check, static_cast<std::uint64_t>(parts.verify_content ? ONEFILE_CHECK_CONTENT : ONEFILE_CHECK_NAMES_AND_SIZES)},
              {settings_record_digest, parts.record_digest}});

    pe_checksum checksum;
    write_all(out, head.data(), head.size(), checksum);
    copy_object(parts.object, parts.object_size, out, checksum);
    write_zeros(out, data_raw_size - parts.object_size, checksum);
    write_all(out, resources.data(), resources.size(), checksum);
    write_zeros(out, resource.raw_size - resources.size(), checksum);

    bytes sum;
    append_le(sum, pe::optional_checksum.width, checksum.value());
    if (!seek_to(out, optional + pe::optional_checksum.offset) ||
        std::fwrite(sum.data(), 1, sum.size(), out) != sum.size() || std::fflush(out) != 0)
        throw std::runtime_error("cannot write the executable");
}
