#include "icon_resources.h"

namespace {

// ICONDIR: reserved 0, type 1, count; then one 16-byte entry per image.
// RT_GROUP_ICON starts with the same header, then 14 bytes per image: the
// first 12 bytes of the file's entry, then the RT_ICON id.
constexpr le_field icon_dir_reserved{0, 2};
constexpr le_field icon_dir_type{2, 2};
constexpr le_field icon_dir_count{4, 2};
constexpr std::size_t icon_dir_size = 6;
constexpr le_field icon_entry_size{8, 4};
constexpr le_field icon_entry_offset{12, 4};
constexpr std::size_t icon_dir_entry_size = 16;
constexpr std::size_t group_entry_shared = 12;

// A field of the structure at `at`, which the size checks keep within `ico`.
std::uint32_t field(const bytes &ico, std::size_t at, le_field which)
{
    return static_cast<std::uint32_t>(load_le(ico.data() + at + which.offset, which.width));
}

} // namespace

std::vector<resource_entry> icon_resources(const bytes &ico, std::uint16_t group_id)
{
    if (ico.size() < icon_dir_size || field(ico, 0, icon_dir_reserved) != 0 || field(ico, 0, icon_dir_type) != 1)
        throw resource_error("it is not an .ico file");
    const std::size_t count = field(ico, 0, icon_dir_count);
    if (count == 0 || ico.size() < icon_dir_size + count * icon_dir_entry_size)
        throw resource_error("it is not an .ico file (no images, or its directory is cut short)");

    std::vector<resource_entry> resources;
    bytes group;
    append_le(group, icon_dir_reserved.width, 0);
    append_le(group, icon_dir_type.width, 1);
    append_le(group, icon_dir_count.width, count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = icon_dir_size + i * icon_dir_entry_size;
        const std::uint32_t size = field(ico, at, icon_entry_size);
        const std::uint32_t offset = field(ico, at, icon_entry_offset);
        if (offset > ico.size() || size > ico.size() - offset || size == 0)
            throw resource_error("image " + std::to_string(i + 1) + " lies outside the .ico file");
        const auto id = static_cast<std::uint16_t>(i + 1);
        resources.push_back({resource_type::icon, id, language_en_us, bytes(ico.begin() + offset,
                                                                            ico.begin() + offset + size)});
        group.insert(group.end(), ico.begin() + at, ico.begin() + at + group_entry_shared);
        append_le(group, 2, id);
    }
    resources.push_back({resource_type::group_icon, group_id, language_en_us, group});
    return resources;
}
