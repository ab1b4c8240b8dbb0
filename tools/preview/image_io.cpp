// PNG through libpng, OpenEXR through its C++ library, both into the open
// output file so that a failed write names the user's file and the reason.
#include "tools/preview/image_io.h"

#include <png.h>
#include <unistd.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfStringAttribute.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/preview/output.h"

namespace preview {
namespace {

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

// An OpenEXR output stream on an open file whose errors carry the system's
// reason and the user's file name.
class FileStream final : public Imf::OStream {
public:
    FileStream(int fd, const std::string& path) : Imf::OStream(path.c_str()), fd_(fd), path_(path) {}
    void write(const char c[], int n) override {
        if (!write_all(fd_, c, static_cast<size_t>(n))) fail();
    }
    uint64_t tellp() override {
        const off_t at = lseek(fd_, 0, SEEK_CUR);
        if (at < 0) fail();
        return static_cast<uint64_t>(at);
    }
    void seekp(uint64_t pos) override {
        if (lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) fail();
    }

private:
    [[noreturn]] void fail() { throw std::runtime_error("cannot write '" + path_ + "': " + std::strerror(errno)); }
    int fd_;
    std::string path_;
};

// libpng reports errors through longjmp; the message is kept for the throw.
struct PngErrors {
    std::jmp_buf jump;
    std::string message;
};

extern "C" void png_error_handler(png_structp png, png_const_charp message) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    errors->message = message;
    std::longjmp(errors->jump, 1);
}

extern "C" void png_warning_handler(png_structp, png_const_charp) {}

extern "C" void png_append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

extern "C" void png_no_flush(png_structp) {}

// libpng's writer over prepared rows, in a function of its own with no
// C++ objects: libpng reports errors by longjmp back into it. False on
// error, with the message in *errors.
bool encode_rows(std::vector<unsigned char>* bytes, png_bytep* rows, int width, int height, int bits, bool srgb,
                 png_text* texts, int text_count, PngErrors* errors) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, errors, png_error_handler, png_warning_handler);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        errors->message = "out of memory";
        return false;
    }
    if (setjmp(errors->jump) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, bytes, png_append, png_no_flush);
    png_set_compression_level(png, 3);  // fast: a preview is rewritten often
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bits,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (srgb) {
        png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    } else {
        png_set_gAMA(png, info, 1.0);
    }
    if (text_count > 0) png_set_text(png, info, texts, text_count);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::vector<uint16_t> png_codes(const Image& image, ColorSpace space, int bits) {
    std::vector<uint16_t> rgba(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 4);
    encode_codes(image.pixels.data(), image.pixels.size(), space, bits, rgba.data());
    return rgba;
}

std::vector<unsigned char> encode_png(const Image& image, ColorSpace space, const Metadata& metadata, int bits) {
    const std::vector<uint16_t> codes = png_codes(image, space, bits);
    // 16-bit samples are stored most significant byte first.
    const size_t bytes_per_code = bits == 16 ? 2 : 1;
    std::vector<unsigned char> rgba(codes.size() * bytes_per_code);
    for (size_t i = 0; i < codes.size(); ++i) {
        if (bits == 16) {
            rgba[2 * i] = static_cast<unsigned char>(codes[i] >> 8);
            rgba[2 * i + 1] = static_cast<unsigned char>(codes[i] & 0xFF);
        } else {
            rgba[i] = static_cast<unsigned char>(codes[i]);
        }
    }
    const size_t row_bytes = static_cast<size_t>(image.width) * 4 * bytes_per_code;
    std::vector<png_bytep> rows(static_cast<size_t>(image.height));
    for (int y = 0; y < image.height; ++y)
        rows[static_cast<size_t>(y)] = rgba.data() + static_cast<size_t>(y) * row_bytes;

    std::vector<png_text> texts(metadata.size());
    for (size_t k = 0; k < metadata.size(); ++k) {
        texts[k].compression = metadata[k].second.size() > 512 ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE;
        texts[k].key = const_cast<char*>(metadata[k].first.c_str());
        texts[k].text = const_cast<char*>(metadata[k].second.c_str());
        texts[k].text_length = metadata[k].second.size();
    }
    std::vector<unsigned char> bytes;
    PngErrors errors;
    if (!encode_rows(&bytes, rows.data(), image.width, image.height, bits, space == ColorSpace::srgb, texts.data(),
                     static_cast<int>(texts.size()), &errors)) {
        throw std::runtime_error("cannot encode PNG: " + errors.message);
    }
    return bytes;
}

void write_exr(const Image& image, int fd, const std::string& path, const Metadata& metadata,
               const ExtraChannels& extra) {
    try {
        Imf::Header header(image.width, image.height);
        for (const char* name : {"R", "G", "B", "A"}) header.channels().insert(name, Imf::Channel(Imf::FLOAT));
        for (const auto& c : extra.floats) header.channels().insert(c.first, Imf::Channel(Imf::FLOAT));
        for (const auto& c : extra.uints) header.channels().insert(c.first, Imf::Channel(Imf::UINT));
        for (const auto& [key, value] : metadata) header.insert(key, Imf::StringAttribute(value));
        FileStream stream(fd, path);
        Imf::OutputFile file(stream, header);
        Imf::FrameBuffer fb = frame_buffer(image);
        const size_t row = static_cast<size_t>(image.width);
        for (const auto& c : extra.floats) {
            char* base = reinterpret_cast<char*>(const_cast<float*>(c.second.data()));
            fb.insert(c.first, Imf::Slice(Imf::FLOAT, base, sizeof(float), sizeof(float) * row));
        }
        for (const auto& c : extra.uints) {
            char* base = reinterpret_cast<char*>(const_cast<uint32_t*>(c.second.data()));
            fb.insert(c.first, Imf::Slice(Imf::UINT, base, sizeof(uint32_t), sizeof(uint32_t) * row));
        }
        file.setFrameBuffer(fb);
        file.writePixels(image.height);
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot write '" + path + "': " + e.what());
    }
}

std::vector<unsigned char> read_png_rgba(const std::string& path, int* width, int* height) {
    // The stored bytes as they are: no gamma or colour conversion.
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot read " + path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char>* rgba = new std::vector<unsigned char>();
    std::vector<png_bytep>* rows = new std::vector<png_bytep>();
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        delete rgba;
        delete rows;
        throw std::runtime_error("cannot read " + path);
    }
    png_init_io(png, f);
    png_read_info(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB_ALPHA || png_get_bit_depth(png, info) != 8) {
        png_error(png, "not 8-bit RGBA");
    }
    *width = static_cast<int>(png_get_image_width(png, info));
    *height = static_cast<int>(png_get_image_height(png, info));
    rgba->resize(static_cast<size_t>(*width) * static_cast<size_t>(*height) * 4);
    for (int y = 0; y < *height; ++y)
        rows->push_back(rgba->data() + static_cast<size_t>(y) * static_cast<size_t>(*width) * 4);
    png_read_image(png, rows->data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    std::vector<unsigned char> out = std::move(*rgba);
    delete rgba;
    delete rows;
    return out;
}

namespace {

// libpng's reader into `out`, in a function of its own with no C++ objects
// whose destructors a longjmp would skip. False on error.
bool decode_png(FILE* f, PngCodes* out, std::vector<unsigned char>* bytes, std::vector<png_bytep>* rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    const int bits = png_get_bit_depth(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB_ALPHA || (bits != 8 && bits != 16)) {
        png_error(png, "not RGBA of 8 or 16 bits");
    }
    double gamma = 0.0;
    out->space = png_get_gAMA(png, info, &gamma) != 0 && !png_get_valid(png, info, PNG_INFO_sRGB) && gamma == 1.0
                     ? ColorSpace::linear
                     : ColorSpace::srgb;
    out->bits = bits;
    out->width = static_cast<int>(png_get_image_width(png, info));
    out->height = static_cast<int>(png_get_image_height(png, info));
    const size_t row_bytes = static_cast<size_t>(out->width) * 4 * static_cast<size_t>(bits / 8);
    bytes->resize(row_bytes * static_cast<size_t>(out->height));
    for (int y = 0; y < out->height; ++y) rows->push_back(bytes->data() + static_cast<size_t>(y) * row_bytes);
    png_read_image(png, rows->data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

PngCodes read_png(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    PngCodes out;
    std::vector<unsigned char> bytes;
    std::vector<png_bytep> rows;
    const bool ok = decode_png(f, &out, &bytes, &rows);
    std::fclose(f);
    if (!ok) throw std::runtime_error("cannot read " + path + " as an RGBA PNG of 8 or 16 bits");
    out.rgba.resize(bytes.size() / static_cast<size_t>(out.bits / 8));
    for (size_t i = 0; i < out.rgba.size(); ++i) {
        out.rgba[i] = out.bits == 16 ? static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]) : bytes[i];
    }
    return out;
}

std::map<std::string, std::string> read_png_text(const std::string& path) {
    std::map<std::string, std::string> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot read " + path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        throw std::runtime_error("cannot read " + path);
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_textp text = nullptr;
    int n = 0;
    png_get_text(png, info, &text, &n);
    for (int i = 0; i < n; ++i) out[text[i].key] = std::string(text[i].text, text[i].text_length);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return out;
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

namespace {

template <class T>
std::vector<T> read_exr_channel(const std::string& path, const std::string& channel, Imf::PixelType type) {
    Imf::InputFile file(path.c_str());
    const auto window = file.header().dataWindow();
    const size_t width = static_cast<size_t>(window.max.x - window.min.x + 1);
    const size_t height = static_cast<size_t>(window.max.y - window.min.y + 1);
    if (file.header().channels().findChannel(channel) == nullptr)
        throw std::runtime_error(path + " has no channel " + channel);
    std::vector<T> values(width * height);
    Imf::FrameBuffer fb;
    fb.insert(channel, Imf::Slice(type, reinterpret_cast<char*>(values.data()), sizeof(T), sizeof(T) * width));
    file.setFrameBuffer(fb);
    file.readPixels(window.min.y, window.max.y);
    return values;
}

}  // namespace

std::vector<float> read_exr_floats(const std::string& path, const std::string& channel) {
    return read_exr_channel<float>(path, channel, Imf::FLOAT);
}

std::vector<uint32_t> read_exr_uints(const std::string& path, const std::string& channel) {
    return read_exr_channel<uint32_t>(path, channel, Imf::UINT);
}

std::map<std::string, std::string> read_exr_text(const std::string& path) {
    std::map<std::string, std::string> out;
    Imf::InputFile file(path.c_str());
    for (auto it = file.header().begin(); it != file.header().end(); ++it) {
        if (const auto* s = dynamic_cast<const Imf::StringAttribute*>(&it.attribute())) out[it.name()] = s->value();
    }
    return out;
}

}  // namespace preview
