// Checks on the images that go into an executable's resources, so that a
// wrong file is refused with a clear message instead of a late tool error.
#ifndef ONEFILE_IMAGE_CHECKS_H
#define ONEFILE_IMAGE_CHECKS_H

#include <filesystem>

// Throws pack_error unless `path` is a readable file starting with the PNG signature.
void check_png(const std::filesystem::path &path);

// Throws pack_error unless `path` is a readable file with an icon file header
// (reserved 0, type 1, at least one image).
void check_ico(const std::filesystem::path &path);

#endif
