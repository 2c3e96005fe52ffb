#include "image_checks.h"

#include "pack_error.h"

#include <fstream>
#include <string>

namespace {

// The first `count` bytes of the file, fewer if it is shorter. `what` names
// the file in messages.
std::string leading_bytes(const std::filesystem::path &path, std::size_t count, const std::string &what)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw pack_error(what + " " + quoted_path(path) + " is not a file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw pack_error("cannot read " + what + " " + quoted_path(path));
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

} // namespace

void check_png(const std::filesystem::path &path)
{
    const std::string what = "splash image";
    if (leading_bytes(path, 8, what) != std::string("\x89PNG\r\n\x1a\n", 8))
        throw pack_error(what + " " + quoted_path(path) + " is not a PNG file");
}

void check_ico(const std::filesystem::path &path)
{
    const std::string what = "icon";
    const std::string header = leading_bytes(path, 6, what);
    const bool has_images = header.size() == 6 && (header[4] != 0 || header[5] != 0);
    if (!has_images || header.compare(0, 4, std::string("\0\0\1\0", 4)) != 0)
        throw pack_error(what + " " + quoted_path(path) + " is not an .ico file");
}
