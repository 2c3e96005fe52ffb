// The runtime folder staged by the Windows build: runtime.txt says how to
// link, the libraries and resource scripts sit beside it.
#ifndef ONEFILE_RUNTIME_DESCRIPTION_H
#define ONEFILE_RUNTIME_DESCRIPTION_H

#include <filesystem>
#include <string>
#include <vector>

struct runtime_description {
    std::filesystem::path folder;                   // absolute
    std::string cxx;                                // compiler driver, also used to assemble
    std::string windres;                            // resource compiler
    std::vector<std::string> flags;                 // link flags
    std::vector<std::filesystem::path> libraries;   // absolute
    std::vector<std::string> system_libraries;      // such as -lshell32, in link order
};

// Reads `folder`/runtime.txt: one "KEY VALUE" per line, split at the first
// blank; keys cxx, windres, flag, library (relative to the folder) and
// system-library. Throws pack_error when the file cannot be read, holds an
// unknown key or lacks cxx or windres.
runtime_description read_runtime_description(const std::filesystem::path &folder);

#endif
