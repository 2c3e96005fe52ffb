#include "pe_image.h"

#include <algorithm>

namespace {

constexpr std::size_t dos_header_size = 64;
constexpr std::size_t dos_pe_offset = 0x3c;
constexpr std::size_t directory_slots = 16;

void need(const std::string &bytes, std::size_t offset, std::size_t size)
{
    if (offset > bytes.size() || size > bytes.size() - offset)
        throw pe_error("its headers point past the end of the file");
}

} // namespace

std::uint16_t read_u16(const std::string &bytes, std::size_t offset)
{
    need(bytes, offset, 2);
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                      static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

std::uint32_t read_u32(const std::string &bytes, std::size_t offset)
{
    return read_u16(bytes, offset) | static_cast<std::uint32_t>(read_u16(bytes, offset + 2)) << 16;
}

void write_u16(std::string &bytes, std::size_t offset, std::uint16_t value)
{
    need(bytes, offset, 2);
    bytes[offset] = static_cast<char>(value);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void write_u32(std::string &bytes, std::size_t offset, std::uint32_t value)
{
    write_u16(bytes, offset, static_cast<std::uint16_t>(value));
    write_u16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

void write_u64(std::string &bytes, std::size_t offset, std::uint64_t value)
{
    write_u32(bytes, offset, static_cast<std::uint32_t>(value));
    write_u32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

pe_image parse_pe_image(std::string bytes)
{
    pe_image image;
    image.bytes = std::move(bytes);
    const std::string &b = image.bytes;
    if (b.size() < dos_header_size || b[0] != 'M' || b[1] != 'Z')
        throw pe_error("it is not a Windows executable or DLL (no MZ header)");
    const std::size_t signature = read_u32(b, dos_pe_offset);
    need(b, signature, 4 + pe::coff_header_size);
    if (b.compare(signature, 4, std::string("PE\0\0", 4)) != 0)
        throw pe_error("it is not a Windows executable or DLL (no PE header)");

    image.coff_offset = signature + 4;
    image.machine = read_u16(b, image.coff_offset + pe::coff_machine);
    image.characteristics = read_u16(b, image.coff_offset + pe::coff_characteristics);
    const std::size_t section_count = read_u16(b, image.coff_offset + pe::coff_section_count);
    const std::size_t optional_size = read_u16(b, image.coff_offset + pe::coff_optional_header_size);
    image.optional_offset = image.coff_offset + pe::coff_header_size;
    image.section_table_offset = image.optional_offset + optional_size;
    need(b, image.optional_offset, optional_size);

    // A 32-bit image is read far enough to be told apart; nothing more.
    if (read_u16(b, image.optional_offset + pe::optional_magic) != pe::magic_pe32_plus)
        return image;
    if (optional_size < pe::optional_directories)
        throw pe_error("its optional header is too short");
    image.subsystem = read_u16(b, image.optional_offset + pe::optional_subsystem);
    image.section_alignment = read_u32(b, image.optional_offset + pe::optional_section_alignment);
    image.file_alignment = read_u32(b, image.optional_offset + pe::optional_file_alignment);
    image.headers_size = read_u32(b, image.optional_offset + pe::optional_headers_size);
    const std::size_t directory_count =
        std::min<std::size_t>(read_u32(b, image.optional_offset + pe::optional_directory_count),
                              (optional_size - pe::optional_directories) / 8);
    image.directories.resize(std::max(directory_count, directory_slots));
    for (std::size_t i = 0; i < directory_count; ++i) {
        const std::size_t at = image.optional_offset + pe::optional_directories + 8 * i;
        image.directories[i] = {read_u32(b, at), read_u32(b, at + 4)};
    }

    need(b, image.section_table_offset, section_count * pe::section_header_size);
    for (std::size_t i = 0; i < section_count; ++i) {
        const std::size_t at = image.section_table_offset + i * pe::section_header_size;
        pe_section section;
        section.name = b.substr(at, 8);
        section.name.erase(std::find(section.name.begin(), section.name.end(), '\0'), section.name.end());
        section.virtual_size = read_u32(b, at + pe::section_virtual_size);
        section.virtual_address = read_u32(b, at + pe::section_virtual_address);
        section.raw_size = read_u32(b, at + pe::section_raw_size);
        section.raw_offset = read_u32(b, at + pe::section_raw_offset);
        section.characteristics = read_u32(b, at + pe::section_characteristics);
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
        const std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos || end >= section.raw_offset + section.raw_size)
            break;
        return bytes.substr(start, end - start);
    }
    throw pe_error("it holds a name that runs out of its section");
}

void pe_checksum::add(const void *data, std::size_t size)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    length_ += size;
    if (size > 0 && pending_ >= 0) {
        sum_ += static_cast<std::uint64_t>(pending_) | static_cast<std::uint64_t>(*p) << 8;
        pending_ = -1;
        ++p;
        --size;
    }
    for (; size >= 2; p += 2, size -= 2)
        sum_ += static_cast<std::uint64_t>(p[0]) | static_cast<std::uint64_t>(p[1]) << 8;
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
