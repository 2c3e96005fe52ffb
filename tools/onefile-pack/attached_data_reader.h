// Reading an object back, from its own file or from inside an executable:
// its header and trailer, its zstd frames (one or many, skippable frames
// anywhere, with or without the index of format/onefile_format.h) and the
// entries they decode to.
#ifndef ONEFILE_ATTACHED_DATA_READER_H
#define ONEFILE_ATTACHED_DATA_READER_H

#include "little_endian.h"
#include "format/onefile_format.h"

#include <cstdint>
#include <string>
#include <vector>

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

// An entry as read: its name, size and the XXH64 of its data.
struct read_entry {
    std::u16string name;
    std::uint64_t size;
    std::uint64_t hash;
};

// Decodes the object `object` (header, frames, zero fill, trailer) and
// shows each entry to `visitor`; returns the entries. `what` names the
// object's file in messages. Throws pack_error, one line, when the object
// is not one, is damaged or cut short, has a data frame without its content
// checksum or an index that does not match its frames, or holds no entry,
// a name that breaks the rule of format/entry_names.h or two names equal but
// for letter case.
std::vector<read_entry> read_entries(const bytes &object, const std::string &what, entry_visitor &visitor);

// The object's length when `object` ends with a trailer that points at its
// own offset and starts with the object header; 0 otherwise.
std::uint64_t object_length(const bytes &object);

#endif
