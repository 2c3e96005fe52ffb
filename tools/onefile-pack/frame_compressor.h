// One zstd frame of content, compressed on the calling thread.
#ifndef ONEFILE_FRAME_COMPRESSOR_H
#define ONEFILE_FRAME_COMPRESSOR_H

#include "little_endian.h"

#include <cstdint>
#include <memory>

#include <zstd.h>

// Compresses whole frames at one zstd level. Each frame carries its content
// checksum, which the bootstrap requires so that damaged data never
// unpacks, and its content size; no dictionary id; the window is the one
// its content needs (zstd shrinks it to the size it is given). The frame
// depends on the content and the level alone, so frames compressed on any
// number of threads, by either packer, are the same bytes. Not shared
// between threads: each worker has its own.
class frame_compressor {
public:
    explicit frame_compressor(int level);

    // The frame of `size` bytes at `data`. Throws pack_error when zstd fails.
    bytes compress(const byte *data, std::size_t size);

private:
    std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx *)> context_;
};

#endif
