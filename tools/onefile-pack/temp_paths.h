// Output files that never appear half-written, and private work folders.
#ifndef ONEFILE_TEMP_PATHS_H
#define ONEFILE_TEMP_PATHS_H

#include <filesystem>
#include <string>

#include <sys/types.h>

// A file written under a temporary name next to its destination, so that
// the destination is either left as it was or replaced whole. The temporary
// file is removed unless commit() renamed it.
class pending_file {
public:
    explicit pending_file(const std::filesystem::path &destination);
    ~pending_file();
    pending_file(const pending_file &) = delete;
    pending_file &operator=(const pending_file &) = delete;

    // The temporary name, absolute.
    const std::filesystem::path &path() const { return path_; }

    // Sets the permissions `mode` less the umask and renames the file to
    // its destination. Throws pack_error when either fails.
    void commit(mode_t mode);

private:
    std::filesystem::path destination_;
    std::filesystem::path path_;
    bool committed_ = false;
};

// A new folder under the system's folder for temporary files (TMPDIR on
// Linux, TEMP on Windows), which only this user may open (on Windows the
// user's own temporary folder is), removed with everything in it when the
// object goes.
class private_folder {
public:
    // Throws pack_error when no folder can be made.
    explicit private_folder(const std::string &prefix);
    ~private_folder();
    private_folder(const private_folder &) = delete;
    private_folder &operator=(const private_folder &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

#endif
