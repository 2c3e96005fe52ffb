// The resources of a packed executable: manifest, icon group, splash image
// and version information, gathered from the options and checked before
// any long work starts.
#ifndef ONEFILE_EXECUTABLE_RESOURCES_H
#define ONEFILE_EXECUTABLE_RESOURCES_H

#include "format/onefile_format.h"
#include "manifest.h"
#include "resource_section.h"

#include <filesystem>
#include <string>
#include <vector>

// The splash image's resource id (RT_RCDATA), which the bootstrap looks up,
// and that of its pixels (splash_pixels.h).
constexpr std::uint16_t splash_resource_id = ONEFILE_SPLASH_RESOURCE;
constexpr std::uint16_t splash_pixels_resource_id = ONEFILE_SPLASH_PIXELS_RESOURCE;

// The resource (RT_RCDATA) that tells the launcher which program to start:
// its path below the unpack directory, UTF-16LE without a terminator.
constexpr std::uint16_t program_resource_id = ONEFILE_PROGRAM_RESOURCE;

// The resource (RT_RCDATA) of the arguments the launcher puts before the
// user's: UTF-16LE, each value followed by a 0 unit.
constexpr std::uint16_t fixed_arguments_resource_id = ONEFILE_FIXED_ARGUMENTS_RESOURCE;

// The resource (RT_RCDATA) naming the packer that wrote the executable, as
// "onefile-pack VERSION" in UTF-16LE, for onefile-pack --list.
constexpr std::uint16_t packer_resource_id = ONEFILE_PACKER_RESOURCE;

struct version_options {
    std::string product_name;
    std::string company_name;
    std::string file_description;
    std::string file_version;       // one to four numbers
    std::string product_version;    // free text; its fixed form from numbers at its start
    std::string copyright;

    bool any() const;
};

struct resource_options {
    manifest_options manifest;
    std::filesystem::path icon;         // the user's or the runtime's
    std::filesystem::path splash;       // empty: no splash
    version_options version;
    std::string file_name;              // the executable's name, for the version block
    std::u16string program;             // the program the launcher starts; empty: none
    std::vector<std::string> fixed_arguments; // --arg values, UTF-8
    std::string packer;                 // the packer's name and version; empty: none
};

// Every resource of the executable. Throws pack_error with one line for an
// icon that is not an .ico, a splash that is not a PNG libpng can decode or
// is too large, a bad version value, a manifest that executable_manifest
// refuses, or --arg values that are not UTF-8 or could not fit the
// launcher's command line.
std::vector<resource_entry> executable_resources(const resource_options &options);

#endif
