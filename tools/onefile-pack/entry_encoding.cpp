#include "entry_encoding.h"

#include "format/entry_names.h"
#include "pack_error.h"
#include "utf16.h"

#include <cstdio>

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

// The unit at fault, for a message: 'c', or 0xNN for a control character.
std::string shown_unit(char16_t unit)
{
    char shown[8];
    if (unit < 0x20 || unit >= 0x7F)
        std::snprintf(shown, sizeof shown, "0x%02X", static_cast<unsigned>(unit));
    else
        std::snprintf(shown, sizeof shown, "'%c'", static_cast<char>(unit));
    return shown;
}

} // namespace

std::string entry_name_refusal(const std::u16string &name)
{
    std::size_t where = 0;
    const entry_name_problem problem = check_entry_name(name.data(), name.size(), &where);
    if (problem == ENTRY_NAME_ACCEPTED)
        return {};
    if (problem == ENTRY_NAME_DEVICE) {
        std::string device;
        for (std::size_t i = where; i < name.size() && name[i] != u'.' && name[i] != u'\\'; ++i)
            device += static_cast<char>(entry_name_ascii_upper(name[i]));
        return "Windows reserves the name " + device.substr(0, device.find_last_not_of(' ') + 1) + " for a device";
    }
    std::string why = std::string("the name ") + entry_name_problem_text(problem);
    if (problem == ENTRY_NAME_CHARACTER)
        why += " (" + shown_unit(name[where]) + ")";
    return why;
}

std::u16string entry_name(const std::filesystem::path &relative)
{
    std::u16string name;
    for (const std::filesystem::path &part : relative) {
        const std::string component = part.u8string();
        // A Linux name may hold what Windows reads as a separator.
        if (component.find('\\') != std::string::npos)
            throw pack_error(quoted_path(relative) + ": the name holds a character that Windows does not allow in "
                                                     "file names ('\\')");
        if (!name.empty())
            name += u'\\';
        if (!append_utf16(name, component))
            throw pack_error(escaped_bytes(relative) + ": the name is not valid UTF-8, so Windows cannot represent it");
    }
    if (const std::string why = entry_name_refusal(name); !why.empty())
        throw pack_error(quoted_path(relative) + ": " + why);
    return name;
}

std::u16string folded_entry_name(std::u16string name)
{
    for (char16_t &unit : name)
        unit = static_cast<char16_t>(fold_entry_name_unit(unit));
    return name;
}

bytes entry_header(const std::u16string &name, std::uint64_t size)
{
    bytes header = utf16le_bytes(name + u'\0');
    append_le(header, entry_size.width, size);
    return header;
}
