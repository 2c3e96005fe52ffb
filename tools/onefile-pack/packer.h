// The packer's work, as the command line asks for it.
#ifndef ONEFILE_PACKER_H
#define ONEFILE_PACKER_H

#include "executable_resources.h"

#include <filesystem>
#include <string>
#include <vector>

// Level 12 packs 256 MiB of libraries and code in about 20 s on a 2-core
// machine; level 19 makes the data about 11% smaller but takes nine times
// as long.
constexpr int default_level = 12;

struct packer_options {
    std::filesystem::path app_dir;               // the folder to pack
    std::string main_name;                       // its main DLL, stored first, or its program
    std::vector<std::string> fixed_arguments;    // --arg: the program's first arguments
    std::filesystem::path attached_data;         // a ready-made object to use instead
    std::filesystem::path write_attached_data;   // where to keep the object; empty: nowhere
    std::filesystem::path output;                // the executable; empty: write none
    std::filesystem::path icon;                  // empty: the runtime's icon
    std::filesystem::path splash;                // empty: no splash screen
    std::filesystem::path runtime_dir;           // templates, default icon and manifest
    bool console = false;                        // console subsystem instead of GUI
    std::string unpack_template;                 // --unpack-to; empty: the template's own
    bool verify_content = false;                 // --verify content: cached files hashed at every start
    bool utf8 = false;                           // UTF-8 as the process code page
    std::string execution_level = "asInvoker";   // the manifest's requestedExecutionLevel
    std::string dpi_awareness;                   // empty, "system" or "per-monitor"
    std::filesystem::path manifest;              // the user's own manifest; empty: ours
    std::string sign_command;                    // runs on each image with {file}; empty: no signing
    bool resign = false;                         // signs images that are signed already too
    version_options version;                     // none given: no version resource
    int level = default_level;
    int threads = 1;                             // compression threads; the bytes do not depend on them
    bool quiet = false;
};

// The library that starts a program packed with --main NAME.exe; it lies
// in the runtime folder and is stored first under this name.
constexpr const char *launcher_name = "onefile-launcher.dll";

// Whether `main_name` names a program rather than a library.
bool is_program(const std::string &main_name);

// Makes Ctrl+C and termination requests end run_packer with a pack_error
// at its next step, so that no temporary file stays behind.
void stop_on_interrupt();

// The runtime folder of an installed packer: share/onefile-pack beside the
// bin/ folder that holds the program.
std::filesystem::path installed_runtime_dir();

// Packs options.app_dir (or checks options.attached_data), then writes the
// object and the executable as asked. With a sign command, the images are
// signed before they are packed (not those of a ready-made object) and the
// executable after it is written. Every result is made under a temporary
// name and replaces its destination only once all work succeeded.
// Shows progress and a closing summary on standard error unless quiet.
// Needs output, write_attached_data or both. Throws pack_error.
void run_packer(const packer_options &options);

#endif
