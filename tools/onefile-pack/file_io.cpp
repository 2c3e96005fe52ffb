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

bytes read_whole_file(const std::filesystem::path &path, const std::string &what)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        throw pack_error(what + " " + quoted_path(path) + " does not exist");
    if (!std::filesystem::is_regular_file(status))
        throw pack_error(what + " " + quoted_path(path) + " is not a file");
    const file_handle in = open_file(path, "rb");
    if (!in)
        throw pack_error("cannot read " + what + " " + quoted_path(path) + ": " + errno_text());
    bytes data;
    byte buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0;)
        data.insert(data.end(), buffer, buffer + got);
    if (std::ferror(in.get()))
        throw pack_error("cannot read " + what + " " + quoted_path(path) + ": " + errno_text());
    return data;
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

bool same_file(const std::filesystem::path &a, const std::filesystem::path &b)
{
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error) && !error)
        return true;
    // Files yet to be made can only be compared by spelling.
    const std::filesystem::path a_absolute = std::filesystem::absolute(a, error).lexically_normal();
    return !error && a_absolute == std::filesystem::absolute(b, error).lexically_normal() && !error;
}

namespace {

// `folder` (or a file) with its links and ".." resolved, as the system finds
// it; empty when it cannot be opened.
std::filesystem::path resolved_folder(const std::filesystem::path &folder)
{
#ifdef _WIN32
    // libstdc++ resolves no junction or symbolic link on Windows: ask the system.
    const HANDLE handle = CreateFileW(folder.c_str(),
                                      0,                                    // dwDesiredAccess: none needed
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr,                              // lpSecurityAttributes
                                      OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS,           // needed to open a folder
                                      nullptr);                             // hTemplateFile
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    if (length == 0 || length >= buffer.size())
        return {};
    std::wstring text(buffer.data(), length);
    // Without the "\\?\" prefix the library splits the path as usual.
    if (text.rfind(L"\\\\?\\UNC\\", 0) == 0)
        text = L"\\\\" + text.substr(8);
    else if (text.rfind(L"\\\\?\\", 0) == 0)
        text = text.substr(4);
    return text;
#else
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(folder, error);
    return error ? std::filesystem::path() : resolved;
#endif
}

} // namespace

bool lies_inside(const std::filesystem::path &path, const std::filesystem::path &folder)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        return false;
    // `path` itself resolved when it exists (a link is judged by what it
    // names), else the nearest folder above it that exists; then its parents.
    std::filesystem::path above = absolute;
    std::filesystem::path resolved = resolved_folder(above);
    if (!resolved.empty())
        resolved = resolved.parent_path();
    else
        resolved = resolved_folder(above = absolute.parent_path());
    while (resolved.empty() && above != above.parent_path()) {
        above = above.parent_path();
        resolved = resolved_folder(above);
    }
    for (; !resolved.empty(); resolved = resolved.parent_path()) {
        if (same_file(resolved, folder))
            return true;
        if (resolved == resolved.parent_path())
            break;
    }
    return false;
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
