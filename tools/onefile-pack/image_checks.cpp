#include "image_checks.h"

#include "pack_error.h"

#include <fstream>
#include <string>

namespace {

// The first `count` bytes of the file, fewer if it is shorter.
std::string leading_bytes(const std::filesystem::path &path, std::size_t count)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw pack_error(quoted_path(path) + " is not a file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw pack_error("cannot read " + quoted_path(path));
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

} // namespace

void check_png(const std::filesystem::path &path)
{
    if (leading_bytes(path, 8) != std::string("\x89PNG\r\n\x1a\n", 8))
        throw pack_error("splash image " + quoted_path(path) + " is not a PNG file");
}

void check_ico(const std::filesystem::path &path)
{
    const std::string header = leading_bytes(path, 6);
    if (header.size() < 6 || header.compare(0, 4, std::string("\0\0\1\0", 4)) != 0 || (header[4] == 0 && header[5] == 0))
        throw pack_error("icon " + quoted_path(path) + " is not an .ico file");
}
