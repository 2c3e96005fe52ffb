// Streams bytes into one zstd frame, written to a file as it grows.
#ifndef ONEFILE_ZSTD_FRAME_WRITER_H
#define ONEFILE_ZSTD_FRAME_WRITER_H

#include "little_endian.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <zstd.h>

// The frame carries its content checksum, which the bootstrap requires so
// that damaged data never unpacks, no content size or dictionary id, and a
// window log of exactly 27, so its header is 28 B5 2F FD 04 88. The
// bootstrap's decoder accepts windows up to that size. zstd compresses in jobs of a
// fixed size on `workers` threads (at least one); the frame depends on the
// job size, never on the number of threads, so the same bytes in give the
// same frame out on every machine.
class zstd_frame_writer {
public:
    zstd_frame_writer(std::FILE *out, int level, int workers);

    // Compresses `size` bytes. Throws pack_error when the file cannot be written.
    void write(const void *data, std::size_t size);

    // Ends the frame and returns its length in bytes.
    std::uint64_t finish();

private:
    void compress(ZSTD_inBuffer &input, ZSTD_EndDirective directive);

    std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx *)> context_;
    bytes buffer_;
    std::FILE *out_;
    std::uint64_t frame_size_ = 0;
};

#endif
