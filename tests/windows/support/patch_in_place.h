/*
** One copy of the patchable bootstrap reused for many objects: the object
** and its length, or the unpack template, are rewritten in place instead of
** writing the whole executable again for every run.
*/
#ifndef ONEFILE_TEST_PATCH_IN_PLACE_H
#define ONEFILE_TEST_PATCH_IN_PLACE_H

#include <string>

/* Writes a copy of the patchable bootstrap carrying an empty object. */
void write_patchable_copy(const std::wstring &path);

/* Replaces the object of a copy made by write_patchable_copy and sets its
** length; the bytes of a longer previous object are zeroed, so the file is
** the same as one written afresh. False when the file cannot be written,
** for instance while a process still runs it. */
bool patch_in_place(const std::wstring &path, const std::string &object);

/* Writes `unpack_template` (at most 511 units) as the unpack template of a
** copy of either patchable bootstrap, the rest of its 512 units zeroed.
** False when the file cannot be written. */
bool patch_unpack_template(const std::wstring &path, const std::wstring &unpack_template);

/* Sets the check that starts make of a cached folder (1: content too) in
** such a copy. False when the file cannot be written. */
bool patch_cache_check(const std::wstring &path, unsigned long long check);

#endif
