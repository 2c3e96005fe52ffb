/*
** The packer's splash pixels against the imaging library's own decoding of
** the same PNG: its PNG decoder and WICConvertBitmapSource to 32bppPBGRA,
** under Wine here. The packer's code is compiled into this test as into the
** Windows packer (same sources, same libpng); the Linux packer's pixels of
** the alpha test image, packed by the build, must be the same bytes.
**
** What Windows does, from Wine's conformance tests (dlls/windowscodecs/tests,
** which pass on Windows): the PNG decoder gives palettes with the tRNS
** alpha per entry and grey with tRNS as an indexed format whose transparent
** entry has alpha 0, 16-bit grey with tRNS and 16-bit colour as 64bppRGBA or
** 48bppRGB; the conversion to 32bppPBGRA rounds (c * a + 127) / 255 ("BGRA
** -> PBGRA", whose values truncation would miss). Neither decoder applies
** gAMA. How Windows cuts 16-bit samples to 8 bits the tests do not pin (their
** values are 0x0080 and 0xFF80): Wine keeps the high byte, and so does the
** packer; Windows may differ there by one level.
*/
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <initguid.h>
#include <shlwapi.h>
#include <wincodec.h>
#include <zlib.h>
#include <zstd.h>

#include <functional>
#include <string>
#include <vector>

#include "run_process.h"
#include "splash_pixels.h"
#include "splash_probes.h"

namespace {

/* A PNG file of any kind, its samples from `sample(x, y, channel)`, written
** with stored deflate blocks: what the decoders see is the chunks' meaning,
** not an encoder's choices. */
struct png_kind {
    const char *name;
    unsigned width, height;
    int bit_depth, colour_type;
    std::function<unsigned(unsigned, unsigned, unsigned)> sample;
    std::string palette;      /* PLTE data */
    std::string transparency; /* tRNS data */
    bool interlaced = false;
    unsigned gamma = 0;       /* gAMA in 1/100000, 0: none */
};

unsigned channels_of(int colour_type)
{
    return colour_type == 0 || colour_type == 3 ? 1 : colour_type == 4 ? 2 : colour_type == 2 ? 3 : 4;
}

std::string big_endian(unsigned value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; i--)
        out += (char)(value >> (8 * i));
    return out;
}

std::string chunk(const char *type, const std::string &data)
{
    std::string body = type + data;
    return big_endian((unsigned)data.size(), 4) + body
         + big_endian((unsigned)crc32(0, (const Bytef *)body.data(), (uInt)body.size()), 4);
}

/* zlib data of stored blocks. */
std::string stored_zlib(const std::string &data)
{
    std::string out(compressBound(data.size()), '\0');
    uLongf size = out.size();
    bool made = compress2((Bytef *)&out[0], &size, (const Bytef *)data.data(), data.size(), Z_NO_COMPRESSION) == Z_OK;
    return made ? out.substr(0, size) : ""; /* no PNG then, which the test reports */
}

/* The pixels at (x0 + i * dx, y0 + j * dy) as filtered rows (filter 0). */
std::string scanlines(const png_kind &kind, unsigned x0, unsigned y0, unsigned dx, unsigned dy)
{
    std::string out;
    unsigned channels = channels_of(kind.colour_type);
    for (unsigned y = y0; y < kind.height; y += dy) {
        if (x0 >= kind.width)
            break;
        out += '\0';
        unsigned bits = 0, filled = 0;
        for (unsigned x = x0; x < kind.width; x += dx)
            for (unsigned channel = 0; channel < channels; channel++) {
                unsigned value = kind.sample(x, y, channel);
                if (kind.bit_depth == 16) {
                    out += big_endian(value, 2);
                    continue;
                }
                bits = bits << kind.bit_depth | value;
                filled += kind.bit_depth;
                if (filled == 8) {
                    out += (char)bits;
                    bits = filled = 0;
                }
            }
        if (filled > 0)
            out += (char)(bits << (8 - filled));
    }
    return out;
}

std::string png_file(const png_kind &kind)
{
    std::string header = big_endian(kind.width, 4) + big_endian(kind.height, 4) + (char)kind.bit_depth
                       + (char)kind.colour_type + '\0' + '\0' + (char)(kind.interlaced ? 1 : 0);
    std::string image;
    if (!kind.interlaced) {
        image = scanlines(kind, 0, 0, 1, 1);
    } else {
        const unsigned adam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
        for (const unsigned *pass : adam7)
            image += scanlines(kind, pass[0], pass[1], pass[2], pass[3]);
    }
    std::string file = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header);
    if (kind.gamma != 0)
        file += chunk("gAMA", big_endian(kind.gamma, 4));
    if (!kind.palette.empty())
        file += chunk("PLTE", kind.palette);
    if (!kind.transparency.empty())
        file += chunk("tRNS", kind.transparency);
    return file + chunk("IDAT", stored_zlib(image)) + chunk("IEND", "");
}

/* Values that cross every byte of each sample, for any depth. */
unsigned mixed(unsigned x, unsigned y, unsigned channel, int bit_depth)
{
    unsigned value = x * 2654435761u ^ y * 40503u ^ channel * 0x9E3779B9u;
    return (value ^ value >> 13) & ((1u << bit_depth) - 1);
}

std::vector<png_kind> png_kinds()
{
    std::string palette, partial_alpha;
    for (unsigned i = 0; i < 16; i++) {
        palette += std::string{(char)(i * 16), (char)(255 - i * 9), (char)(i * i)};
        if (i < 11)
            partial_alpha += (char)(i * 25); /* the rest opaque, as tRNS says */
    }
    auto mixed_at = [](int depth) {
        return [depth](unsigned x, unsigned y, unsigned c) { return mixed(x, y, c, depth); };
    };
    /* Every alpha over the columns, with colours that round both ways. */
    auto every_alpha = [](unsigned x, unsigned y, unsigned c) { return c == 3 ? x : (x * 7 + y * 31 + c * 85) & 255; };
    return {
        {"rgba_8_every_alpha", 256, 12, 8, 6, every_alpha},
        {"rgba_16", 40, 20, 16, 6, mixed_at(16)},
        {"rgb_8_transparent_colour", 33, 9, 8, 2,
         [](unsigned x, unsigned, unsigned c) { return (x % 3 == 0 ? 40 : x) + c; }, "", big_endian(40, 2) +
         big_endian(41, 2) + big_endian(42, 2)},
        {"rgb_16_gamma_1", 30, 10, 16, 2, mixed_at(16), "", "", false, 100000},
        {"palette_4_partial_trns", 29, 7, 4, 3, [](unsigned x, unsigned y, unsigned) { return (x + y) % 16; },
         palette, partial_alpha},
        {"palette_8", 50, 5, 8, 3, [](unsigned x, unsigned, unsigned) { return x % 16; }, palette},
        {"grey_1", 37, 5, 1, 0, mixed_at(1)},
        {"grey_2", 35, 6, 2, 0, mixed_at(2)},
        {"grey_4_transparent_level", 31, 6, 4, 0, mixed_at(4), "", big_endian(5, 2)},
        {"grey_8_transparent_level", 64, 4, 8, 0, [](unsigned x, unsigned y, unsigned) { return x * 4 + y; }, "",
         big_endian(9, 2)},
        {"grey_16_transparent_level", 20, 8, 16, 0,
         [](unsigned x, unsigned y, unsigned) { return x == 3 ? 0x1234u : mixed(x, y, 0, 16); }, "",
         big_endian(0x1234, 2)},
        {"grey_alpha_8", 45, 6, 8, 4, mixed_at(8)},
        {"grey_alpha_16", 21, 6, 16, 4, mixed_at(16)},
        {"rgba_8_interlaced", 19, 13, 8, 6, mixed_at(8), "", "", true},
        {"grey_2_interlaced", 23, 11, 2, 0, mixed_at(2), "", "", true},
    };
}

/* The imaging library's 32bppPBGRA pixels of the PNG, as the bootstrap
** used to show them; empty when it cannot decode it. */
std::string imaging_library_pixels(const std::string &png, UINT *width, UINT *height)
{
    IStream *stream = SHCreateMemStream((const BYTE *)png.data(), (UINT)png.size());
    IWICBitmapDecoder *decoder = NULL;
    IWICBitmapFrameDecode *frame = NULL;
    IWICBitmapSource *converted = NULL;
    std::string pixels;
    if (stream != NULL
        && SUCCEEDED(CoCreateInstance(CLSID_WICPngDecoder, NULL, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                                      (void **)&decoder))
        && SUCCEEDED(decoder->Initialize(stream, WICDecodeMetadataCacheOnLoad))
        && SUCCEEDED(decoder->GetFrame(0, &frame))
        && SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame, &converted))
        && SUCCEEDED(converted->GetSize(width, height))) {
        pixels.resize((size_t)*width * *height * 4);
        if (FAILED(converted->CopyPixels(NULL, *width * 4, (UINT)pixels.size(), (BYTE *)&pixels[0])))
            pixels.clear();
    }
    for (IUnknown *object : std::initializer_list<IUnknown *>{converted, frame, decoder, stream})
        if (object != NULL)
            object->Release();
    return pixels;
}

/* The pixels of a pixels resource: width, height and the decompressed frame. */
std::string unpacked_pixels(const std::string &resource, unsigned *width, unsigned *height)
{
    if (resource.size() < 12 || resource.compare(0, 4, std::string("\1\0\0\0", 4)) != 0)
        return "";
    *width = *(const unsigned *)&resource[4];
    *height = *(const unsigned *)&resource[8];
    std::string pixels((size_t)*width * *height * 4, '\0');
    size_t size = ZSTD_decompress(&pixels[0], pixels.size(), resource.data() + 12, resource.size() - 12);
    return ZSTD_isError(size) || size != pixels.size() ? "" : pixels;
}

std::string as_text(const bytes &data)
{
    return std::string(data.begin(), data.end());
}

/* "pixel (x, y): B,G,R,A against B,G,R,A" at the first difference. */
std::string first_difference(const std::string &ours, const std::string &theirs, unsigned width)
{
    for (size_t at = 0; at + 4 <= ours.size() && at + 4 <= theirs.size(); at += 4)
        if (ours.compare(at, 4, theirs, at, 4) != 0) {
            std::string text = "pixel (" + std::to_string(at / 4 % width) + ", " + std::to_string(at / 4 / width)
                             + "): ";
            for (const std::string *side : {&ours, &theirs}) {
                for (size_t i = 0; i < 4; i++)
                    text += std::to_string((unsigned char)(*side)[at + i]) + (i < 3 ? "," : "");
                text += side == &ours ? " (packer) against " : " (imaging library)";
            }
            return text;
        }
    return "sizes " + std::to_string(ours.size()) + " and " + std::to_string(theirs.size());
}

class SplashPixels : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL))); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(SplashPixels, are_the_imaging_librarys_32bpp_pbgra_for_every_kind_of_png)
{
    for (const png_kind &kind : png_kinds()) {
        SCOPED_TRACE(kind.name);
        const std::string png = png_file(kind);
        UINT width = 0, height = 0;
        const std::string expected = imaging_library_pixels(png, &width, &height);
        ASSERT_FALSE(expected.empty()) << "the imaging library does not decode the test's PNG";
        ASSERT_EQ(width, kind.width);
        unsigned packed_width = 0, packed_height = 0;
        const std::string ours = unpacked_pixels(
            as_text(splash_pixels_resource(bytes(png.begin(), png.end()), kind.name)), &packed_width,
            &packed_height);
        EXPECT_EQ(packed_width, width);
        EXPECT_EQ(packed_height, height);
        EXPECT_TRUE(ours == expected) << first_difference(ours, expected, width);
    }
}

TEST_F(SplashPixels, of_the_linux_packer_are_those_of_the_windows_one)
{
    HMODULE executable = LoadLibraryExW(packed(L"alpha").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(executable, nullptr);
    HRSRC resource = FindResourceW(executable, MAKEINTRESOURCEW(32), RT_RCDATA);
    ASSERT_NE(resource, nullptr) << "the pixels beside the PNG";
    const std::string linux_packer((const char *)LockResource(LoadResource(executable, resource)),
                                   SizeofResource(executable, resource));
    FreeLibrary(executable);
    const std::string png = read_file(std::wstring(ONEFILE_SPLASH_TEST_DIR) + L"\\images\\alpha.png");
    EXPECT_TRUE(linux_packer == as_text(splash_pixels_resource(bytes(png.begin(), png.end()), "alpha.png")));

    UINT width = 0, height = 0;
    unsigned packed_width = 0, packed_height = 0;
    EXPECT_TRUE(unpacked_pixels(linux_packer, &packed_width, &packed_height)
                == imaging_library_pixels(png, &width, &height));
}

} // namespace
