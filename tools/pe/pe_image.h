// Reading PE32+ images: the headers, the section table and the data
// directories, enough to check a library and to write an executable from a
// template. Fields are those of the PE format (little_endian.h).
#ifndef ONEFILE_PE_IMAGE_H
#define ONEFILE_PE_IMAGE_H

#include "little_endian.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// What is wrong with an image, in words fit for a one-line message.
struct pe_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace pe {

constexpr std::uint16_t machine_amd64 = 0x8664;
constexpr std::uint16_t magic_pe32 = 0x10b;
constexpr std::uint16_t magic_pe32_plus = 0x20b;
constexpr std::uint16_t file_dll = 0x2000;
constexpr std::uint16_t subsystem_gui = 2;
constexpr std::uint16_t subsystem_console = 3;

constexpr std::uint32_t section_code = 0x00000020;
constexpr std::uint32_t section_initialized_data = 0x00000040;
constexpr std::uint32_t section_uninitialized_data = 0x00000080;
constexpr std::uint32_t section_read = 0x40000000;

enum directory : std::size_t {
    export_directory = 0,
    import_directory = 1,
    resource_directory = 2,
    security_directory = 4,
    base_relocation_directory = 5,
    debug_directory = 6,
    delay_import_directory = 13,
};

// The MS-DOS header, whose last field is the offset of "PE\0\0".
constexpr std::size_t dos_header_size = 64;
constexpr le_field dos_pe_offset{0x3c, 4};
constexpr std::size_t pe_signature_size = 4;

// The COFF file header, which follows "PE\0\0".
constexpr le_field coff_machine{0, 2};
constexpr le_field coff_section_count{2, 2};
constexpr le_field coff_optional_header_size{16, 2};
constexpr le_field coff_characteristics{18, 2};
constexpr std::size_t coff_header_size = 20;

// The PE32+ optional header; its data directories start at
// optional_directories, one rva and size pair each.
constexpr le_field optional_magic{0, 2};
constexpr le_field optional_initialized_data_size{8, 4};
constexpr le_field optional_section_alignment{32, 4};
constexpr le_field optional_file_alignment{36, 4};
constexpr le_field optional_image_size{56, 4};
constexpr le_field optional_headers_size{60, 4};
constexpr le_field optional_checksum{64, 4};
constexpr le_field optional_subsystem{68, 2};
constexpr le_field optional_directory_count{108, 4};
constexpr std::size_t optional_directories = 112;
// The same two in a PE32 optional header.
constexpr le_field pe32_directory_count{92, 4};
constexpr std::size_t pe32_directories = 96;
constexpr le_field directory_rva{0, 4};
constexpr le_field directory_size{4, 4};
constexpr std::size_t directory_entry_size = 8;

// A section header: its name's 8 bytes, then these fields.
constexpr std::size_t section_header_size = 40;
constexpr std::size_t section_name_size = 8;
constexpr le_field section_virtual_size{8, 4};
constexpr le_field section_virtual_address{12, 4};
constexpr le_field section_raw_size{16, 4};
constexpr le_field section_raw_offset{20, 4};
constexpr le_field section_characteristics{36, 4};

} // namespace pe

struct pe_section {
    std::string name;                   // at most 8 bytes, trailing NULs removed
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
    std::uint32_t characteristics;
};

struct pe_data_directory {
    std::uint32_t rva;
    std::uint32_t size;
};

struct pe_image {
    bytes file;                                 // the whole file
    std::size_t coff_offset = 0;                // of the COFF header, after "PE\0\0"
    std::size_t optional_offset = 0;            // of the optional header
    std::size_t section_table_offset = 0;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t subsystem = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint32_t headers_size = 0;
    std::vector<pe_data_directory> directories; // always at least 16
    std::vector<pe_section> sections;           // in table order

    bool is_dll() const { return (characteristics & pe::file_dll) != 0; }

    // The section called `name`, or nullptr.
    const pe_section *find_section(const std::string &name) const;

    // The file offset of `size` bytes at `rva`. Throws pe_error unless they
    // lie within the raw data of one section.
    std::size_t offset_of(std::uint32_t rva, std::size_t size) const;

    // The NUL-terminated string at `rva`. Throws pe_error when it runs out
    // of its section's raw data.
    std::string string_at(std::uint32_t rva) const;
};

// Parses a PE32+ or PE32 image. Throws pe_error when `data` is not a PE
// image or its headers point outside the file.
pe_image parse_pe_image(bytes data);

// The field of the structure at `at` in `data`. Throws pe_error when it
// lies past the end of the file.
std::uint64_t read_field(const bytes &data, std::size_t at, le_field field);

// The PE checksum, fed in pieces in file order: 16-bit little-endian words
// summed with the carry folded back in, plus the file length. The caller
// feeds the checksum field itself as zeros.
class pe_checksum {
public:
    void add(const byte *data, std::size_t size);
    std::uint32_t value() const;

private:
    std::uint64_t sum_ = 0;
    std::uint64_t length_ = 0;
    int pending_ = -1;                  // a low byte waiting for its high byte
};

// `value` rounded up to a multiple of `alignment`, a power of two.
std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment);

#endif
