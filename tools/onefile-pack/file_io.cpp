#include "file_io.h"

#include "pack_error.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <vector>

file_handle open_file(const std::filesystem::path &path, const char *mode)
{
#ifdef _WIN32
    const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return file_handle(_wfopen(path.c_str(), wide_mode.c_str()), std::fclose);
#else
    return file_handle(std::fopen(path.c_str(), mode), std::fclose);
#endif
}

std::string read_whole_file(const std::filesystem::path &path, const std::string &what)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw pack_error(what + " " + quoted_path(path) + " is not a file");
    const file_handle in = open_file(path, "rb");
    if (!in)
        throw pack_error("cannot read " + what + " " + quoted_path(path) + ": " + errno_text());
    std::string bytes;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0;)
        bytes.append(buffer, got);
    if (std::ferror(in.get()))
        throw pack_error("cannot read " + what + " " + quoted_path(path) + ": " + errno_text());
    return bytes;
}

std::filesystem::path own_program_folder()
{
#ifdef _WIN32
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size())
        throw pack_error("cannot find this program's own folder");
    return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path();
#else
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        throw pack_error("cannot find this program's own folder: " + error.message());
    return self.parent_path();
#endif
}

std::filesystem::path path_from_utf8(const std::string &text)
{
    return std::filesystem::u8path(text);
}

#ifdef _WIN32
std::string utf8_from_wide(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}
#endif
