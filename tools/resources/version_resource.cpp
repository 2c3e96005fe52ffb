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

void append_le(std::string &out, std::uint32_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out += static_cast<char>(value >> (8 * i));
}

void pad4(std::string &out)
{
    out.resize((out.size() + 3) & ~std::size_t{3}, '\0');
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
std::string block(const std::string &key, const std::string &value, std::uint16_t value_length,
                  std::uint16_t type, const std::vector<std::string> &children = {})
{
    std::string out(6, '\0');
    out += utf16le_bytes(utf16(key) + u'\0');
    pad4(out);
    out += value;
    for (const std::string &child : children) {
        pad4(out);
        out += child;
    }
    if (out.size() > 0xFFFF)
        throw resource_error("the version texts are too long for a version resource");
    out[0] = static_cast<char>(out.size());
    out[1] = static_cast<char>(out.size() >> 8);
    out[2] = static_cast<char>(value_length);
    out[3] = static_cast<char>(value_length >> 8);
    out[4] = static_cast<char>(type);
    return out;
}

std::uint32_t high(const version_numbers &v) { return static_cast<std::uint32_t>(v[0]) << 16 | v[1]; }
std::uint32_t low(const version_numbers &v) { return static_cast<std::uint32_t>(v[2]) << 16 | v[3]; }

std::string fixed_file_info(const version_info &info)
{
    std::string out;
    for (std::uint32_t field : {fixed_info_signature, fixed_info_version, high(info.file_version),
                                low(info.file_version), high(info.product_version), low(info.product_version),
                                flags_mask, 0u /* flags */, os_nt_windows32, file_type_app, 0u /* subtype */,
                                0u, 0u /* date */})
        append_le(out, field, 4);
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

std::string version_resource(const version_info &info)
{
    std::vector<std::string> strings;
    for (const auto &[key, value] : info.strings) {
        const std::u16string text = utf16(value) + u'\0';
        strings.push_back(block(key, utf16le_bytes(text), static_cast<std::uint16_t>(text.size()), text_value));
    }
    // Language 0x0409 (US English), code page 1200 (Unicode): "040904B0".
    const std::string table = block("040904B0", "", 0, text_value, strings);
    const std::string string_info = block("StringFileInfo", "", 0, text_value, {table});
    std::string translation;
    append_le(translation, language_en_us, 2);
    append_le(translation, 1200, 2);
    const std::string var = block("Translation", translation, 4, binary_value);
    const std::string var_info = block("VarFileInfo", "", 0, text_value, {var});
    const std::string fixed = fixed_file_info(info);
    return block("VS_VERSION_INFO", fixed, static_cast<std::uint16_t>(fixed.size()), binary_value,
                 {string_info, var_info});
}

namespace {

std::uint16_t get_u16(const std::string &bytes, std::size_t at, std::size_t end)
{
    if (at + 2 > end)
        throw resource_error("the version resource is cut short");
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::size_t aligned4(std::size_t value)
{
    return (value + 3) & ~std::size_t{3};
}

// Reads the block at `at`, which ends by `end`, and its children; adds the
// strings of the tables below StringFileInfo to `strings`. `depth` is 0 for
// VS_VERSION_INFO. Returns where the block ends.
std::size_t read_block(const std::string &bytes, std::size_t at, std::size_t end, int depth, bool in_strings,
                       std::vector<std::pair<std::string, std::string>> &strings)
{
    const std::size_t length = get_u16(bytes, at, end);
    const std::size_t value_length = get_u16(bytes, at + 2, end);
    const bool text = get_u16(bytes, at + 4, end) == text_value;
    if (length < 6 || at + length > end)
        throw resource_error("a block of the version resource has a wrong length");
    const std::size_t block_end = at + length;
    std::u16string key;
    std::size_t p = at + 6;
    for (std::uint16_t unit; (unit = get_u16(bytes, p, block_end)) != 0; p += 2)
        key += static_cast<char16_t>(unit);
    p = aligned4(p + 2);
    const std::size_t value_size = text ? 2 * value_length : value_length;
    if (depth == 3 && in_strings) {
        std::u16string value;
        for (std::size_t i = 0; i < value_length; ++i)
            if (const std::uint16_t unit = get_u16(bytes, p + 2 * i, block_end); unit != 0)
                value += static_cast<char16_t>(unit);
        strings.emplace_back(utf8_text(key), utf8_text(value));
    }
    in_strings = in_strings || (depth == 1 && key == u"StringFileInfo");
    for (std::size_t child = aligned4(p + value_size); depth < 3 && child + 6 <= block_end;)
        child = aligned4(read_block(bytes, child, block_end, depth + 1, in_strings, strings));
    return block_end;
}

} // namespace

std::vector<std::pair<std::string, std::string>> read_version_strings(const std::string &resource)
{
    std::vector<std::pair<std::string, std::string>> strings;
    read_block(resource, 0, resource.size(), 0, false, strings);
    return strings;
}
