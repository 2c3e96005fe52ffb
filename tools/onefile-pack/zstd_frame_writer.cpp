#include "zstd_frame_writer.h"

#include "pack_error.h"

#include <string>

namespace {

void check(std::size_t result, const char *what)
{
    if (ZSTD_isError(result))
        throw pack_error(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
}

// Jobs of this size keep two cores busy on a single large file; zstd's own
// choice at level 12 and window log 27 would make one job of 256 MiB.
constexpr int job_size = 16 << 20;

} // namespace

zstd_frame_writer::zstd_frame_writer(std::FILE *out, int level, int workers)
    : context_(ZSTD_createCCtx(), ZSTD_freeCCtx), buffer_(ZSTD_CStreamOutSize()), out_(out)
{
    if (!context_)
        throw pack_error("zstd: out of memory");
    ZSTD_CCtx *cctx = context_.get();
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level), "compression level");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 27), "window log");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0), "content size flag");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "checksum flag");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, workers < 1 ? 1 : workers), "workers");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_jobSize, job_size), "job size");
}

void zstd_frame_writer::write(const void *data, std::size_t size)
{
    ZSTD_inBuffer input{data, size, 0};
    compress(input, ZSTD_e_continue);
}

std::uint64_t zstd_frame_writer::finish()
{
    ZSTD_inBuffer input{nullptr, 0, 0};
    compress(input, ZSTD_e_end);
    return frame_size_;
}

// Runs the compressor until it has taken all of `input` (and, for
// ZSTD_e_end, flushed the end of the frame), writing what it produces.
void zstd_frame_writer::compress(ZSTD_inBuffer &input, ZSTD_EndDirective directive)
{
    for (;;) {
        ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
        const std::size_t remaining = ZSTD_compressStream2(context_.get(), &output, &input, directive);
        check(remaining, "compression");
        if (std::fwrite(buffer_.data(), 1, output.pos, out_) != output.pos)
            throw pack_error("cannot write the attached data: " + errno_text());
        frame_size_ += output.pos;
        const bool done = directive == ZSTD_e_end ? remaining == 0 : input.pos == input.size;
        if (done)
            return;
    }
}
