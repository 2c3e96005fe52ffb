// The splash image decoded once, at pack time, into the pixels that the
// bootstrap shows without the system's imaging library: what that library's
// PNG decoder and its conversion to 32bppPBGRA deliver for the same file.
#ifndef ONEFILE_SPLASH_PIXELS_H
#define ONEFILE_SPLASH_PIXELS_H

#include "little_endian.h"

#include <string>

// The pixels resource (see ONEFILE_SPLASH_PIXELS_RESOURCE) of the PNG file
// `png`. Every PNG kind is read: palette, grey and colour, with or without
// alpha or a transparent colour, 1 to 16 bits, interlaced or not; gamma and
// colour profiles are not applied, 16-bit samples keep their high byte.
// Throws pack_error naming `name` for a file that libpng cannot decode and
// for an image of more than ONEFILE_SPLASH_PIXELS_LIMIT pixels.
bytes splash_pixels_resource(const bytes &png, const std::string &name);

#endif
