// Encoding preview images: PNG (8-bit RGBA, for viewing) and OpenEXR
// (32-bit float RGBA, values untouched), each carrying the settings that
// made it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tulo/tulo_cellulartexture.h"
#include "tools/preview/options.h"
#include "tools/preview/pixel_encoding.h"

namespace preview {

// A float RGBA image, rows top to bottom, linear values as the shader
// returns them.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<tulo::Color> pixels;
    tulo::Color& at(int x, int y) {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
    const tulo::Color& at(int x, int y) const {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

// Text stored with an image: PNG text chunks, OpenEXR string attributes.
using Metadata = std::vector<std::pair<std::string, std::string>>;

// Named channels an EXR carries beside RGBA, one value a pixel in the
// image's order: 32-bit floats, or 32-bit unsigned integers (ids).
struct ExtraChannels {
    std::vector<std::pair<std::string, std::vector<float>>> floats;
    std::vector<std::pair<std::string, std::vector<uint32_t>>> uints;
};

// The PNG codes of an image, RGBA a pixel, as encode_png writes them
// (pixel_encoding.h).
std::vector<uint16_t> png_codes(const Image& image, ColorSpace space, int bits);

// The PNG file's bytes: RGBA of `bits` (8 or 16) per channel, the codes of
// png_codes; an sRGB or a gamma 1.0 chunk tells viewers the encoding.
std::vector<unsigned char> encode_png(const Image& image, ColorSpace space, const Metadata& metadata, int bits = 8);

// A PNG as stored: RGBA codes of 8 or 16 bits, and the encoding its chunks
// state (sRGB unless a gamma of 1.0 says linear).
struct PngCodes {
    int width = 0, height = 0;
    int bits = 8;
    ColorSpace space = ColorSpace::srgb;
    std::vector<uint16_t> rgba;
};
// Reads an RGBA PNG of 8 or 16 bits; std::runtime_error for anything else.
PngCodes read_png(const std::string& path);

// Writes the OpenEXR file to the open file `fd`; failures name `path` and
// the system's reason (std::runtime_error).
void write_exr(const Image& image, int fd, const std::string& path, const Metadata& metadata,
               const ExtraChannels& extra = {});

// Readers, for tests (read_png_rgba: 8-bit RGBA only).
std::vector<unsigned char> read_png_rgba(const std::string& path, int* width, int* height);
std::map<std::string, std::string> read_png_text(const std::string& path);
Image read_exr(const std::string& path);
std::vector<float> read_exr_floats(const std::string& path, const std::string& channel);
std::vector<uint32_t> read_exr_uints(const std::string& path, const std::string& channel);
std::map<std::string, std::string> read_exr_text(const std::string& path);

}  // namespace preview
