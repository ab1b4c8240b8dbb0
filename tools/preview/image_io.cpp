// PNG through libpng's simplified API, OpenEXR through its C++ library.
#include "tools/preview/image_io.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace preview {
namespace {

unsigned char to_8bit(float v) {
    const float c = std::min(std::max(v, 0.0f), 1.0f);
    return static_cast<unsigned char>(std::lround(c * 255.0f));
}

std::string errno_text() { return std::strerror(errno); }

// The float R, G, B, A channels of an image's pixels, for OpenEXR.
Imf::FrameBuffer frame_buffer(const Image& image) {
    Imf::FrameBuffer fb;
    char* base = reinterpret_cast<char*>(const_cast<tulo::Color*>(image.pixels.data()));
    const size_t xs = sizeof(tulo::Color), ys = xs * static_cast<size_t>(image.width);
    fb.insert("R", Imf::Slice(Imf::FLOAT, base + offsetof(tulo::Color, r), xs, ys));
    fb.insert("G", Imf::Slice(Imf::FLOAT, base + offsetof(tulo::Color, g), xs, ys));
    fb.insert("B", Imf::Slice(Imf::FLOAT, base + offsetof(tulo::Color, b), xs, ys));
    fb.insert("A", Imf::Slice(Imf::FLOAT, base + offsetof(tulo::Color, a), xs, ys));
    return fb;
}

}  // namespace

bool is_exr_name(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    return tail == ".exr";
}

AtomicOutput::AtomicOutput(std::string path) : path_(std::move(path)) {
    std::string templ = path_ + ".tmp-XXXXXX";
    const int fd = mkstemp(templ.data());
    if (fd < 0) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
    // mkstemp makes the file private; give it the mode a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    temp_ = templ;
}

AtomicOutput::~AtomicOutput() {
    if (!committed_ && !temp_.empty()) std::remove(temp_.c_str());
}

void AtomicOutput::commit() {
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
        throw std::runtime_error("cannot move the finished image to '" + path_ + "': " + errno_text());
    }
    committed_ = true;
}

void write_png(const Image& image, const std::string& path) {
    std::vector<unsigned char> rgb(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3);
    size_t i = 0;
    for (const tulo::Color& c : image.pixels) {
        const bool nan = std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b);
        rgb[i++] = nan ? 255 : to_8bit(c.r);
        rgb[i++] = nan ? 0 : to_8bit(c.g);
        rgb[i++] = nan ? 255 : to_8bit(c.b);
    }
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
#ifdef PNG_IMAGE_FLAG_FAST
    png.flags |= PNG_IMAGE_FLAG_FAST;  // faster compression; a preview is rewritten often
#endif
    if (!png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr)) {
        const std::string why = png.message;
        png_image_free(&png);
        throw std::runtime_error("cannot write PNG '" + path + "': " + why);
    }
}

void write_exr(const Image& image, const std::string& path) {
    try {
        Imf::Header header(image.width, image.height);
        for (const char* name : {"R", "G", "B", "A"}) header.channels().insert(name, Imf::Channel(Imf::FLOAT));
        Imf::OutputFile file(path.c_str(), header);
        file.setFrameBuffer(frame_buffer(image));
        file.writePixels(image.height);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot write OpenEXR '" + path + "': " + e.what());
    }
}

std::vector<unsigned char> read_png_rgb(const std::string& path, int* width, int* height) {
    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) throw std::runtime_error(png.message);
    png.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) {
        const std::string why = png.message;
        png_image_free(&png);
        throw std::runtime_error(why);
    }
    *width = static_cast<int>(png.width);
    *height = static_cast<int>(png.height);
    return rgb;
}

Image read_exr(const std::string& path) {
    Imf::InputFile file(path.c_str());
    const auto window = file.header().dataWindow();
    Image image;
    image.width = window.max.x - window.min.x + 1;
    image.height = window.max.y - window.min.y + 1;
    image.pixels.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    file.setFrameBuffer(frame_buffer(image));
    file.readPixels(window.min.y, window.max.y);
    return image;
}

}  // namespace preview
