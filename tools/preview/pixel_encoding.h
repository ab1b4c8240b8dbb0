// Linear float colour to the codes of a preview image: the one rule that the
// PNG writer and the playground's WebAssembly module (web/) share, so that
// both give the same codes for the same pixels.
//
// - Colour channels are clamped to [0, 1], then sRGB-encoded (the sRGB
//   transfer function, through the C library's powf) or kept linear, times
//   2^bits - 1 (bits 8 or 16), rounded to nearest (halves away from zero).
// - Alpha is straight (not multiplied into the colour) and always linear.
// - A pixel with NaN in any channel becomes opaque magenta.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tulo/tulo_cellulartexture.h"

namespace preview {

enum class ColorSpace { srgb, linear };

// The code of a linear channel at `bits` (8 or 16) per channel: clamped to
// [0, 1], sRGB-encoded or not, scaled, rounded. NaN is the caller's (see
// encode_codes).
unsigned encode_channel(float linear, ColorSpace space, int bits = 8);

// `count` pixels into 4 * count codes r, g, b, a.
void encode_codes(const tulo::Color* pixels, std::size_t count, ColorSpace space, int bits, uint16_t* rgba);

// The same at 8 bits, as bytes.
void encode_rgba8(const tulo::Color* pixels, std::size_t count, ColorSpace space, unsigned char* rgba);

}  // namespace preview
