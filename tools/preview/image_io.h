// Writing and reading preview images: PNG (8-bit, for viewing) and OpenEXR
// (32-bit float, values untouched).
#pragma once

#include <string>
#include <vector>

#include "shader/tulo_cellulartexture.h"

namespace preview {

// A float RGBA image, rows top to bottom.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<tulo::Color> pixels;
    tulo::Color& at(int x, int y) { return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)]; }
    const tulo::Color& at(int x, int y) const {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

// Whether a file name asks for OpenEXR (ends in .exr, any case).
bool is_exr_name(const std::string& path);

// An output file written beside its final name and renamed into place when
// complete, so that nothing half-written is ever left under the final name.
class AtomicOutput {
public:
    // Creates the temporary file at once, so an unwritable place is found
    // before any work; throws std::runtime_error with the reason.
    explicit AtomicOutput(std::string path);
    ~AtomicOutput();  // removes the temporary file unless committed
    const std::string& temp_path() const { return temp_; }
    void commit();    // renames the temporary file to the final name
private:
    std::string path_;
    std::string temp_;
    bool committed_ = false;
};

// Writes `image` to `path` (format by name); throws std::runtime_error.
// PNG: RGB, each channel clamped to [0, 1] and rounded to 8 bits, NaN
// pixels painted magenta. EXR: float R, G, B, A exactly as rendered.
void write_png(const Image& image, const std::string& path);
void write_exr(const Image& image, const std::string& path);

// Readers, for tests: PNG as 8-bit RGB, EXR as float RGBA.
std::vector<unsigned char> read_png_rgb(const std::string& path, int* width, int* height);
Image read_exr(const std::string& path);

}  // namespace preview
