// Reading an object back, from its own file or from inside an executable:
// its header and trailer, the zstd frame (with or without its content
// checksum) and the entries it decodes to.
#ifndef ONEFILE_ATTACHED_DATA_READER_H
#define ONEFILE_ATTACHED_DATA_READER_H

#include "little_endian.h"
#include "format/onefile_format.h"

#include <cstdint>
#include <string>

// The object starts with ONEFILE_OBJECT_HEADER and ends with its trailer,
// the 8-byte offset of the trailer itself.
constexpr byte object_header[ONEFILE_OBJECT_HEADER_LENGTH] = {
    ONEFILE_OBJECT_HEADER[0], ONEFILE_OBJECT_HEADER[1], ONEFILE_OBJECT_HEADER[2]};
constexpr le_field object_trailer{0, 8};

// What reading the entries calls, in their order: begin, the data in
// pieces, end; once per entry.
class entry_visitor {
public:
    virtual ~entry_visitor() = default;
    virtual void begin(const std::u16string &name, std::uint64_t size) = 0;
    virtual void data(const byte *data, std::size_t size) = 0;
    virtual void end() = 0;
};

// Why the bootstrap must not write the entry `name` into its folder: it is
// empty or absolute, holds a colon (a drive or a stream), or has a part that
// is empty or made of dots and blanks alone ("..", "."). Empty if it is safe.
std::string unsafe_name_reason(const std::u16string &name);

// Decodes the object `object` (header, frame, zero fill, trailer) and shows
// each entry to `visitor`; returns the number of entries. `what` names the
// object's file in messages. Throws pack_error, one line, when the object is
// not one, is damaged or cut short, or holds no entry or an unsafe name.
std::size_t read_entries(const bytes &object, const std::string &what, entry_visitor &visitor);

// The object's length when `object` ends with a trailer that points at its
// own offset and starts with the object header; 0 otherwise.
std::uint64_t object_length(const bytes &object);

#endif
