#include "pe_image.h"

#include <algorithm>

namespace {

constexpr std::size_t directory_slots = 16;

void need(const bytes &data, std::size_t offset, std::size_t size)
{
    if (offset > data.size() || size > data.size() - offset)
        throw pe_error("its headers point past the end of the file");
}

} // namespace

std::uint64_t read_field(const bytes &data, std::size_t at, le_field field)
{
    const std::optional<std::uint64_t> value = read_le(data, at, field);
    if (!value)
        throw pe_error("its headers point past the end of the file");
    return *value;
}

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

pe_image parse_pe_image(bytes data)
{
    pe_image image;
    image.file = std::move(data);
    const bytes &b = image.file;
    if (b.size() < pe::dos_header_size || b[0] != 'M' || b[1] != 'Z')
        throw pe_error("it is not a Windows executable or DLL (no MZ header)");
    const std::size_t signature = read_field(b, 0, pe::dos_pe_offset);
    need(b, signature, pe::pe_signature_size + pe::coff_header_size);
    if (!std::equal(b.begin() + signature, b.begin() + signature + pe::pe_signature_size, "PE\0\0"))
        throw pe_error("it is not a Windows executable or DLL (no PE header)");

    image.coff_offset = signature + pe::pe_signature_size;
    image.machine = static_cast<std::uint16_t>(read_field(b, image.coff_offset, pe::coff_machine));
    image.characteristics = static_cast<std::uint16_t>(read_field(b, image.coff_offset, pe::coff_characteristics));
    const std::size_t section_count = read_field(b, image.coff_offset, pe::coff_section_count);
    const std::size_t optional_size = read_field(b, image.coff_offset, pe::coff_optional_header_size);
    image.optional_offset = image.coff_offset + pe::coff_header_size;
    image.section_table_offset = image.optional_offset + optional_size;
    need(b, image.optional_offset, optional_size);

    // A 32-bit image is read far enough to be told apart; nothing more.
    const std::size_t optional = image.optional_offset;
    if (read_field(b, optional, pe::optional_magic) != pe::magic_pe32_plus)
        return image;
    if (optional_size < pe::optional_directories)
        throw pe_error("its optional header is too short");
    image.subsystem = static_cast<std::uint16_t>(read_field(b, optional, pe::optional_subsystem));
    image.section_alignment = static_cast<std::uint32_t>(read_field(b, optional, pe::optional_section_alignment));
    image.file_alignment = static_cast<std::uint32_t>(read_field(b, optional, pe::optional_file_alignment));
    image.headers_size = static_cast<std::uint32_t>(read_field(b, optional, pe::optional_headers_size));
    const std::size_t directory_count =
        std::min<std::size_t>(read_field(b, optional, pe::optional_directory_count),
                              (optional_size - pe::optional_directories) / pe::directory_entry_size);
    image.directories.resize(std::max(directory_count, directory_slots));
    for (std::size_t i = 0; i < directory_count; ++i) {
        const std::size_t at = optional + pe::optional_directories + pe::directory_entry_size * i;
        image.directories[i] = {static_cast<std::uint32_t>(read_field(b, at, pe::directory_rva)),
                                static_cast<std::uint32_t>(read_field(b, at, pe::directory_size))};
    }

    need(b, image.section_table_offset, section_count * pe::section_header_size);
    for (std::size_t i = 0; i < section_count; ++i) {
        const std::size_t at = image.section_table_offset + i * pe::section_header_size;
        pe_section section;
        section.name.assign(b.begin() + at, b.begin() + at + pe::section_name_size);
        section.name.erase(std::find(section.name.begin(), section.name.end(), '\0'), section.name.end());
        section.virtual_size = static_cast<std::uint32_t>(read_field(b, at, pe::section_virtual_size));
        section.virtual_address = static_cast<std::uint32_t>(read_field(b, at, pe::section_virtual_address));
        section.raw_size = static_cast<std::uint32_t>(read_field(b, at, pe::section_raw_size));
        section.raw_offset = static_cast<std::uint32_t>(read_field(b, at, pe::section_raw_offset));
        section.characteristics = static_cast<std::uint32_t>(read_field(b, at, pe::section_characteristics));
        if (section.raw_size > 0)
            need(b, section.raw_offset, section.raw_size);
        image.sections.push_back(section);
    }
    return image;
}

const pe_section *pe_image::find_section(const std::string &name) const
{
    for (const pe_section &section : sections)
        if (section.name == name)
            return &section;
    return nullptr;
}

std::size_t pe_image::offset_of(std::uint32_t rva, std::size_t size) const
{
    for (const pe_section &section : sections) {
        const std::uint64_t start = section.virtual_address;
        if (rva >= start && rva + static_cast<std::uint64_t>(size) <= start + section.raw_size)
            return section.raw_offset + (rva - section.virtual_address);
    }
    throw pe_error("it refers to data outside its sections");
}

std::string pe_image::string_at(std::uint32_t rva) const
{
    const std::size_t start = offset_of(rva, 1);
    for (const pe_section &section : sections) {
        if (start < section.raw_offset || start >= section.raw_offset + section.raw_size)
            continue;
        const std::size_t section_end = section.raw_offset + section.raw_size;
        const auto end = std::find(file.begin() + start, file.begin() + section_end, '\0');
        if (end == file.begin() + section_end)
            break;
        return std::string(file.begin() + start, end);
    }
    throw pe_error("it holds a name that runs out of its section");
}

void pe_checksum::add(const byte *data, std::size_t size)
{
    const byte *p = data;
    length_ += size;
    if (size > 0 && pending_ >= 0) {
        const byte word[2] = {static_cast<byte>(pending_), *p};
        sum_ += load_le(word, 2);
        pending_ = -1;
        ++p;
        --size;
    }
    for (; size >= 2; p += 2, size -= 2)
        sum_ += load_le(p, 2);
    if (size == 1)
        pending_ = *p;
}

std::uint32_t pe_checksum::value() const
{
    std::uint64_t sum = sum_ + (pending_ >= 0 ? static_cast<std::uint64_t>(pending_) : 0);
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + length_);
}
