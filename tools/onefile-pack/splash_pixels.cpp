#include "splash_pixels.h"

#include "format/onefile_format.h"
#include "pack_error.h"

#include <png.h>
#include <zstd.h>

#include <cstring>
#include <memory>

namespace {

// Level 19 up to a megapixel: a 900x600 picture's pixels take 8,749 bytes
// against 9,945 at level 12 and 10,234 at level 6, in 60 ms; a megapixel
// photograph, which no level makes much smaller, 1.3 s. Above it level 9: a
// 2001x1201 photograph in 1 s against 7 s.
constexpr std::size_t small_splash_pixels = 1 << 20;
constexpr int small_splash_level = 19;
constexpr int large_splash_level = 9;

struct png_failure {
    std::string what;
};

[[noreturn]] void throw_png_error(png_structp, png_const_charp message)
{
    throw png_failure{message};
}

// Warnings (a damaged ancillary chunk, an odd colour profile) change no
// pixel.
void ignore_png_warning(png_structp, png_const_charp) {}

struct memory_source {
    const bytes &data;
    std::size_t at;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t size)
{
    memory_source &source = *static_cast<memory_source *>(png_get_io_ptr(png));
    if (size > source.data.size() - source.at)
        png_error(png, "the file ends early");
    std::memcpy(out, source.data.data() + source.at, size);
    source.at += size;
}

struct png_reader {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, throw_png_error, ignore_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    ~png_reader() { png_destroy_read_struct(&png, &info, nullptr); }
};

struct decoded_image {
    std::uint32_t width;
    std::uint32_t height;
    bytes pixels; // B, G, R, A
};

// The transformations reproduce the imaging library's PNG decoder and its
// conversion to BGRA: palette entries and grey levels expanded, a
// transparent colour or grey (tRNS) made alpha 0 and everything else 255,
// grey copied into all three colours, 16-bit samples cut to their high
// byte, and no gamma correction, which libpng applies only when asked.
decoded_image decode(const bytes &png_file, const std::string &name)
{
    png_reader reader;
    if (reader.info == nullptr)
        throw pack_error("libpng: out of memory");
    memory_source source{png_file, 0};
    decoded_image image{};
    try {
        png_set_read_fn(reader.png, &source, read_from_memory);
        png_read_info(reader.png, reader.info);
        image.width = png_get_image_width(reader.png, reader.info);
        image.height = png_get_image_height(reader.png, reader.info);
        if (static_cast<std::uint64_t>(image.width) * image.height > ONEFILE_SPLASH_PIXELS_LIMIT)
            throw pack_error("splash image " + name + " is " + std::to_string(image.width) + "x" +
                             std::to_string(image.height) + " pixels, more than a splash may have (" +
                             std::to_string(ONEFILE_SPLASH_PIXELS_LIMIT) + ", such as 8192x8192)");
        png_set_expand(reader.png);
        png_set_gray_to_rgb(reader.png);
        png_set_strip_16(reader.png);
        png_set_add_alpha(reader.png, 0xff, PNG_FILLER_AFTER);
        png_set_bgr(reader.png);
        png_set_interlace_handling(reader.png);
        png_read_update_info(reader.png, reader.info);
        const std::size_t row_size = static_cast<std::size_t>(image.width) * 4;
        if (png_get_rowbytes(reader.png, reader.info) != row_size)
            throw png_failure{"unexpected row size after the transformations"};
        image.pixels.resize(row_size * image.height);
        std::vector<png_bytep> rows(image.height);
        for (std::uint32_t y = 0; y < image.height; ++y)
            rows[y] = image.pixels.data() + row_size * y;
        png_read_image(reader.png, rows.data());
    } catch (const png_failure &failure) {
        throw pack_error("splash image " + name + " cannot be decoded: " + failure.what);
    }
    return image;
}

// The imaging library's premultiplication: each colour times alpha / 255,
// rounded to the nearest; opaque pixels unchanged.
void premultiply(bytes &pixels)
{
    for (std::size_t at = 0; at < pixels.size(); at += 4) {
        const unsigned alpha = pixels[at + 3];
        if (alpha == 255)
            continue;
        for (std::size_t channel = 0; channel < 3; ++channel)
            pixels[at + channel] = static_cast<byte>((pixels[at + channel] * alpha + 127) / 255);
    }
}

bytes compress(const bytes &pixels)
{
    const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (!context)
        throw pack_error("zstd: out of memory");
    bytes frame(ZSTD_compressBound(pixels.size()));
    // One thread, so that the frame is the same whatever --threads says.
    const int level = pixels.size() / 4 <= small_splash_pixels ? small_splash_level : large_splash_level;
    std::size_t size = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    if (!ZSTD_isError(size))
        size = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(size))
        size = ZSTD_compress2(context.get(), frame.data(), frame.size(), pixels.data(), pixels.size());
    if (ZSTD_isError(size))
        throw pack_error(std::string("zstd: splash pixels: ") + ZSTD_getErrorName(size));
    frame.resize(size);
    return frame;
}

} // namespace

bytes splash_pixels_resource(const bytes &png, const std::string &name)
{
    decoded_image image = decode(png, name);
    premultiply(image.pixels);
    bytes resource;
    append_le(resource, 4, ONEFILE_SPLASH_PIXELS_VERSION);
    append_le(resource, 4, image.width);
    append_le(resource, 4, image.height);
    const bytes frame = compress(image.pixels);
    resource.insert(resource.end(), frame.begin(), frame.end());
    return resource;
}
