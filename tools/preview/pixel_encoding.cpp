// Linear colour to RGBA codes; see pixel_encoding.h.
#include "tools/preview/pixel_encoding.h"

#include <algorithm>
#include <cmath>

namespace preview {
namespace {

// The sRGB transfer function of a linear value in [0, 1].
float srgb_encode(float c) { return c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f; }

template <class Code>
void encode(const tulo::Color* pixels, std::size_t count, ColorSpace space, int bits, Code* rgba) {
    const auto top = static_cast<Code>(bits == 16 ? 65535 : 255);
    std::size_t i = 0;
    for (const tulo::Color* p = pixels; p != pixels + count; ++p) {
        const tulo::Color& c = *p;
        if (std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b) || std::isnan(c.a)) {
            rgba[i++] = top, rgba[i++] = 0, rgba[i++] = top, rgba[i++] = top;
            continue;
        }
        rgba[i++] = static_cast<Code>(encode_channel(c.r, space, bits));
        rgba[i++] = static_cast<Code>(encode_channel(c.g, space, bits));
        rgba[i++] = static_cast<Code>(encode_channel(c.b, space, bits));
        rgba[i++] = static_cast<Code>(encode_channel(c.a, ColorSpace::linear, bits));
    }
}

}  // namespace

unsigned encode_channel(float linear, ColorSpace space, int bits) {
    const float c = std::min(std::max(linear, 0.0f), 1.0f);  // NaN is handled by the caller
    const float top = bits == 16 ? 65535.0f : 255.0f;
    return static_cast<unsigned>(std::lround((space == ColorSpace::srgb ? srgb_encode(c) : c) * top));
}

void encode_codes(const tulo::Color* pixels, std::size_t count, ColorSpace space, int bits, uint16_t* rgba) {
    encode(pixels, count, space, bits, rgba);
}

void encode_rgba8(const tulo::Color* pixels, std::size_t count, ColorSpace space, unsigned char* rgba) {
    encode(pixels, count, space, 8, rgba);
}

}  // namespace preview
