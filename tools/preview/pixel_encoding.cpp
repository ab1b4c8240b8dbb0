// Linear colour to 8-bit RGBA; see pixel_encoding.h.
#include "tools/preview/pixel_encoding.h"

#include <algorithm>
#include <cmath>

namespace preview {
namespace {

// The sRGB transfer function of a linear value in [0, 1].
float srgb_encode(float c) { return c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f; }

}  // namespace

unsigned char encode_channel(float linear, ColorSpace space) {
    const float c = std::min(std::max(linear, 0.0f), 1.0f);  // NaN is handled by the caller
    return static_cast<unsigned char>(std::lround((space == ColorSpace::srgb ? srgb_encode(c) : c) * 255.0f));
}

void encode_rgba8(const tulo::Color* pixels, std::size_t count, ColorSpace space, unsigned char* rgba) {
    std::size_t i = 0;
    for (const tulo::Color* p = pixels; p != pixels + count; ++p) {
        const tulo::Color& c = *p;
        if (std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b) || std::isnan(c.a)) {
            rgba[i++] = 255, rgba[i++] = 0, rgba[i++] = 255, rgba[i++] = 255;
            continue;
        }
        rgba[i++] = encode_channel(c.r, space);
        rgba[i++] = encode_channel(c.g, space);
        rgba[i++] = encode_channel(c.b, space);
        rgba[i++] = encode_channel(c.a, ColorSpace::linear);
    }
}

}  // namespace preview
