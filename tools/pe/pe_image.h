// Reading PE32+ images: the headers, the section table and the data
// directories, enough to check a library and to write an executable from a
// template. Field offsets are those of the PE format; all integers are
// little-endian.
#ifndef ONEFILE_PE_IMAGE_H
#define ONEFILE_PE_IMAGE_H

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

// Offsets within the COFF file header, which follows "PE\0\0".
constexpr std::size_t coff_machine = 0;
constexpr std::size_t coff_section_count = 2;
constexpr std::size_t coff_optional_header_size = 16;
constexpr std::size_t coff_characteristics = 18;
constexpr std::size_t coff_header_size = 20;

// Offsets within the PE32+ optional header.
constexpr std::size_t optional_magic = 0;
constexpr std::size_t optional_code_size = 4;
constexpr std::size_t optional_initialized_data_size = 8;
constexpr std::size_t optional_uninitialized_data_size = 12;
constexpr std::size_t optional_section_alignment = 32;
constexpr std::size_t optional_file_alignment = 36;
constexpr std::size_t optional_image_size = 56;
constexpr std::size_t optional_headers_size = 60;
constexpr std::size_t optional_checksum = 64;
constexpr std::size_t optional_subsystem = 68;
constexpr std::size_t optional_directory_count = 108;
constexpr std::size_t optional_directories = 112;

// Offsets within a 40-byte section header.
constexpr std::size_t section_header_size = 40;
constexpr std::size_t section_virtual_size = 8;
constexpr std::size_t section_virtual_address = 12;
constexpr std::size_t section_raw_size = 16;
constexpr std::size_t section_raw_offset = 20;
constexpr std::size_t section_characteristics = 36;

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
    std::string bytes;                          // the whole file
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

// Parses a PE32+ or PE32 image. Throws pe_error when `bytes` are not a PE
// image or its headers point outside the file.
pe_image parse_pe_image(std::string bytes);

// Little-endian reads and writes within `bytes`; reads past the end throw pe_error.
std::uint16_t read_u16(const std::string &bytes, std::size_t offset);
std::uint32_t read_u32(const std::string &bytes, std::size_t offset);
void write_u16(std::string &bytes, std::size_t offset, std::uint16_t value);
void write_u32(std::string &bytes, std::size_t offset, std::uint32_t value);
void write_u64(std::string &bytes, std::size_t offset, std::uint64_t value);

// The PE checksum, fed in pieces in file order: 16-bit little-endian words
// summed with the carry folded back in, plus the file length. The caller
// feeds the checksum field itself as zeros.
class pe_checksum {
public:
    void add(const void *data, std::size_t size);
    std::uint32_t value() const;

private:
    std::uint64_t sum_ = 0;
    std::uint64_t length_ = 0;
    int pending_ = -1;                  // a low byte waiting for its high byte
};

// `value` rounded up to a multiple of `alignment`, a power of two.
std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment);

#endif
