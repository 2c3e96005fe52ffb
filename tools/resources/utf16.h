// UTF-8 to UTF-16, as Windows stores names and texts, and back.
#ifndef ONEFILE_UTF16_H
#define ONEFILE_UTF16_H

#include "little_endian.h"

#include <string>
#include <string_view>

// Appends the UTF-16 form of `text` to `out`; false if `text` is not
// well-formed UTF-8 (overlong forms and encoded surrogates included).
bool append_utf16(std::u16string &out, std::string_view text);

// The UTF-16LE bytes of `text`, without a terminator.
bytes utf16le_bytes(const std::u16string &text);

// The UTF-16 units of UTF-16LE bytes; an odd last byte is dropped.
std::u16string utf16le_text(const bytes &data);

// The UTF-8 form of `text`; a lone surrogate becomes U+FFFD.
std::string utf8_text(const std::u16string &text);

#endif
