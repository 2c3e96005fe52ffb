#include "packed_executable.h"

#include "attached_data_reader.h"
#include "executable_resources.h"
#include "executable_writer.h"
#include "file_io.h"
#include "manifest.h"
#include "pack_error.h"
#include "pe_signature.h"
#include "resource_section.h"
#include "unpack_template.h"
#include "utf16.h"
#include "version_resource.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The parts of a packed executable that tell what it holds.
struct executable_view {
    pe_image image;
    bytes object;
    std::u16string unpack_template;
    std::vector<resource_entry> resources;

    // The data of the resource, or nullptr.
    const bytes *resource(std::uint16_t type, std::uint16_t id) const
    {
        for (const resource_entry &entry : resources)
            if (entry.type == type && entry.id == id)
                return &entry.data;
        return nullptr;
    }
};

[[noreturn]] void not_packed(const fs::path &path, const std::string &why)
{
    throw pack_error(quoted_path(path) + " is not an executable made by onefile-pack: " + why);
}

executable_view read_executable(const fs::path &path)
{
    executable_view view;
    try {
        view.image = parse_pe_image(read_whole_file(path, "executable"));
    } catch (const pe_error &error) {
        not_packed(path, error.what());
    }
    const pe_image &image = view.image;
    if (image.machine != pe::machine_amd64 || image.is_dll())
        not_packed(path, "it is not a 64-bit Windows executable");
    const pe_section *data = image.find_section(".qvdata");
    const pe_section *settings = image.find_section(".qvconf");
    if (data == nullptr || settings == nullptr ||
        settings->raw_size < settings_template_offset + 2 * unpack_template_capacity)
        not_packed(path, "it holds no attached data");
    try {
        const std::uint64_t length = read_field(image.file, settings->raw_offset, settings_object_size);
        if (length > data->raw_size)
            not_packed(path, "its attached data is longer than its section");
        const auto object = image.file.begin() + data->raw_offset;
        view.object.assign(object, object + static_cast<std::ptrdiff_t>(length));
        for (std::size_t i = 0; i < unpack_template_capacity - 1; ++i) {
            const auto unit = static_cast<char16_t>(
                read_field(image.file, settings->raw_offset + settings_template_offset + 2 * i, utf16_unit));
            if (unit == 0)
                break;
            view.unpack_template += unit;
        }
        const pe_data_directory directory = image.directories[pe::resource_directory];
        if (directory.size > 0) {
            const auto section = image.file.begin() + image.offset_of(directory.rva, directory.size);
            view.resources = read_resource_section(bytes(section, section + directory.size), directory.rva);
        }
    } catch (const pe_error &error) {
        not_packed(path, error.what());
    } catch (const resource_error &error) {
        not_packed(path, error.what());
    }
    if (object_length(view.object) == 0)
        not_packed(path, "its attached data has no header and trailer");
    return view;
}

// A name or text as one line of output: UTF-8, control characters as \xNN.
std::string shown_utf8(const std::string &text)
{
    const std::string quoted = quoted_path(path_from_utf8(text));
    return quoted.substr(1, quoted.size() - 2);
}

std::string shown(const std::u16string &text)
{
    return shown_utf8(utf8_text(text));
}

struct listed_entry {
    std::u16string name;
    std::uint64_t size;
    signature_state signature;
};

// Each entry with its size, and whether it is a signed image, judged from
// its bytes as they are decoded.
class entry_lister : public entry_visitor {
public:
    std::vector<listed_entry> entries;

    void begin(const std::u16string &name, std::uint64_t size) override
    {
        entries.push_back({name, size, signature_state::not_an_image});
        probe_.emplace(size);
        position_ = 0;
    }

    void data(const byte *data, std::size_t size) override
    {
        probe_->feed(position_, data, size);
        position_ += size;
    }

    void end() override { entries.back().signature = probe_->state(); }

private:
    std::optional<signature_probe> probe_;
    std::uint64_t position_ = 0;
};

// The column before an entry's name.
const char *signature_text(signature_state state)
{
    switch (state) {
    case signature_state::signed_image:
        return "signed  ";
    case signature_state::unsigned_image:
        return "unsigned";
    default:
        return "        ";
    }
}

// PNG's integers are big-endian.
std::uint32_t big_endian_u32(const bytes &data, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | data[at + i];
    return value;
}

// The image's pixels, as the bootstrap reads their header.
std::string splash_pixels_text(const bytes *pixels)
{
    if (pixels == nullptr)
        return "no pixels (shown through the imaging library)";
    const std::string size = std::to_string(pixels->size()) + " bytes";
    const std::optional<std::uint64_t> version = read_le(*pixels, 0, le_field{0, 4});
    const std::optional<std::uint64_t> width = read_le(*pixels, 0, le_field{4, 4});
    const std::optional<std::uint64_t> height = read_le(*pixels, 0, le_field{8, 4});
    if (version != ONEFILE_SPLASH_PIXELS_VERSION || !width || !height)
        return "pixels in another format, " + size;
    return "pixels " + std::to_string(*width) + "x" + std::to_string(*height) + ", " + size;
}

std::string splash_text(const bytes *png, const bytes *pixels)
{
    if (png == nullptr)
        return "none";
    const std::string size = std::to_string(png->size()) + " bytes";
    const auto holds = [png](std::size_t at, std::string_view text) {
        return std::equal(text.begin(), text.end(), png->begin() + at, [](char c, byte b) { return byte(c) == b; });
    };
    if (png->size() < 24 || !holds(0, "\x89PNG\r\n\x1a\n") || !holds(12, "IHDR"))
        return "not a PNG, " + size;
    return "PNG " + std::to_string(big_endian_u32(*png, 16)) + "x" + std::to_string(big_endian_u32(*png, 20)) +
           ", " + size + "; " + splash_pixels_text(pixels);
}

// The sizes of an icon group: a 6-byte header that ends with the count,
// then 14 bytes per image whose first two bytes are its width and height
// (0 for 256).
std::string icon_text(const bytes *group)
{
    constexpr le_field group_count{4, 2};
    const std::optional<std::uint64_t> count = group == nullptr ? std::nullopt : read_le(*group, 0, group_count);
    if (!count)
        return "none";
    std::string text;
    for (std::size_t i = 0; i < *count && 6 + 14 * i + 2 <= group->size(); ++i) {
        const auto side = [&](std::size_t at) {
            const unsigned value = (*group)[at];
            return std::to_string(value == 0 ? 256 : value);
        };
        text += (text.empty() ? "" : ", ") + side(6 + 14 * i) + "x" + side(6 + 14 * i + 1);
    }
    return text;
}

// Each value of the fixed arguments, which end with a 0 unit each.
std::vector<std::u16string> fixed_argument_values(const bytes &resource)
{
    std::vector<std::u16string> values;
    const std::u16string text = utf16le_text(resource);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find(u'\0', start), text.size());
        values.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return values;
}

std::vector<listed_entry> entries_of(const executable_view &view, const fs::path &path)
{
    entry_lister lister;
    read_entries(view.object, quoted_path(path), lister);
    return lister.entries;
}

// Writes each entry below `root` as the bootstrap writes it into its folder.
class entry_writer : public entry_visitor {
public:
    explicit entry_writer(const fs::path &root) : root_(root) {}

    void begin(const std::u16string &name, std::uint64_t) override
    {
        path_ = root_;
        std::size_t start = 0;
        for (std::size_t end; (end = name.find(u'\\', start)) != std::u16string::npos; start = end + 1)
            path_ /= path_from_utf8(utf8_text(name.substr(start, end - start)));
        path_ /= path_from_utf8(utf8_text(name.substr(start)));
        std::error_code error;
        fs::create_directories(path_.parent_path(), error);
        file_ = open_file(path_, "wb");
        if (!file_)
            throw pack_error("cannot write " + quoted_path(path_) + ": " + errno_text());
    }

    void data(const byte *data, std::size_t size) override
    {
        if (std::fwrite(data, 1, size, file_.get()) != size)
            throw pack_error("cannot write " + quoted_path(path_) + ": " + errno_text());
    }

    void end() override
    {
        if (std::fclose(file_.release()) != 0)
            throw pack_error("cannot write " + quoted_path(path_) + ": " + errno_text());
    }

private:
    fs::path root_;
    fs::path path_;
    file_handle file_{nullptr, std::fclose};
};

// A new, empty folder beside `folder`, named after it.
fs::path create_sibling_folder(const fs::path &folder)
{
    std::error_code error;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const fs::path sibling = folder.native() + fs::path(".partial-" + std::to_string(attempt)).native();
        if (fs::create_directory(sibling, error))
            return sibling;
        if (error)
            break;
    }
    throw pack_error("cannot make a folder beside " + quoted_path(folder) + ": " +
                     (error ? error.message() : "every name is taken"));
}

} // namespace

void list_packed_executable(const fs::path &path, std::FILE *out)
{
    const executable_view view = read_executable(path);
    const std::vector<listed_entry> entries = entries_of(view, path);
    std::vector<std::pair<std::string, std::string>> lines;
    const bytes *maker = view.resource(resource_type::rcdata, packer_resource_id);
    lines.emplace_back("made by", maker != nullptr ? shown(utf16le_text(*maker)) : "not recorded (onefile-pack 0.1.0 or older)");
    lines.emplace_back("subsystem", view.image.subsystem == pe::subsystem_console ? "console" : "GUI");
    signature_probe own(view.image.file.size());
    own.feed(0, view.image.file.data(), view.image.file.size());
    lines.emplace_back("signature", own.state() == signature_state::signed_image ? "signed" : "unsigned");
    if (const bytes *program = view.resource(resource_type::rcdata, program_resource_id)) {
        lines.emplace_back("program", shown(utf16le_text(*program)) + ", started by " + shown(entries[0].name));
        if (const bytes *fixed = view.resource(resource_type::rcdata, fixed_arguments_resource_id))
            for (const std::u16string &value : fixed_argument_values(*fixed))
                lines.emplace_back("argument", shown(value));
    } else {
        lines.emplace_back("main DLL", shown(entries[0].name));
    }
    const std::string unpack_template = utf8_text(view.unpack_template);
    lines.emplace_back("unpack", (is_cached_template(unpack_template) ? "cached in " : "per run to ") +
                                     shown(view.unpack_template));
    lines.emplace_back("splash", splash_text(view.resource(resource_type::rcdata, splash_resource_id),
                                             view.resource(resource_type::rcdata, splash_pixels_resource_id)));
    lines.emplace_back("icon", icon_text(view.resource(resource_type::group_icon, 1)));
    manifest_facts facts;
    if (const bytes *manifest = view.resource(resource_type::manifest, 1))
        facts = read_manifest(*manifest, "of " + quoted_path(path));
    lines.emplace_back("execution level", facts.execution_level.empty() ? "not stated" : shown_utf8(facts.execution_level));
    lines.emplace_back("DPI awareness", facts.dpi_awareness.empty() ? "none" : facts.dpi_awareness);
    lines.emplace_back("code page", facts.utf8 ? "UTF-8" : "the user's");
    if (const bytes *version = view.resource(resource_type::version, 1)) {
        try {
            for (const auto &[key, value] : read_version_strings(*version))
                lines.emplace_back("version", key + ": " + value);
        } catch (const resource_error &error) {
            not_packed(path, error.what());
        }
    }
    std::uint64_t total = 0;
    for (const listed_entry &entry : entries)
        total += entry.size;
    lines.emplace_back("attached data", std::to_string(view.object.size()) + " bytes, " +
                                            std::to_string(entries.size()) + " files, " + std::to_string(total) +
                                            " bytes unpacked");

    std::string text;
    for (const auto &[key, value] : lines)
        text += key + ": " + value + "\n";
    const std::size_t width = std::to_string(total).size();
    for (const listed_entry &entry : entries) {
        const std::string size = std::to_string(entry.size);
        text += std::string(width - size.size() + 2, ' ') + size + "  " + signature_text(entry.signature) + "  " +
                shown(entry.name) + "\n";
    }
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0)
        throw pack_error("cannot write the list: " + errno_text());
}

void extract_packed_executable(const fs::path &path, const fs::path &folder)
{
    const executable_view view = read_executable(path);
    std::error_code error;
    if (fs::exists(fs::symlink_status(folder, error)))
        throw pack_error(quoted_path(folder) + " exists already; name a folder to create");
    const fs::path partial = create_sibling_folder(folder);
    try {
        entry_writer writer(partial);
        read_entries(view.object, quoted_path(path), writer);
        fs::rename(partial, folder);
    } catch (...) {
        fs::remove_all(partial, error);
        throw;
    }
}
