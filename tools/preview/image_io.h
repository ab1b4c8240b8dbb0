// Encoding preview images: PNG (8-bit RGBA, for viewing) and OpenEXR
// (32-bit float RGBA, values untouched), each carrying the settings that
// made it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "shader/tulo_cellulartexture.h"
#include "tools/preview/options.h"
#include "tools/preview/pixel_encoding.h"

namespace preview {

// A float RGBA image, rows top to bottom, linear values as the shader
// returns them.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<tulo::Color> pixels;
    tulo::Color& at(int x, int y) { return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)]; }
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

// The PNG file's bytes: RGBA, the pixels encoded by encode_rgba8
// (pixel_encoding.h) in `space` (an sRGB or a gamma 1.0 chunk tells viewers
// which).
std::vector<unsigned char> encode_png(const Image& image, ColorSpace space, const Metadata& metadata);

// Writes the OpenEXR file to the open file `fd`; failures name `path` and
// the system's reason (std::runtime_error).
void write_exr(const Image& image, int fd, const std::string& path, const Metadata& metadata,
               const ExtraChannels& extra = {});

// Readers, for tests.
std::vector<unsigned char> read_png_rgba(const std::string& path, int* width, int* height);
std::map<std::string, std::string> read_png_text(const std::string& path);
Image read_exr(const std::string& path);
std::vector<float> read_exr_floats(const std::string& path, const std::string& channel);
std::vector<uint32_t> read_exr_uints(const std::string& path, const std::string& channel);
std::map<std::string, std::string> read_exr_text(const std::string& path);

}  // namespace preview
