#include "version_resource.h"

#include "resource_section.h"
#include "utf16.h"

namespace {

constexpr std::uint32_t fixed_info_signature = 0xFEEF04BD;
constexpr std::uint32_t fixed_info_version = 0x00010000;
constexpr std::uint32_t flags_mask = 0x3F;
constexpr std::uint32_t os_nt_windows32 = 0x00040004;
constexpr std::uint32_t file_type_app = 1;
constexpr std::uint16_t binary_value = 0;
constexpr std::uint16_t text_value = 1;
// A block's header; its key follows.
constexpr le_field block_length{0, 2};
constexpr le_field block_value_length{2, 2};
constexpr le_field block_type{4, 2};
constexpr std::size_t block_header_size = 6;

void pad4(bytes &out)
{
    out.resize((out.size() + 3) & ~std::size_t{3}, 0);
}

std::u16string utf16(const std::string &text)
{
    std::u16string out;
    if (!append_utf16(out, text))
        throw resource_error("version text '" + text + "' is not UTF-8");
    return out;
}

// One block of the version tree: length, value length, type, key, then the
// value and the children, each starting on a 4-byte boundary.
bytes block(const std::string &key, const bytes &value, std::uint16_t value_length, std::uint16_t type,
            const std::vector<bytes> &children = {})
{
    bytes out(block_header_size, 0);
    const bytes key_bytes = utf16le_bytes(utf16(key) + u'\0');
    out.insert(out.end(), key_bytes.begin(), key_bytes.end());
    pad4(out);
    out.insert(out.end(), value.begin(), value.end());
    for (const bytes &child : children) {
        pad4(out);
        out.insert(out.end(), child.begin(), child.end());
    }
    if (out.size() > 0xFFFF)
        throw resource_error("the version texts are too long for a version resource");
    write_le(out, 0, {{block_length, out.size()}, {block_value_length, value_length}, {block_type, type}});
    return out;
}

std::uint32_t high(const version_numbers &v) { return static_cast<std::uint32_t>(v[0]) << 16 | v[1]; }
std::uint32_t low(const version_numbers &v) { return static_cast<std::uint32_t>(v[2]) << 16 | v[3]; }

// VS_FIXEDFILEINFO: thirteen 32-bit fields in this order.
bytes fixed_file_info(const version_info &info)
{
    bytes out;
    for (std::uint32_t field : {fixed_info_signature, fixed_info_version, high(info.file_version),
                                low(info.file_version), high(info.product_version), low(info.product_version),
                                flags_mask, 0u /* flags */, os_nt_windows32, file_type_app, 0u /* subtype */,
                                0u, 0u /* date */})
        append_le(out, 4, field);
    return out;
}

} // namespace

bool parse_version_numbers(const std::string &text, version_numbers &numbers)
{
    numbers = {};
    std::size_t count = 0;
    std::size_t i = 0;
    for (;;) {
        if (count == numbers.size() || i == text.size() || text[i] < '0' || text[i] > '9')
            return false;
        std::uint32_t value = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
            if (value > 0xFFFF)
                return false;
        }
        numbers[count++] = static_cast<std::uint16_t>(value);
        if (i == text.size())
            return true;
        if (text[i++] != '.')
            return false;
    }
}

bytes version_resource(const version_info &info)
{
    std::vector<bytes> strings;
    for (const auto &[key, value] : info.strings) {
        const std::u16string text = utf16(value) + u'\0';
        strings.push_back(block(key, utf16le_bytes(text), static_cast<std::uint16_t>(text.size()), text_value));
    }
    // Language 0x0409 (US English), code page 1200 (Unicode): "040904B0".
    const bytes table = block("040904B0", {}, 0, text_value, strings);
    const bytes string_info = block("StringFileInfo", {}, 0, text_value, {table});
    bytes translation;
    append_le(translation, 2, language_en_us);
    append_le(translation, 2, 1200);
    const bytes var = block("Translation", translation, 4, binary_value);
    const bytes var_info = block("VarFileInfo", {}, 0, text_value, {var});
    const bytes fixed = fixed_file_info(info);
    return block("VS_VERSION_INFO", fixed, static_cast<std::uint16_t>(fixed.size()), binary_value,
                 {string_info, var_info});
}

namespace {

// The field of the structure at `at`, which must end by `end`.
std::uint16_t field(const bytes &resource, std::size_t at, le_field which, std::size_t end)
{
    if (at + which.offset + which.width > end)
        throw resource_error("the version resource is cut short");
    return static_cast<std::uint16_t>(load_le(resource.data() + at + which.offset, which.width));
}

std::size_t aligned4(std::size_t value)
{
    return (value + 3) & ~std::size_t{3};
}

// Reads the block at `at`, which ends by `end`, and its children; adds the
// strings of the tables below StringFileInfo to `strings`. `depth` is 0 for
// VS_VERSION_INFO. Returns where the block ends.
std::size_t read_block(const bytes &resource, std::size_t at, std::size_t end, int depth, bool in_strings,
                       std::vector<std::pair<std::string, std::string>> &strings)
{
    const std::size_t length = field(resource, at, block_length, end);
    const std::size_t value_length = field(resource, at, block_value_length, end);
    const bool text = field(resource, at, block_type, end) == text_value;
    if (length < block_header_size || at + length > end)
        throw resource_error("a block of the version resource has a wrong length");
    const std::size_t block_end = at + length;
    std::u16string key;
    std::size_t p = at + block_header_size;
    for (std::uint16_t unit; (unit = field(resource, p, utf16_unit, block_end)) != 0; p += 2)
        key += static_cast<char16_t>(unit);
    p = aligned4(p + 2);
    const std::size_t value_size = text ? 2 * value_length : value_length;
    if (depth == 3 && in_strings) {
        std::u16string value;
        for (std::size_t i = 0; i < value_length; ++i)
            if (const std::uint16_t unit = field(resource, p + 2 * i, utf16_unit, block_end); unit != 0)
                value += static_cast<char16_t>(unit);
        strings.emplace_back(utf8_text(key), utf8_text(value));
    }
    in_strings = in_strings || (depth == 1 && key == u"StringFileInfo");
    for (std::size_t child = aligned4(p + value_size); depth < 3 && child + block_header_size <= block_end;)
        child = aligned4(read_block(resource, child, block_end, depth + 1, in_strings, strings));
    return block_end;
}

} // namespace

std::vector<std::pair<std::string, std::string>> read_version_strings(const bytes &resource)
{
    std::vector<std::pair<std::string, std::string>> strings;
    read_block(resource, 0, resource.size(), 0, false, strings);
    return strings;
}
