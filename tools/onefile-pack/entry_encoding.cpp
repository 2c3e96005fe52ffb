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

// Throws if Windows would write `component` under another name or open a
// device instead: a trailing dot or blank is dropped, and CON, PRN, AUX,
// NUL, COM1-COM9 and LPT1-LPT9 name devices, with any extension.
void check_windows_name(const std::filesystem::path &relative, const std::string &component)
{
    if (component.back() == '.' || component.back() == ' ')
        throw pack_error(quoted_path(relative) + ": Windows drops a dot or blank at the end of a name");
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    const bool numbered = base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
                          base[3] >= '1' && base[3] <= '9';
    if (numbered || base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        throw pack_error(quoted_path(relative) + ": Windows reserves the name " + base + " for a device");
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
        check_windows_name(relative, component);
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

bytes entry_header(const std::u16string &name, std::uint64_t size)
{
    bytes header = utf16le_bytes(name + u'\0');
    append_le(header, entry_size.width, size);
    return header;
}
