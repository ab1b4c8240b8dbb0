// Probes and image comparison; see the header.
#include "tools/preview/probe.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/preview/image_io.h"
#include "tools/preview/look.h"
#include "tools/preview/output.h"

namespace preview {
namespace {

uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}

// "VALUE/0xBITS": the shortest text that reads back to the float, and its bits.
std::string exact(float v) {
    char bits[16];
    std::snprintf(bits, sizeof(bits), "/0x%08x", bits_of(v));
    return shortest_text(v) + bits;
}

tulo::Color shade(const standin::ShaderLibrary& lib, const tulo::CellularTextureParams& params, const Vec3& p) {
    standin::ParameterStore store;
    store.params() = params;
    standin::ShadingRecord record(store);
    record.set_point(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};  // what the preview's renderer starts from
    standin::shade(lib, record, store, &c);
    return c;
}

// An EXR's pixels with straight colour, as the preview encodes PNG from
// them: premultiplied colour (the default, and what a foreign EXR is taken
// to hold) divided by alpha; a pixel with alpha 0 keeps no colour, and
// holds 0 there.
Image straight_exr(const std::string& path, bool* premultiplied) {
    Image image = read_exr(path);
    const auto text = read_exr_text(path);
    const auto alpha = text.find("Alpha");
    *premultiplied = alpha == text.end() || alpha->second.rfind("premultiplied", 0) == 0;
    if (!*premultiplied) return image;
    for (tulo::Color& c : image.pixels) {
        if (c.a != 0.0f) c.r /= c.a, c.g /= c.a, c.b /= c.a;
    }
    return image;
}

const char* space_name(ColorSpace space) { return space == ColorSpace::srgb ? "sRGB" : "linear"; }

std::string size_text(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

bool differ_in_size(int wa, int ha, int wb, int hb, std::string* report) {
    if (wa == wb && ha == hb) return false;
    *report = "the images differ in size: " + size_text(wa, ha) + " and " + size_text(wb, hb) + "\n";
    return true;
}

// Compares two images' PNG codes pixel by pixel; with `mixed` (b is an EXR
// encoded as a is, from straight colour) a pixel whose alpha codes are both
// 0 compares by alpha alone, and `premultiplied` says the EXR held
// premultiplied colour. The report starts with `how`.
bool compare_codes(const PngCodes& a, const PngCodes& b, bool mixed, bool premultiplied, const std::string& how,
                   std::string* report) {
    const uint16_t opaque = a.bits == 16 ? 65535 : 255;
    long long differing = 0, partly_clear = 0;
    int largest = 0, at_x = -1, at_y = -1;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(a.width) + static_cast<size_t>(x)) * 4;
            const bool clear = mixed && a.rgba[i + 3] == 0 && b.rgba[i + 3] == 0;
            bool differs = false;
            for (size_t c = clear ? 3 : 0; c < 4; ++c) {
                const int d = std::abs(static_cast<int>(a.rgba[i + c]) - static_cast<int>(b.rgba[i + c]));
                if (d == 0) continue;
                differs = true;
                if (d > largest) largest = d, at_x = x, at_y = y;
            }
            differing += differs;
            partly_clear += differs && a.rgba[i + 3] != 0 && a.rgba[i + 3] != opaque;
        }
    }
    if (differing == 0) {
        *report = how + "the images are the same (" + size_text(a.width, a.height) + ")\n";
        return true;
    }
    char text[256];
    std::snprintf(text, sizeof(text),
                  "%lld of %lld pixels differ; the largest difference is %d %s, at x %d, y %d (from the top left)\n",
                  differing, static_cast<long long>(a.width) * a.height, largest, largest == 1 ? "code" : "codes", at_x,
                  at_y);
    *report = how + text;
    if (mixed && premultiplied && partly_clear == differing) {
        *report +=
            "every differing pixel is partly transparent: the PNG averages straight colour, the EXR premultiplied "
            "colour (light); an EXR made with --straight-alpha averages as the PNG does\n";
    }
    return false;
}

}  // namespace

std::vector<Vec3> read_points(const std::string& path) {
    std::ifstream file;
    if (path != "-") {
        file.open(path);
        if (!file) throw UsageError("--points: cannot read '" + path + "': " + std::strerror(errno));
    }
    std::istream& in = path == "-" ? std::cin : file;
    const std::string name = path == "-" ? "standard input" : path;
    std::vector<Vec3> points;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        for (char& c : line) {
            if (c == ',' || c == '\t' || c == '\r') c = ' ';
        }
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string w; words >> w;) parts.push_back(w);
        if (parts.empty()) continue;
        double v[3];
        bool ok = parts.size() == 3;
        for (size_t k = 0; ok && k < 3; ++k) {
            char* end = nullptr;
            v[k] = std::strtod(parts[k].c_str(), &end);
            ok = end != parts[k].c_str() && *end == '\0';
        }
        if (!ok) throw UsageError(name + ":" + std::to_string(number) + ": expected a point X,Y,Z, got '" + line + "'");
        points.push_back({v[0], v[1], v[2]});
    }
    return points;
}

std::string probe_lines(const Options& o, const standin::ShaderLibrary& lib, const std::vector<Vec3>& points) {
    tulo::CellularTextureParams value_params = o.params;  // white over black: r is t itself
    value_params.color1 = {1.0f, 1.0f, 1.0f, 1.0f};
    value_params.color2 = {0.0f, 0.0f, 0.0f, 1.0f};
    std::string out = "# x y z t r g b a: each value/0xFLOATBITS, through the plugin's entry point\n";
    for (const Vec3& p : points) {
        const tulo::Color c = shade(lib, o.params, p);
        const float t = shade(lib, value_params, p).r;
        const float x = static_cast<float>(p.x), y = static_cast<float>(p.y), z = static_cast<float>(p.z);
        out += exact(x) + " " + exact(y) + " " + exact(z) + " t " + exact(t) + " r " + exact(c.r) + " g " + exact(c.g) +
               " b " + exact(c.b) + " a " + exact(c.a) + "\n";
    }
    return out;
}

bool compare_images(const std::string& a, const std::string& b, std::string* report) {
    const Format fa = format_of(a), fb = format_of(b);
    if (fa == Format::png && fb == Format::png) {
        const PngCodes pa = read_png(a), pb = read_png(b);
        if (differ_in_size(pa.width, pa.height, pb.width, pb.height, report)) return false;
        if (pa.bits != pb.bits || pa.space != pb.space) {
            throw UsageError("cannot compare a PNG of " + std::to_string(pa.bits) + " bits, " + space_name(pa.space) +
                             ", with one of " + std::to_string(pb.bits) + " bits, " + space_name(pb.space) +
                             ", code for code: compare each with the EXR of the same render");
        }
        return compare_codes(pa, pb, false, false, "", report);
    }
    if (fa != fb) {
        // One space: the EXR encoded as the preview encodes the PNG (its
        // encoding and depth, straight alpha), so that a difference is one
        // beyond the PNG's own step.
        const std::string& png_path = fa == Format::png ? a : b;
        const std::string& exr_path = fa == Format::png ? b : a;
        const PngCodes png = read_png(png_path);
        bool premultiplied = false;
        const Image exr = straight_exr(exr_path, &premultiplied);
        const bool png_first = fa == Format::png;
        if (png_first ? differ_in_size(png.width, png.height, exr.width, exr.height, report)
                      : differ_in_size(exr.width, exr.height, png.width, png.height, report)) {
            return false;
        }
        PngCodes encoded = png;
        encoded.rgba = png_codes(exr, png.space, png.bits);
        const std::string how = "compared as " + std::to_string(png.bits) + "-bit " + space_name(png.space) +
                                " PNG codes (the EXR encoded as the PNG is; transparent pixels by alpha alone): ";
        return compare_codes(png, encoded, true, premultiplied, how, report);
    }
    const Image ia = read_exr(a), ib = read_exr(b);
    if (differ_in_size(ia.width, ia.height, ib.width, ib.height, report)) return false;
    long long differing = 0;
    double largest = 0.0;
    int at_x = -1, at_y = -1;
    for (int y = 0; y < ia.height; ++y) {
        for (int x = 0; x < ia.width; ++x) {
            const float* pa = &ia.at(x, y).r;
            const float* pb = &ib.at(x, y).r;
            bool differs = false;
            for (int c = 0; c < 4; ++c) {
                if (bits_of(pa[c]) == bits_of(pb[c])) continue;
                differs = true;
                // NaN against a number, or +0 against -0, counts as a difference.
                const double d = std::isnan(pa[c]) != std::isnan(pb[c]) ? HUGE_VAL
                                 : std::isnan(pa[c])                    ? 0.0
                                                                        : std::fabs(static_cast<double>(pa[c]) - pb[c]);
                if (d > largest || at_x < 0) largest = d, at_x = x, at_y = y;
            }
            differing += differs;
        }
    }
    if (differing == 0) {
        *report = "the images are the same (" + std::to_string(ia.width) + "x" + std::to_string(ia.height) + ")\n";
        return true;
    }
    char text[256];
    std::snprintf(text, sizeof(text),
                  "%lld of %lld pixels differ; the largest difference is %.9g, at x %d, y %d (from the top left)\n",
                  differing, static_cast<long long>(ia.width) * ia.height, largest, at_x, at_y);
    *report = text;
    return false;
}

}  // namespace preview
