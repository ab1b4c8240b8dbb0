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

// The image at `path` as float RGBA; 8-bit PNG channels as 0..255.
Image load(const std::string& path) {
    if (format_of(path) == Format::exr) return read_exr(path);
    Image image;
    const std::vector<unsigned char> rgba = read_png_rgba(path, &image.width, &image.height);
    image.pixels.resize(rgba.size() / 4);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        image.pixels[i] = {static_cast<float>(rgba[4 * i]), static_cast<float>(rgba[4 * i + 1]),
                           static_cast<float>(rgba[4 * i + 2]), static_cast<float>(rgba[4 * i + 3])};
    }
    return image;
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
    const Image ia = load(a), ib = load(b);
    if (ia.width != ib.width || ia.height != ib.height) {
        *report = "the images differ in size: " + std::to_string(ia.width) + "x" + std::to_string(ia.height) + " and " +
                  std::to_string(ib.width) + "x" + std::to_string(ib.height) + "\n";
        return false;
    }
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
                                 : std::isnan(pa[c])                     ? 0.0
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
    std::snprintf(text, sizeof(text), "%lld of %lld pixels differ; the largest difference is %.9g, at x %d, y %d (from the top left)\n",
                  differing, static_cast<long long>(ia.width) * ia.height, largest, at_x, at_y);
    *report = text;
    return false;
}

}  // namespace preview
