#include "pack_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string quoted_path(const std::filesystem::path &path)
{
    // Control characters are shown as \xNN so that every message stays one line.
    std::string text = "'";
    for (unsigned char byte : path.u8string()) {
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text + "'";
}

std::string errno_text()
{
    return std::strerror(errno);
}
