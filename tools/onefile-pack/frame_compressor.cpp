#include "frame_compressor.h"

#include "pack_error.h"

#include <string>

namespace {

void check(std::size_t result, const char *what)
{
    if (ZSTD_isError(result))
        throw pack_error(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
}

} // namespace

frame_compressor::frame_compressor(int level) : context_(ZSTD_createCCtx(), ZSTD_freeCCtx)
{
    if (!context_)
        throw pack_error("zstd: out of memory");
    ZSTD_CCtx *cctx = context_.get();
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level), "compression level");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1), "content size flag");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "checksum flag");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
}

bytes frame_compressor::compress(const byte *data, std::size_t size)
{
    bytes frame(ZSTD_compressBound(size));
    const std::size_t length = ZSTD_compress2(context_.get(), frame.data(), frame.size(), data, size);
    check(length, "compression");
    frame.resize(length);
    return frame;
}
