// Whether a file is a PE image and whether it carries an Authenticode
// signature, judged by its headers and its certificate table, never by
// its name. The bytes are looked at as they go by, in pieces, so that the
// images inside attached data are judged while it is decoded and a file on
// disk needs only its headers and certificate read.
#ifndef ONEFILE_PE_SIGNATURE_H
#define ONEFILE_PE_SIGNATURE_H

#include "little_endian.h"

#include <cstdint>

enum class signature_state {
    not_an_image,   // no MZ header, no "PE\0\0" or no optional header of PE32 or PE32+
    unsigned_image, // an image whose security directory holds no Authenticode certificate
    signed_image,   // its security directory starts with a PKCS#7 WIN_CERTIFICATE
};

// Judges a file of `file_size` bytes from the pieces it is given. Its
// headers may lie anywhere in the first MiB; images whose headers lie
// further are not recognised.
class signature_probe {
public:
    explicit signature_probe(std::uint64_t file_size);

    // The file's bytes from `offset` on. Pieces come in the order of their
    // offsets and may pass over what wanted() does not ask for.
    void feed(std::uint64_t offset, const byte *data, std::size_t size);

    // The offset of the next byte the probe needs; the file's size once it
    // has seen all it needs.
    std::uint64_t wanted() const;

    // The verdict, final once wanted() has reached the file's size.
    signature_state state() const { return state_; }

    // The certificate table (offset and size in the file) of a signed image.
    std::uint64_t certificate_offset() const { return certificate_offset_; }
    std::uint32_t certificate_size() const { return certificate_size_; }

private:
    enum class phase { headers, certificate, done };

    // Reads what the bytes so far tell; asks for more or ends.
    void judge_headers();
    void judge_certificate();

    std::uint64_t file_size_;
    phase phase_ = phase::headers;
    signature_state state_ = signature_state::not_an_image;
    bytes head_;                    // the file from its start, as far as the headers need
    std::size_t head_needed_;
    bytes certificate_;             // the WIN_CERTIFICATE header
    std::uint64_t certificate_offset_ = 0;
    std::uint32_t certificate_size_ = 0;
};

#endif
