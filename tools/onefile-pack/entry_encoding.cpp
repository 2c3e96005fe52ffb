#include "entry_encoding.h"

#include "pack_error.h"
#include "utf16.h"

#include <cstdio>
#include <string_view>

namespace {

// `path` with every byte outside printable ASCII as \xNN, for a name whose
// bytes cannot be shown as text.
std::string escaped_bytes(const std::filesystem::path &path)
{
    std::string text = "'";
    for (unsigned char byte : path.u8string()) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        text += byte >= 0x20 && byte < 0x7F ? std::string(1, static_cast<char>(byte)) : escaped;
    }
    return text + "'";
}

// Throws if `component` holds a character that Windows refuses in file names.
// A backslash matters most: Windows would read it as a folder separator.
void check_windows_characters(const std::filesystem::path &relative, std::string_view component)
{
    for (unsigned char byte : component) {
        if (byte >= 0x20 && std::string_view("<>:\"/\\|?*").find(static_cast<char>(byte)) == std::string_view::npos)
            continue;
        char shown[8];
        if (byte < 0x20)
            std::snprintf(shown, sizeof shown, "0x%02X", byte);
        else
            std::snprintf(shown, sizeof shown, "'%c'", byte);
        throw pack_error(quoted_path(relative) + ": Windows does not allow the character " + shown +
                         " in file names");
    }
}

} // namespace

std::u16string entry_name(const std::filesystem::path &relative)
{
    std::u16string name;
    for (const std::filesystem::path &part : relative) {
        const std::string component = part.u8string();
        if (component.empty() || component == "." || component == "..")
            throw pack_error(quoted_path(relative) + ": a stored name cannot hold an empty, \".\" or \"..\" part");
        check_windows_characters(relative, component);
        if (!name.empty())
            name += u'\\';
        if (!append_utf16(name, component))
            throw pack_error(escaped_bytes(relative) + ": the name is not valid UTF-8, so Windows cannot represent it");
    }
    if (name.empty())
        throw pack_error("a stored name cannot be empty");
    if (name.size() > max_name_units)
        throw pack_error(quoted_path(relative) + ": the name is " + std::to_string(name.size()) +
                         " UTF-16 units long, more than the " + std::to_string(max_name_units) + " allowed");
    return name;
}

std::string entry_header(const std::u16string &name, std::uint64_t size)
{
    std::string header;
    header.reserve(2 * name.size() + 2 + 8);
    for (char16_t unit : name) {
        header += static_cast<char>(unit & 0xFF);
        header += static_cast<char>(unit >> 8);
    }
    header.append(2, '\0');
    for (int shift = 0; shift < 64; shift += 8)
        header += static_cast<char>((size >> shift) & 0xFF);
    return header;
}
