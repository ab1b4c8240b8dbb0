// Linear float colour to the 8-bit RGBA bytes of a preview image: the one
// rule that the PNG writer and the playground's WebAssembly module (web/)
// share, so that both give the same bytes for the same pixels.
//
// - Colour channels are clamped to [0, 1], then sRGB-encoded (the sRGB
//   transfer function, through the C library's powf) or kept linear, times
//   255, rounded to nearest (halves away from zero).
// - Alpha is straight (not multiplied into the colour) and always linear.
// - A pixel with NaN in any channel becomes opaque magenta (255, 0, 255, 255).
#pragma once

#include <cstddef>

#include "shader/tulo_cellulartexture.h"

namespace preview {

enum class ColorSpace { srgb, linear };

// 8-bit value of a linear channel: clamped to [0, 1], sRGB-encoded or not,
// rounded. NaN is the caller's (see encode_rgba8).
unsigned char encode_channel(float linear, ColorSpace space);

// `count` pixels into 4 * count bytes r, g, b, a.
void encode_rgba8(const tulo::Color* pixels, std::size_t count, ColorSpace space, unsigned char* rgba);

}  // namespace preview
