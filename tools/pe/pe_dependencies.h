// What a packer checks in an application before packing it: that the main
// file is an image the bootstrap can run, and which DLLs the application
// imports that the Windows loader will not find. Its messages complete a
// sentence about the file ("app.dll: it is ...").
#ifndef ONEFILE_PE_DEPENDENCIES_H
#define ONEFILE_PE_DEPENDENCIES_H

#include "pe_image.h"

#include <filesystem>
#include <string>
#include <vector>

enum class main_file_kind { dll, executable };

// Throws pe_error, with one line naming the problem, unless `data` is a
// PE32+ x86-64 image of `kind` (a DLL has IMAGE_FILE_DLL set, an executable
// has not) and, for a DLL, one that exports run_code by name.
void check_main_file(const bytes &data, main_file_kind kind);

// The names the image exports by name, in the order of its name table.
// Throws pe_error for a 32-bit image or when the export directory leaves
// the image's sections.
std::vector<std::string> exported_names(const pe_image &image);

// The DLLs the image imports: the import directory's, then the delay-load
// directory's, each in table order, as the image spells them. Throws
// pe_error for a 32-bit image or when a table leaves the image's sections.
std::vector<std::string> imported_dlls(const pe_image &image);

struct missing_dll {
    std::string name;       // as the importer spells it
    std::string importer;   // the importing file's name in the folder, UTF-8
};

// The DLLs that the loader will find neither beside the main file nor in the
// system: imports and delay-load imports followed from `main_name`, a file
// at the top of `app_dir`, through every imported DLL that lies there too
// (names compared without regard to ASCII case). Breadth-first in table
// order, each pair once; system DLLs (system_dlls.h) are never missing. A
// DLL beside it that is no readable PE image is not followed. Throws
// pe_error when the main file is no readable PE image, and
// std::filesystem::filesystem_error when the folder cannot be listed.
std::vector<missing_dll> find_missing_dlls(const std::filesystem::path &app_dir,
                                           const std::filesystem::path &main_name);

#endif
