#include "resource_section.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace {

// A directory's header, then its entries (each an id or name and a target),
// and a data entry.
constexpr std::size_t directory_header_size = 16;
constexpr le_field directory_named_count{12, 2};
constexpr le_field directory_id_count{14, 2};
constexpr std::size_t directory_entry_size = 8;
constexpr le_field entry_id{0, 4};
constexpr le_field entry_target{4, 4};
constexpr std::size_t data_entry_size = 16;
constexpr le_field data_rva{0, 4};
constexpr le_field data_size{4, 4};
constexpr std::uint32_t subdirectory_bit = 0x80000000u;

std::size_t directory_size(std::size_t entries)
{
    return directory_header_size + entries * directory_entry_size;
}

// One directory's header and entries at `at`: every entry an integer id
// pointing at `targets`, subdirectories or data entries.
void write_directory(bytes &out, std::size_t at, const std::vector<std::uint16_t> &ids,
                     const std::vector<std::uint32_t> &targets)
{
    write_le(out, at, {{directory_id_count, ids.size()}});
    for (std::size_t i = 0; i < ids.size(); ++i)
        write_le(out, at + directory_header_size + i * directory_entry_size,
                 {{entry_id, ids[i]}, {entry_target, targets[i]}});
}

std::size_t align8(std::size_t value)
{
    return (value + 7) & ~std::size_t{7};
}

} // namespace

bytes build_resource_section(std::vector<resource_entry> entries, std::uint32_t section_rva)
{
    const auto key = [](const resource_entry &e) { return std::make_tuple(e.type, e.id, e.language); };
    std::sort(entries.begin(), entries.end(),
              [&](const resource_entry &a, const resource_entry &b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (key(entries[i - 1]) == key(entries[i]))
            throw resource_error("two resources of type " + std::to_string(entries[i].type) + " have the id " +
                                 std::to_string(entries[i].id));

    // The tree: type -> id -> language -> index into entries.
    std::map<std::uint16_t, std::map<std::uint16_t, std::map<std::uint16_t, std::size_t>>> tree;
    for (std::size_t i = 0; i < entries.size(); ++i)
        tree[entries[i].type][entries[i].id][entries[i].language] = i;

    // Offsets of every directory, breadth first as linkers lay them out.
    std::size_t end = directory_size(tree.size());
    std::map<std::uint16_t, std::size_t> type_at;
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::size_t> name_at;
    for (const auto &[type, names] : tree) {
        type_at[type] = end;
        end += directory_size(names.size());
    }
    for (const auto &[type, names] : tree)
        for (const auto &[id, languages] : names) {
            name_at[{type, id}] = end;
            end += directory_size(languages.size());
        }
    const std::size_t data_entries_at = end;
    std::size_t data_at = align8(data_entries_at + entries.size() * data_entry_size);
    std::vector<std::size_t> data_offsets;
    for (const resource_entry &entry : entries) {
        data_offsets.push_back(data_at);
        data_at = align8(data_at + entry.data.size());
    }

    bytes out(data_at, 0);
    std::vector<std::uint16_t> ids;
    std::vector<std::uint32_t> targets;
    for (const auto &[type, names] : tree) {
        ids.push_back(type);
        targets.push_back(subdirectory_bit | static_cast<std::uint32_t>(type_at[type]));
    }
    write_directory(out, 0, ids, targets);
    for (const auto &[type, names] : tree) {
        ids.clear(), targets.clear();
        for (const auto &[id, languages] : names) {
            ids.push_back(id);
            targets.push_back(subdirectory_bit | static_cast<std::uint32_t>(name_at[{type, id}]));
        }
        write_directory(out, type_at[type], ids, targets);
        for (const auto &[id, languages] : names) {
            ids.clear(), targets.clear();
            for (const auto &[language, index] : languages) {
                ids.push_back(language);
                targets.push_back(static_cast<std::uint32_t>(data_entries_at + index * data_entry_size));
            }
            write_directory(out, name_at[{type, id}], ids, targets);
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t at = data_entries_at + i * data_entry_size;
        write_le(out, at, {{data_rva, section_rva + data_offsets[i]}, {data_size, entries[i].data.size()}});
        std::copy(entries[i].data.begin(), entries[i].data.end(), out.begin() + data_offsets[i]);
    }
    return out;
}

namespace {

std::uint32_t field(const bytes &section, std::size_t at, le_field which)
{
    const std::optional<std::uint64_t> value = read_le(section, at, which);
    if (!value)
        throw resource_error("the resource section is cut short");
    return static_cast<std::uint32_t>(*value);
}

// The entries of the directory at `at` whose names are integer ids, as id
// and target pairs; entries named by strings are not the packer's.
std::vector<std::pair<std::uint16_t, std::uint32_t>> read_directory(const bytes &section, std::size_t at)
{
    const std::size_t named = field(section, at, directory_named_count);
    const std::size_t total = named + field(section, at, directory_id_count);
    std::vector<std::pair<std::uint16_t, std::uint32_t>> entries;
    for (std::size_t i = named; i < total; ++i) {
        const std::size_t entry = at + directory_header_size + i * directory_entry_size;
        entries.emplace_back(static_cast<std::uint16_t>(field(section, entry, entry_id)),
                             field(section, entry, entry_target));
    }
    return entries;
}

std::size_t subdirectory(std::uint32_t target, bool expected)
{
    if (((target & subdirectory_bit) != 0) != expected)
        throw resource_error("the resource tree is not three levels deep");
    return target & ~subdirectory_bit;
}

} // namespace

std::vector<resource_entry> read_resource_section(const bytes &section, std::uint32_t section_rva)
{
    std::vector<resource_entry> entries;
    for (const auto &[type, names] : read_directory(section, 0))
        for (const auto &[id, languages] : read_directory(section, subdirectory(names, true)))
            for (const auto &[language, data] : read_directory(section, subdirectory(languages, true))) {
                const std::size_t at = subdirectory(data, false);
                const std::uint32_t rva = field(section, at, data_rva), size = field(section, at, data_size);
                if (rva < section_rva || rva - section_rva > section.size() ||
                    section.size() - (rva - section_rva) < size)
                    throw resource_error("a resource lies outside the resource section");
                const auto start = section.begin() + (rva - section_rva);
                entries.push_back({type, id, language, bytes(start, start + size)});
            }
    return entries;
}
