// Authenticode signing by the user's own command, run once per image on
// private copies: the images an application folder holds, recognised by
// their headers, and last the executable.
#ifndef ONEFILE_SIGNING_H
#define ONEFILE_SIGNING_H

#include "app_folder.h"
#include "pe_signature.h"
#include "temp_paths.h"

#include <filesystem>
#include <string>
#include <vector>

// The placeholder in the command for the copy to sign.
constexpr const char *sign_placeholder = "{file}";

// Whether the file at `path` is a PE image, and signed. Throws pack_error
// when it cannot be read.
signature_state file_signature_state(const std::filesystem::path &path);

class image_signer {
public:
    // `command` holds sign_placeholder; each run replaces it by the copy's
    // path as one shell word (shell_command.h). Makes the private folder.
    image_signer(std::string command, bool resign, int threads);

    // Signs a copy of each PE image among `files` that carries no
    // signature yet (each one, with `resign`), on up to `threads` commands
    // at once; each signed file's source and size then are its copy's.
    // Returns how many it signed. Throws pack_error with one line naming
    // the first of `files` whose command failed or left it unsigned, with
    // the command's own last line, whatever the order they ran in.
    std::size_t sign_images(std::vector<app_file> &files);

    // Signs the executable at `path` through a copy, which then replaces
    // it; `name` stands for it in messages. Throws pack_error as
    // sign_images does.
    void sign_executable(const std::filesystem::path &path, const std::filesystem::path &name);

private:
    // The copy for the `index`th file to sign, with the original's extension
    // when it is plain letters and digits: a name that never needs quoting.
    std::filesystem::path copy_path(std::size_t index, const std::filesystem::path &original) const;

    // Runs the command on `copy`, a copy of `name`; an empty string when
    // it then carries a new signature, else the message saying why not.
    std::string sign_copy(const std::filesystem::path &copy, const std::string &name) const;

    std::string command_;
    bool resign_;
    int threads_;
    private_folder folder_;
    std::size_t copies_ = 0;
};

#endif
