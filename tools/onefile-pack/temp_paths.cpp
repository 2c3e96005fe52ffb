#include "temp_paths.h"

#include "pack_error.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <cwchar>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Each function below returns false or an empty path on failure, and
// error_text() then says why.
#ifdef _WIN32
std::string error_text()
{
    return std::system_category().message(static_cast<int>(GetLastError()));
}

// An empty new file named `destination` plus a suffix that no file has yet.
fs::path create_unique_file(const fs::path &destination)
{
    // The process id keeps concurrent packers apart; a name left behind by
    // an earlier process with the same id only costs another try.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[40];
        std::swprintf(suffix, 40, L".tmp-%lu-%u", GetCurrentProcessId(), attempt);
        const fs::path path = destination.native() + suffix;
        const HANDLE file = CreateFileW(path.c_str(),
                                        GENERIC_WRITE,
                                        0,                     // dwShareMode
                                        nullptr,               // lpSecurityAttributes
                                        CREATE_NEW,            // fails if the name exists
                                        FILE_ATTRIBUTE_NORMAL,
                                        nullptr);              // hTemplateFile
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return path;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return {};
}

void remove_file(const fs::path &path)
{
    DeleteFileW(path.c_str());
}

// A new folder `prefix`-<pid>-<n> in `parent`.
fs::path create_unique_folder(const fs::path &parent, const std::string &prefix)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[40];
        std::swprintf(suffix, 40, L"-%lu-%u", GetCurrentProcessId(), attempt);
        const fs::path path = parent / (fs::path(prefix).native() + suffix);
        if (CreateDirectoryW(path.c_str(), nullptr))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return {};
}

// Windows files have no permission bits: the new file gets its folder's.
bool replace_file(const fs::path &from, const fs::path &to, mode_t)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}
#else
std::string error_text()
{
    return errno_text();
}

fs::path create_unique_file(const fs::path &destination)
{
    std::string pattern = destination.string() + ".tmp-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return {};
    ::close(fd);
    return pattern;
}

void remove_file(const fs::path &path)
{
    ::unlink(path.c_str());
}

// A new folder `prefix`-XXXXXX in `parent`, mode 0700.
fs::path create_unique_folder(const fs::path &parent, const std::string &prefix)
{
    std::string pattern = (parent / prefix).string() + "-XXXXXX";
    return ::mkdtemp(pattern.data()) == nullptr ? fs::path() : fs::path(pattern);
}

bool replace_file(const fs::path &from, const fs::path &to, mode_t mode)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ::chmod(from.c_str(), mode & ~mask) == 0 && std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

} // namespace

pending_file::pending_file(const fs::path &destination)
    : destination_(fs::absolute(destination)), path_(create_unique_file(destination_))
{
    if (path_.empty())
        throw pack_error("cannot write next to " + quoted_path(destination) + ": " + error_text());
}

pending_file::~pending_file()
{
    if (!committed_)
        remove_file(path_); // may be gone already: a failed link removes its output
}

void pending_file::commit(mode_t mode)
{
    if (!replace_file(path_, destination_, mode))
        throw pack_error("cannot write " + quoted_path(destination_) + ": " + error_text());
    committed_ = true;
}

private_folder::private_folder(const std::string &prefix)
{
    std::error_code error;
    const fs::path parent = fs::temp_directory_path(error);
    if (error)
        throw pack_error("cannot find the folder for temporary files: " + error.message());
    path_ = create_unique_folder(parent, prefix);
    if (path_.empty())
        throw pack_error("cannot make a folder in " + quoted_path(parent) + ": " + error_text());
}

private_folder::~private_folder()
{
    std::error_code ignored; // a folder that cannot go stays: nothing more can be done
    fs::remove_all(path_, ignored);
}
