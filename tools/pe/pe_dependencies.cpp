#include "pe_dependencies.h"

#include "system_dlls.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The export directory, and its table of name RVAs.
constexpr le_field export_name_count{24, 4};
constexpr le_field export_name_table{32, 4};
constexpr std::size_t export_directory_size = 40;
constexpr le_field name_rva{0, 4};

// An import descriptor and a delay-load descriptor.
constexpr le_field import_name{12, 4};
constexpr std::size_t import_descriptor_size = 20;
constexpr le_field delay_name{4, 4};
constexpr std::size_t delay_descriptor_size = 32;

std::string machine_name(std::uint16_t machine)
{
    switch (machine) {
    case 0x014c:
        return "32-bit x86";
    case 0x01c4:
        return "32-bit ARM";
    case 0xaa64:
        return "ARM64";
    default:
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04x", machine);
        return std::string("machine type ") + hex;
    }
}

// A C++ compiler's name for a function called run_code: GCC and Clang
// write _Z8run_code... (or _ZN...8run_code... in a namespace), MSVC
// ?run_code@....
bool is_mangled_run_code(const std::string &name)
{
    return (name.rfind("_Z", 0) == 0 && name.find("8run_code") != std::string::npos) ||
           name.rfind("?run_code@", 0) == 0;
}

// The image's data directory `which`. Throws pe_error for a 32-bit image,
// whose directories parse_pe_image does not read.
pe_data_directory directory_of(const pe_image &image, pe::directory which)
{
    if (image.directories.empty())
        throw pe_error("it is not a 64-bit (PE32+) image");
    return image.directories[which];
}

// Appends the DLL names of a table of descriptors, `size` bytes each with
// the name's RVA at `name_at`, that ends with a descriptor naming nothing.
// In the delay-load table the name is an RVA whatever the attributes say:
// the addresses that linkers before Visual C++ 7 wrote there do not fit a
// PE32+ image's 32 bits.
void append_dll_names(const pe_image &image, pe::directory directory, std::size_t size, le_field name_at,
                      std::vector<std::string> &names)
{
    const std::uint32_t start = directory_of(image, directory).rva;
    if (start == 0)
        return;
    for (std::uint32_t rva = start;; rva += static_cast<std::uint32_t>(size)) {
        const auto name = static_cast<std::uint32_t>(read_field(image.file, image.offset_of(rva, size), name_at));
        if (name == 0)
            return;
        names.push_back(image.string_at(name));
    }
}

bytes read_whole_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad())
        throw pe_error("it cannot be read");
    return data;
}

// The regular files at the top of `folder`, by lower-case UTF-8 name. Of
// names that differ only in case, the first in byte order wins, as the
// order of a directory listing is not fixed.
std::map<std::string, fs::path> files_by_lower_name(const fs::path &folder)
{
    std::vector<fs::path> entries{fs::directory_iterator(folder), fs::directory_iterator()};
    std::sort(entries.begin(), entries.end());
    std::map<std::string, fs::path> files;
    for (const fs::path &entry : entries)
        if (fs::is_regular_file(entry))
            files.emplace(ascii_lower(entry.filename().u8string()), entry.filename());
    return files;
}

} // namespace

void check_main_file(const bytes &data, main_file_kind kind)
{
    const pe_image image = parse_pe_image(data);
    if (image.machine != pe::machine_amd64)
        throw pe_error("it is built for " + machine_name(image.machine) + ", not for x86-64");
    if (read_field(image.file, image.optional_offset, pe::optional_magic) != pe::magic_pe32_plus)
        throw pe_error("it is not a 64-bit (PE32+) image");
    if (kind == main_file_kind::dll && !image.is_dll())
        throw pe_error("it is an executable, not a DLL");
    if (kind == main_file_kind::executable && image.is_dll())
        throw pe_error("it is a DLL, not an executable");
    if (kind == main_file_kind::executable)
        return;

    const std::vector<std::string> names = exported_names(image);
    if (std::find(names.begin(), names.end(), "run_code") != names.end())
        return;
    const auto mangled = std::find_if(names.begin(), names.end(), is_mangled_run_code);
    if (mangled != names.end())
        throw pe_error("it exports run_code only under its C++ name " + *mangled +
                       "; declare run_code extern \"C\"");
    throw pe_error("it does not export run_code");
}

std::vector<std::string> exported_names(const pe_image &image)
{
    const pe_data_directory directory = directory_of(image, pe::export_directory);
    if (directory.rva == 0)
        return {};
    const std::size_t header = image.offset_of(directory.rva, export_directory_size);
    const std::uint64_t count = read_field(image.file, header, export_name_count);
    const std::size_t table = image.offset_of(static_cast<std::uint32_t>(read_field(image.file, header, export_name_table)),
                                              name_rva.width * count);
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < count; ++i)
        names.push_back(image.string_at(
            static_cast<std::uint32_t>(read_field(image.file, table + name_rva.width * i, name_rva))));
    return names;
}

std::vector<std::string> imported_dlls(const pe_image &image)
{
    std::vector<std::string> names;
    append_dll_names(image, pe::import_directory, import_descriptor_size, import_name, names);
    append_dll_names(image, pe::delay_import_directory, delay_descriptor_size, delay_name, names);
    return names;
}

std::vector<missing_dll> find_missing_dlls(const fs::path &app_dir, const fs::path &main_name)
{
    const std::map<std::string, fs::path> beside = files_by_lower_name(app_dir);
    std::vector<missing_dll> missing;
    std::set<std::pair<std::string, fs::path>> reported; // lower-case name, importer
    std::set<std::string> followed{ascii_lower(main_name.u8string())};
    std::deque<fs::path> importers{main_name};
    while (!importers.empty()) {
        const fs::path importer = importers.front();
        importers.pop_front();
        std::vector<std::string> imports;
        try {
            imports = imported_dlls(parse_pe_image(read_whole_file(app_dir / importer)));
        } catch (const pe_error &) {
            if (importer == main_name)
                throw;
            continue; // the loader refuses it on its own terms
        }
        for (const std::string &name : imports) {
            const std::string lower = ascii_lower(name);
            const auto found = beside.find(lower);
            if (found != beside.end()) {
                if (followed.insert(lower).second)
                    importers.push_back(found->second);
            } else if (!is_system_dll(name) && reported.emplace(lower, importer).second) {
                missing.push_back({name, importer.u8string()});
            }
        }
    }
    return missing;
}
