#include "icon_resources.h"

namespace {

constexpr std::size_t icon_dir_size = 6;
constexpr std::size_t icon_dir_entry_size = 16;
constexpr std::size_t group_entry_size = 14;

std::uint32_t read_le(const std::string &bytes, std::size_t at, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void append_le(std::string &out, std::uint32_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out += static_cast<char>(value >> (8 * i));
}

} // namespace

std::vector<resource_entry> icon_resources(const std::string &ico, std::uint16_t group_id)
{
    // ICONDIR: reserved 0, type 1, count; then one 16-byte entry per image.
    if (ico.size() < icon_dir_size || read_le(ico, 0, 2) != 0 || read_le(ico, 2, 2) != 1)
        throw resource_error("it is not an .ico file");
    const std::size_t count = read_le(ico, 4, 2);
    if (count == 0 || ico.size() < icon_dir_size + count * icon_dir_entry_size)
        throw resource_error("it is not an .ico file (no images, or its directory is cut short)");

    std::vector<resource_entry> resources;
    std::string group;
    append_le(group, 0, 2);
    append_le(group, 1, 2);
    append_le(group, static_cast<std::uint32_t>(count), 2);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = icon_dir_size + i * icon_dir_entry_size;
        const std::uint32_t size = read_le(ico, at + 8, 4);
        const std::uint32_t offset = read_le(ico, at + 12, 4);
        if (offset > ico.size() || size > ico.size() - offset || size == 0)
            throw resource_error("image " + std::to_string(i + 1) + " lies outside the .ico file");
        const auto id = static_cast<std::uint16_t>(i + 1);
        resources.push_back({resource_type::icon, id, language_en_us, ico.substr(offset, size)});
        // GRPICONDIRENTRY: the first 12 bytes of the file's entry, then the id.
        group.append(ico, at, group_entry_size - 2);
        append_le(group, id, 2);
    }
    resources.push_back({resource_type::group_icon, group_id, language_en_us, group});
    return resources;
}
