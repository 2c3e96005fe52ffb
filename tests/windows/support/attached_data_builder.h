/*
** Making attached data inside a test: decoded content from file entries,
** zstd frames with chosen parameters, the object around them, and a copy of
** the patchable bootstrap that carries a given object.
*/
#ifndef ONEFILE_TEST_ATTACHED_DATA_BUILDER_H
#define ONEFILE_TEST_ATTACHED_DATA_BUILDER_H

#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<std::wstring, std::string>> file_entries;

/* Names as UTF-16LE with a terminator, 64-bit sizes, data; the end marker. */
std::string encode_entries(const file_entries &entries);

struct frame_options {
    int level = 3;
    int window_log = 27;
    bool checksum = true;   /* as the packer writes it; the bootstrap requires it */
    bool content_size = false;
};

/* One zstd frame of content, fed in pieces without a pledged size. */
std::string compress_frame(const std::string &content, const frame_options &options = {});

/* A skippable frame holding `length` bytes. */
std::string skippable_frame(size_t length);

/* "QV", "Y", the frames, zero fill to a multiple of 8, the trailer. */
std::string wrap_object(const std::string &frames);

/* Everything at once, for the common case. */
std::string make_object(const file_entries &entries);

/* The probe application library's bytes, the usual first entry. */
std::string probe_library();

/* Writes a copy of the patchable bootstrap carrying `object` to `path`. */
void write_patched_bootstrap(const std::wstring &path, const std::string &object);

/* The same from the patchable bootstrap that carries a splash picture. */
void write_patched_splash_bootstrap(const std::wstring &path, const std::string &object);

/* Packs `folder` (its main file `main`) with the packer built for Windows
** into the executable `output`, at zstd level 1 unless `options` (the
** command line's other options) says otherwise; fails the test when it
** cannot. */
void pack_folder(const std::wstring &folder, const std::wstring &main, const std::wstring &output,
                 const std::wstring &options = L"");

/* Adds (or replaces) the RT_RCDATA resource `id` of an executable file, as
** the packer stores the splash image and the program's path. */
void set_rcdata_resource(const std::wstring &executable, unsigned id, const std::string &data);

#endif
