#include "executable_resources.h"

#include "file_io.h"
#include "format/onefile_format.h"
#include "icon_resources.h"
#include "manifest.h"
#include "pack_error.h"
#include "splash_pixels.h"
#include "utf16.h"
#include "version_resource.h"

#include <algorithm>

namespace {

constexpr std::uint16_t manifest_resource_id = 1; // the manifest of a process
constexpr std::uint16_t icon_group_id = 1;
constexpr std::uint16_t version_resource_id = 1;

std::vector<resource_entry> icon(const std::filesystem::path &path)
{
    try {
        return icon_resources(read_whole_file(path, "icon"), icon_group_id);
    } catch (const resource_error &error) {
        throw pack_error("icon " + quoted_path(path) + " is not an .ico file: " + error.what());
    }
}

// The PNG, and beside it its pixels for the bootstrap (splash_pixels.h).
std::vector<resource_entry> splash(const std::filesystem::path &path)
{
    bytes png = read_whole_file(path, "splash image");
    const bytes signature = bytes_of("\x89PNG\r\n\x1a\n");
    if (png.size() < signature.size() || !std::equal(signature.begin(), signature.end(), png.begin()))
        throw pack_error("splash image " + quoted_path(path) + " is not a PNG file");
    bytes pixels = splash_pixels_resource(png, quoted_path(path));
    return {{resource_type::rcdata, splash_resource_id, language_en_us, std::move(png)},
            {resource_type::rcdata, splash_pixels_resource_id, language_en_us, std::move(pixels)}};
}

// Explorer shows text up to the first control character: a value that
// holds one is a mistake.
void check_text(const char *option, const std::string &value)
{
    std::u16string ignored;
    for (unsigned char byte : value)
        if (byte < 0x20 || byte == 0x7F)
            throw pack_error(std::string(option) + " must not hold control characters");
    if (!append_utf16(ignored, value))
        throw pack_error(std::string(option) + " is not UTF-8 text");
}

version_info version(const version_options &options, const std::string &file_name)
{
    version_info info;
    const std::pair<const char *, const std::string *> texts[] = {
        {"--company-name", &options.company_name},   {"--file-description", &options.file_description},
        {"--copyright", &options.copyright},         {"--product-name", &options.product_name},
        {"--product-version", &options.product_version}};
    for (const auto &[option, value] : texts)
        if (!value->empty())
            check_text(option, *value);
    if (!options.file_version.empty() && !parse_version_numbers(options.file_version, info.file_version))
        throw pack_error("--file-version '" + options.file_version +
                         "' is not one to four numbers from 0 to 65535 separated by dots, such as 1.2.0");
    info.product_version = info.file_version;
    if (!options.product_version.empty()) {
        const std::string numbers =
            options.product_version.substr(0, options.product_version.find_first_not_of("0123456789."));
        version_numbers parsed;
        if (parse_version_numbers(numbers, parsed))
            info.product_version = parsed;
    }
    const std::string &product_version = options.product_version.empty() ? options.file_version
                                                                         : options.product_version;
    const std::pair<const char *, const std::string *> strings[] = {
        {"CompanyName", &options.company_name},       {"FileDescription", &options.file_description},
        {"FileVersion", &options.file_version},       {"LegalCopyright", &options.copyright},
        {"OriginalFilename", &file_name},             {"ProductName", &options.product_name},
        {"ProductVersion", &product_version}};
    for (const auto &[key, value] : strings)
        if (!value->empty())
            info.strings.emplace_back(key, *value);
    return info;
}

// The --arg values as the launcher reads them. Refuses values that could
// overflow its command line once {APP_DIR} is replaced by a path as long as
// it has room for, and every character is quoted at the worst (doubled
// backslashes), with the quotes and a blank.
bytes fixed_arguments(const std::vector<std::string> &values)
{
    const std::u16string placeholder = u"" ONEFILE_APP_DIR_PLACEHOLDER;
    std::u16string stored;
    std::uint64_t room = 0;
    for (const std::string &value : values) {
        std::u16string units;
        if (!append_utf16(units, value))
            throw pack_error("--arg '" + value + "' is not UTF-8 text");
        std::uint64_t expanded = units.size();
        for (std::size_t at = units.find(placeholder); at != std::u16string::npos;
             at = units.find(placeholder, at + placeholder.size()))
            expanded += ONEFILE_PATH_CAPACITY - 1 - placeholder.size();
        room += 1 + 2 + 2 * expanded;
        stored += units;
        stored += u'\0';
    }
    if (room + 1 > ONEFILE_FIXED_ARGUMENTS_CAPACITY)
        throw pack_error("the --arg values are too long: with " ONEFILE_APP_DIR_PLACEHOLDER " as long as a path may be, "
                         "they could need " + std::to_string(room) + " characters of the command line, more than " +
                         "the launcher's " + std::to_string(ONEFILE_FIXED_ARGUMENTS_CAPACITY - 1));
    return utf16le_bytes(stored);
}

} // namespace

bool version_options::any() const
{
    return !product_name.empty() || !company_name.empty() || !file_description.empty() || !file_version.empty() ||
           !product_version.empty() || !copyright.empty();
}

std::vector<resource_entry> executable_resources(const resource_options &options)
{
    std::vector<resource_entry> resources = icon(options.icon);
    resources.push_back({resource_type::manifest, manifest_resource_id, language_en_us, executable_manifest(options.manifest)});
    if (!options.splash.empty())
        for (resource_entry &entry : splash(options.splash))
            resources.push_back(std::move(entry));
    if (!options.program.empty())
        resources.push_back({resource_type::rcdata, program_resource_id, language_en_us,
                             utf16le_bytes(options.program)});
    if (!options.fixed_arguments.empty())
        resources.push_back({resource_type::rcdata, fixed_arguments_resource_id, language_en_us,
                             fixed_arguments(options.fixed_arguments)});
    if (!options.packer.empty())
        resources.push_back({resource_type::rcdata, packer_resource_id, language_en_us,
                             utf16le_bytes(std::u16string(options.packer.begin(), options.packer.end()))});
    if (options.version.any())
        resources.push_back({resource_type::version, version_resource_id, language_en_us,
                             version_resource(version(options.version, options.file_name))});
    return resources;
}
