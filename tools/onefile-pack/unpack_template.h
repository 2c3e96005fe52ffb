// The unpack folder's template that --unpack-to fixes in an executable, in
// the bootstrap's template language ({TEMP}, {CACHE_DIR}, {PID}, ...).
#ifndef ONEFILE_UNPACK_TEMPLATE_H
#define ONEFILE_UNPACK_TEMPLATE_H

#include <cstdint>
#include <filesystem>
#include <string>

// Whether `text` names one folder for every start of a build (none of the
// per-run placeholders {PID}, {TIME_US}, {RANDOM} and {TIME}).
bool is_cached_template(const std::string &text);

// Throws pack_error with one line unless `text` can work as an unpack
// template: known placeholders only, braces that pair, a start in a folder
// placeholder, a drive or a share, a folder name at its end, and per-run
// placeholders only in that last name, so that removing the folder leaves
// nothing behind.
void check_unpack_template(const std::string &text);

// Whether a cached template lies in the user's own folders: it starts with
// {TEMP}, {CACHE_DIR} or {HOME} and climbs out with no "..". Elsewhere
// another user may have made the folder first.
bool lies_in_user_folders(const std::string &text);

// A short name for the content of the attached data in `object`: 16 hex
// digits of a 64-bit hash of its bytes.
std::string content_name(const std::filesystem::path &object);

// The template as the executable stores it: UTF-16, and for a cached
// template with the build's `content_name` as one more folder.
std::u16string stored_unpack_template(const std::string &text, const std::string &content_name);

#endif
