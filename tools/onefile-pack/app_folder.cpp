#include "app_folder.h"

#include "entry_encoding.h"
#include "file_io.h"
#include "pack_error.h"

#include <algorithm>
#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

void check_app_dir(const fs::path &app_dir)
{
    std::error_code error;
    const fs::file_status status = fs::status(app_dir, error);
    if (!fs::exists(status))
        throw pack_error("application folder " + quoted_path(app_dir) + " does not exist");
    if (!fs::is_directory(status))
        throw pack_error("application folder " + quoted_path(app_dir) + " is not a folder");
}

// Whether the entry is a link of any kind. On Windows libstdc++ reports no
// reparse point (symbolic link, junction) as a link and follows it instead.
bool is_link(const fs::directory_entry &entry)
{
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(entry.path().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    return fs::is_symlink(entry.symlink_status());
#endif
}

// Regular files below app_dir in walk order. Links are refused rather than
// followed: the stored entries cannot express them, and following one could
// pull in files from outside the folder.
std::vector<app_file> walk(const fs::path &app_dir)
{
    std::vector<app_file> files;
    try {
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(app_dir)) {
            const fs::path relative = entry.path().lexically_relative(app_dir);
            if (is_link(entry))
                throw pack_error(quoted_path(relative) + " in the application folder is a symbolic link; " +
                                 "put a copy of its target there instead");
            const fs::file_status status = entry.symlink_status();
            if (fs::is_directory(status))
                continue;
            if (!fs::is_regular_file(status))
                throw pack_error(quoted_path(relative) +
                                 " in the application folder is not a regular file (a fifo, socket or device)");
            files.push_back({entry.path(), entry_name(relative), entry.file_size()});
        }
    } catch (const fs::filesystem_error &error) {
        throw pack_error("cannot read the application folder: " + quoted_path(error.path1()) + ": " +
                         error.code().message());
    }
    return files;
}


// Throws for two names that differ only in letter case: Windows would write
// both to one file, and one of them would be lost.
void check_case_collisions(const std::vector<app_file> &files)
{
    std::map<std::u16string, const app_file *> seen;
    for (const app_file &file : files) {
        const auto [other, added] = seen.emplace(folded_entry_name(file.name), &file);
        if (!added)
            throw pack_error(quoted_path(other->second->name) + " and " + quoted_path(file.name) +
                             " differ only in letter case: Windows would keep one of them");
    }
}

// The folder's files; throws unless there is one and Windows can hold them all.
std::vector<app_file> nonempty_walk(const fs::path &app_dir)
{
    check_app_dir(app_dir);
    std::vector<app_file> files = walk(app_dir);
    if (files.empty())
        throw pack_error("application folder " + quoted_path(app_dir) + " holds no files");
    check_case_collisions(files);
    return files;
}

void sort_by_name(std::vector<app_file>::iterator begin, std::vector<app_file>::iterator end)
{
    std::sort(begin, end, [](const app_file &a, const app_file &b) { return a.name < b.name; });
}

} // namespace

std::vector<app_file> list_app_files(const fs::path &app_dir, const std::string &main_name)
{
    std::vector<app_file> files = nonempty_walk(app_dir);

    const fs::path main_path = path_from_utf8(main_name);
    const auto is_main = [&](const app_file &file) {
        return file.source.lexically_relative(app_dir) == main_path;
    };
    const auto main_file = std::find_if(files.begin(), files.end(), is_main);
    if (main_path.has_parent_path() || main_file == files.end())
        throw pack_error("main DLL " + quoted_path(main_path) + " is not a file at the top of " + quoted_path(app_dir));

    std::iter_swap(files.begin(), main_file);
    sort_by_name(files.begin() + 1, files.end());
    return files;
}

std::vector<app_file> list_program_files(const fs::path &app_dir, const std::string &program,
                                         const fs::path &launcher, const std::string &launcher_name)
{
    std::vector<app_file> files = nonempty_walk(app_dir);
    const std::u16string program_name = entry_name(path_from_utf8(program));
    const std::u16string reserved = folded_entry_name(entry_name(path_from_utf8(launcher_name)));
    bool found = false;
    for (const app_file &file : files) {
        if (folded_entry_name(file.name) == reserved)
            throw pack_error("the application folder holds " + quoted_path(file.name) + ", the name of " +
                             "the launcher that starts the program: rename that file");
        found = found || file.name == program_name;
    }
    if (!found)
        throw pack_error("program " + quoted_path(path_from_utf8(program)) + " is not a file in " + quoted_path(app_dir));
    std::error_code error;
    const std::uintmax_t size = fs::file_size(launcher, error);
    if (error)
        throw pack_error("no launcher " + quoted_path(launcher) + ": the packer's share/onefile-pack folder is " +
                         "incomplete");
    sort_by_name(files.begin(), files.end());
    files.insert(files.begin(), {launcher, entry_name(path_from_utf8(launcher_name)), size});
    return files;
}
