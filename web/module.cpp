// The playground's WebAssembly module: the cellular texture as the preview
// renders it, for the page's Web Workers (web/js/).
//
// Contract
// - The page writes the look and the view into the settings block (doubles,
//   in the order of enum Setting; web/js/module.js holds the same list) and
//   then asks for rows of the frame, for a probe or for the texture at given
//   points. Values are taken as cellular-preview takes its options: the
//   shader's parameters rounded to float, the view kept in double.
// - Colour and the value t: the preview's pixels, byte for byte. Each
//   sample's point is formed as the preview forms it, the texture comes from
//   the library's texture for arrays (the plugin's bits for every sample),
//   samples are lit and averaged as the preview does, and the 8-bit bytes
//   come from the preview's own encoding (tools/preview/pixel_encoding.cpp,
//   compiled in). Metrics 4 and 5 call this C library's powf, not glibc's:
//   see the README for how often that changes a byte.
// - Basis passes: F1, F2, F2 - F1 and the cell id at each pixel's centre,
//   from cellular_basis (as --pass computes them), drawn by the preview's
//   rule once the whole frame is known (tulo_playground_pass_picture).
// - Results live in buffers of the module, valid until the next call.
//   Calls return null (or an empty text) for settings the preview refuses.
//
// One instance runs on one thread: the page starts one instance per Web
// Worker and never shares one. The library is called with one thread, so
// its pool never starts a thread.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cellular/cellular_basis.h"
#include "cellular/cellular_batch.h"
#include "shader/texture_batch.h"
#include "tools/preview/options.h"  // the preview's limits and views
#include "tools/preview/view.h"
#include "tools/preview/pixel_encoding.h"

#if defined(__EMSCRIPTEN_PTHREADS__)
#    error "the playground's module is built without threads: each Web Worker runs an instance of its own"
#endif

namespace {

using tulo::Color;
using tulo::Vector3;

// Threads of one call into the library: the instance's own.
constexpr int32_t kThreadsPerInstance = 1;

// The preview renderer's colours (tools/preview/render.cpp) that show in
// the pixels.
constexpr Color kSphereBackground{0.05f, 0.05f, 0.05f, 0.0f};  // behind the sphere
constexpr Color kSheetBackground{0.02f, 0.02f, 0.02f, 1.0f};   // beside a pass's sphere

enum Setting : int {
    kMetric,
    kWeightX,
    kWeightY,
    kWeightZ,
    kOctaves,
    kGain,
    kColor1R,
    kColor1G,
    kColor1B,
    kColor1A,
    kColor2R,
    kColor2G,
    kColor2B,
    kColor2A,
    kWidth,
    kHeight,
    kCenterX,
    kCenterY,
    kScale,
    kDepth,
    kView,  // 0 slice, 1 sphere
    kNormalX,
    kNormalY,
    kNormalZ,
    kUpX,
    kUpY,
    kUpZ,
    kOriented,    // 1 when a normal or an up direction was given (the preview's --normal, --up)
    kSamples,     // per pixel, a square number
    kShow,        // enum Show
    kColorSpace,  // 0 sRGB, 1 linear
    kSettingCount
};

enum Show : int { kShowColor, kShowValue, kShowF1, kShowF2, kShowF2MinusF1, kShowId };

double settings[kSettingCount];

using preview::Vec3;

// The settings as the preview's renderer sees them.
struct Frame {
    tulo::CellularTextureParams params;
    preview::ColorSpace space;
    Show show;
    int width, height, k;  // k x k samples a pixel
    // The view as the preview takes it, its slice's axes and its one cell:
    // the preview's own code places the samples (tools/preview/view.h).
    preview::Options view;
    preview::Frame axes;
    preview::Cell cell;
};

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float f(Setting s) { return static_cast<float>(settings[s]); }

// False when the preview would refuse the settings.
bool read_frame(Frame* fr) {
    const double w = settings[kWidth], h = settings[kHeight], n = settings[kSamples];
    const double metric = settings[kMetric], octaves = settings[kOctaves], show = settings[kShow];
    if (!(w >= 1 && w <= preview::kMaxImageSide && h >= 1 && h <= preview::kMaxImageSide && w == std::floor(w) &&
          h == std::floor(h))) {
        return false;
    }
    if (!(n >= 1 && n <= preview::kMaxSamples && n == std::floor(n))) return false;
    const int k = static_cast<int>(std::lround(std::sqrt(n)));
    if (k * k != static_cast<int>(n)) return false;
    if (!(metric >= INT32_MIN && metric <= INT32_MAX && metric == std::floor(metric))) return false;
    if (!(octaves >= INT32_MIN && octaves <= INT32_MAX && octaves == std::floor(octaves))) return false;
    if (!(show >= kShowColor && show <= kShowId && show == std::floor(show))) return false;
    if (!(settings[kScale] > 0.0) || std::isinf(settings[kScale])) return false;
    fr->width = static_cast<int>(w), fr->height = static_cast<int>(h), fr->k = k;
    fr->show = static_cast<Show>(static_cast<int>(show));
    tulo::CellularTextureParams& p = fr->params;
    p.metric = static_cast<int32_t>(metric);
    p.weights = {f(kWeightX), f(kWeightY), f(kWeightZ)};
    p.octaves = static_cast<int32_t>(octaves);
    p.gain = f(kGain);
    p.color1 = {f(kColor1R), f(kColor1G), f(kColor1B), f(kColor1A)};
    p.color2 = {f(kColor2R), f(kColor2G), f(kColor2B), f(kColor2A)};
    fr->space = settings[kColorSpace] == 1.0 ? preview::ColorSpace::linear : preview::ColorSpace::srgb;
    if (fr->show == kShowValue) {
        // The value itself, as --raw: white over black, written linear.
        p.color1 = {1.0f, 1.0f, 1.0f, 1.0f};
        p.color2 = {0.0f, 0.0f, 0.0f, 1.0f};
        fr->space = preview::ColorSpace::linear;
    }
    preview::Options& v = fr->view;
    v.view = settings[kView] == 1.0 ? preview::View::sphere : preview::View::slice;
    v.oriented = settings[kOriented] == 1.0;
    v.center_x = settings[kCenterX], v.center_y = settings[kCenterY];
    v.scale = settings[kScale], v.depth = settings[kDepth];
    v.normal = {settings[kNormalX], settings[kNormalY], settings[kNormalZ]};
    v.up = {settings[kUpX], settings[kUpY], settings[kUpZ]};
    if (v.oriented) {
        // As the preview refuses: a sphere oriented, a non-finite or a zero
        // vector, an up parallel to the normal.
        if (v.view == preview::View::sphere) return false;
        const Vec3 nv = v.normal, uv = v.up;
        for (double c : {nv.x, nv.y, nv.z, uv.x, uv.y, uv.z}) {
            if (!std::isfinite(c)) return false;
        }
        const Vec3 c = cross(uv, nv);
        const double size =
            std::sqrt((nv.x * nv.x + nv.y * nv.y + nv.z * nv.z) * (uv.x * uv.x + uv.y * uv.y + uv.z * uv.z));
        if (!(std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z) > 1e-9 * size)) return false;  // parallel, or a zero vector
    }
    fr->axes = preview::slice_frame(v);
    fr->cell.width = fr->width, fr->cell.height = fr->height;
    return true;
}

// The point seen at (fx, fy) in [0, width) x [0, height) of the frame, on
// the slice or on the sphere with its lighting; false off the sphere: the
// preview's own arithmetic.
bool point_at(const Frame& fr, double fx, double fy, float* x, float* y, float* z, double* light) {
    return preview::point_at(fr.view, fr.axes, fr.cell, fx, fy, x, y, z, light);
}

// The plugin's colours at `count` points: alpha 1 (what the preview's
// renderer starts from) unless the gain cuts the sample.
void shade(const tulo::CellularTextureParams& params, const Vector3* points, std::size_t count, Color* out) {
    std::fill(out, out + count, Color{0.0f, 0.0f, 0.0f, 1.0f});
    tulo::BatchOptions options;
    options.threads = kThreadsPerInstance;
    tulo::texture_batch(params, points, count, out, options);
}

// The module's buffers, grown as needed and kept.
std::vector<Vector3> points;
std::vector<int32_t> slots;  // per sample: its index in points, or -1 off the sphere
std::vector<double> lights;  // per point
std::vector<Color> colours;
std::vector<Color> pixels;
std::vector<unsigned char> bytes;
std::vector<unsigned char> input;
char text[512];
uint32_t nan_samples = 0;  // NaN colours of the last render_pixels

// Fills `pixels` with rows [y0, y1) of the frame as linear float RGBA,
// straight alpha: each pixel the mean of its k x k samples, lit on the
// sphere, summed in double in the preview's order (--straight-alpha EXR).
// False for settings the preview refuses, or a pass.
bool render_pixels(Frame* frame, int32_t y0, int32_t y1) {
    Frame& fr = *frame;
    if (!read_frame(&fr) || fr.show > kShowValue || !(0 <= y0 && y0 < y1 && y1 <= fr.height)) return false;
    const std::size_t per_pixel = static_cast<std::size_t>(fr.k) * static_cast<std::size_t>(fr.k);
    const std::size_t n_pixels = static_cast<std::size_t>(fr.width) * static_cast<std::size_t>(y1 - y0);
    points.clear(), lights.clear();
    slots.resize(n_pixels * per_pixel);
    std::size_t s = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = 0; x < fr.width; ++x) {
            for (int sy = 0; sy < fr.k; ++sy) {
                for (int sx = 0; sx < fr.k; ++sx) {
                    float px, py, pz;
                    double light;
                    if (point_at(fr, x + (sx + 0.5) / fr.k, y + (sy + 0.5) / fr.k, &px, &py, &pz, &light)) {
                        slots[s++] = static_cast<int32_t>(points.size());
                        points.push_back({px, py, pz});
                        lights.push_back(light);
                    } else {
                        slots[s++] = -1;
                    }
                }
            }
        }
    }
    colours.resize(points.size());
    shade(fr.params, points.data(), points.size(), colours.data());
    nan_samples = 0;
    for (const Color& c : colours) nan_samples += std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b);
    pixels.resize(n_pixels);
    const double n = static_cast<double>(per_pixel);
    for (std::size_t i = 0; i < n_pixels; ++i) {
        double sum[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t j = 0; j < per_pixel; ++j) {
            const int32_t slot = slots[i * per_pixel + j];
            Color c = kSphereBackground;
            if (slot >= 0) {
                c = colours[static_cast<std::size_t>(slot)];
                const double light = lights[static_cast<std::size_t>(slot)];
                if (light != 1.0) {
                    c.r *= static_cast<float>(light);
                    c.g *= static_cast<float>(light);
                    c.b *= static_cast<float>(light);
                }
            }
            sum[0] += c.r, sum[1] += c.g, sum[2] += c.b, sum[3] += c.a;
        }
        pixels[i] = {static_cast<float>(sum[0] / n), static_cast<float>(sum[1] / n), static_cast<float>(sum[2] / n),
                     static_cast<float>(sum[3] / n)};
    }
    return true;
}

}  // namespace

extern "C" {

// The settings block: kSettingCount doubles.
double* tulo_playground_settings() { return settings; }
int32_t tulo_playground_setting_count() { return kSettingCount; }

// The search kernel in use ("portable", in WebAssembly SIMD).
const char* tulo_playground_kernel() { return tulo::cellular_kernel_name(); }

// A buffer of at least `size` bytes for the page's input (pass values,
// points); valid until the next call of this function.
unsigned char* tulo_playground_input(uint32_t size) {
    if (input.size() < size) input.resize(size);
    return input.data();
}

// Rows [y0, y1) of the frame, colour or the value t, as linear float RGBA
// (width * (y1 - y0) pixels): the pixels tulo_playground_rows encodes.
const float* tulo_playground_pixels(int32_t y0, int32_t y1) {
    Frame fr;
    return render_pixels(&fr, y0, y1) ? &pixels.data()->r : nullptr;
}

// Rows [y0, y1) of the frame, colour or the value t, as 8-bit straight
// RGBA (width * (y1 - y0) * 4 bytes).
const unsigned char* tulo_playground_rows(int32_t y0, int32_t y1) {
    Frame fr;
    if (!render_pixels(&fr, y0, y1)) return nullptr;
    bytes.resize(pixels.size() * 4);
    preview::encode_rgba8(pixels.data(), pixels.size(), fr.space, bytes.data());
    return bytes.data();
}

// Samples of the last tulo_playground_rows whose colour is NaN (drawn
// magenta), for the page's note.
uint32_t tulo_playground_nan_samples() { return nan_samples; }

// Rows [y0, y1) of a basis pass: for n = width * (y1 - y0) pixels, n floats
// F1, then n floats F2, then n 32-bit ids; off the sphere F1 and F2 NaN and
// the id 0.
const unsigned char* tulo_playground_pass_rows(int32_t y0, int32_t y1) {
    Frame fr;
    if (!read_frame(&fr) || fr.show < kShowF1 || !(0 <= y0 && y0 < y1 && y1 <= fr.height)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(fr.width) * static_cast<std::size_t>(y1 - y0);
    bytes.resize(n * 12);
    // The metric and weights as the shader resolves them.
    const tulo::CellularTextureParams& p = fr.params;
    const tulo::DistType* metric = &tulo::metric_by_number(std::min(5, std::max(1, p.metric)));
    Vector3 weights = p.weights;
    if (weights.x == 0.0f && weights.y == 0.0f && weights.z == 0.0f) weights = {1.0f, 1.0f, 1.0f};
    std::size_t i = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = 0; x < fr.width; ++x, ++i) {
            float px, py, pz, F[2] = {std::nanf(""), std::nanf("")};
            double light;
            Vector3 delta[2];
            uint32_t id[2] = {0, 0};
            if (point_at(fr, x + 0.5, y + 0.5, &px, &py, &pz, &light)) {
                tulo::cellular_basis(metric, &weights, px, py, pz, 2, F, delta, id);
            }
            std::memcpy(&bytes[4 * i], &F[0], 4);
            std::memcpy(&bytes[4 * (n + i)], &F[1], 4);
            std::memcpy(&bytes[4 * (2 * n + i)], &id[0], 4);
        }
    }
    return bytes.data();
}

// The whole frame's pass (width * height pixels laid out as
// tulo_playground_pass_rows gives them, in tulo_playground_input) as 8-bit
// RGBA: F1, F2, F2 - F1 grey from 0 to the frame's largest value, an id a
// flat random colour, written linear; the preview's --pass picture without
// its legend.
const unsigned char* tulo_playground_pass_picture() {
    Frame fr;
    if (!read_frame(&fr) || fr.show < kShowF1) return nullptr;
    const std::size_t n = static_cast<std::size_t>(fr.width) * static_cast<std::size_t>(fr.height);
    if (input.size() < n * 12) return nullptr;
    const float* f1 = reinterpret_cast<const float*>(input.data());
    const float* f2 = f1 + n;
    const uint32_t* id = reinterpret_cast<const uint32_t*>(f2 + n);
    auto scalar = [&](std::size_t i) {
        return fr.show == kShowF1 ? f1[i] : fr.show == kShowF2 ? f2[i] : f2[i] - f1[i];
    };
    double top = 0.0;
    for (std::size_t i = 0; i < n && fr.show != kShowId; ++i) {
        if (std::isfinite(scalar(i))) top = std::max(top, static_cast<double>(scalar(i)));
    }
    const float scale = top > 0.0 ? static_cast<float>(1.0 / top) : 1.0f;
    pixels.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        Color& c = pixels[i];
        c = kSheetBackground;
        if (std::isnan(f1[i]) && id[i] == 0) continue;  // off the sphere
        if (fr.show == kShowId) {
            // A flat random colour per cell: the id's bits mixed (a 32-bit finaliser).
            uint32_t h = id[i];
            h ^= h >> 16, h *= 0x7feb352du, h ^= h >> 15, h *= 0x846ca68bu, h ^= h >> 16;
            c = {static_cast<float>(h & 0xFFu) / 255.0f, static_cast<float>((h >> 8) & 0xFFu) / 255.0f,
                 static_cast<float>((h >> 16) & 0xFFu) / 255.0f, 1.0f};
        } else {
            const float g = scalar(i) * scale;
            c = {g, g, g, 1.0f};
        }
    }
    bytes.resize(n * 4);
    preview::encode_rgba8(pixels.data(), n, preview::ColorSpace::linear, bytes.data());
    return bytes.data();
}

// The probe of the frame's point at (fx, fy) in pixels from the top left
// (a pixel's centre is x + 0.5): the line cellular-preview --probe prints
// for that point, "X/0xBITS Y/.. Z/.. t T/.. r R/.. g G/.. b B/.. a A/..";
// empty off the sphere or for refused settings.
const char* tulo_playground_probe(double fx, double fy) {
    text[0] = '\0';
    Frame fr;
    float px, py, pz;
    double light;
    if (!read_frame(&fr) || !point_at(fr, fx, fy, &px, &py, &pz, &light)) return text;
    tulo::CellularTextureParams value_params = fr.params;  // white over black: r is t itself
    value_params.color1 = {1.0f, 1.0f, 1.0f, 1.0f};
    value_params.color2 = {0.0f, 0.0f, 0.0f, 1.0f};
    const Vector3 at{px, py, pz};
    Color c, t;
    shade(fr.params, &at, 1, &c);
    shade(value_params, &at, 1, &t);
    // "VALUE/0xBITS": the shortest text that reads back to the float, and its bits.
    auto exact = [](float v, char* out, std::size_t size) {
        char number[32];
        for (int digits = 1; digits <= 9; ++digits) {
            std::snprintf(number, sizeof(number), "%.*g", digits, static_cast<double>(v));
            if (std::strtof(number, nullptr) == v || v != v) break;
        }
        uint32_t u;
        std::memcpy(&u, &v, sizeof(u));
        std::snprintf(out, size, "%s/0x%08x", number, static_cast<unsigned>(u));
    };
    char parts[8][48];
    const float values[8] = {px, py, pz, t.r, c.r, c.g, c.b, c.a};
    for (int i = 0; i < 8; ++i) exact(values[i], parts[i], sizeof(parts[i]));
    std::snprintf(text, sizeof(text), "%s %s %s t %s r %s g %s b %s a %s", parts[0], parts[1], parts[2], parts[3],
                  parts[4], parts[5], parts[6], parts[7]);
    return text;
}

// The plugin's colours (r, g, b, a floats) at `count` points (x, y, z floats
// in tulo_playground_input) for the settings' look; alpha 1 unless cut.
const float* tulo_playground_shade(uint32_t count) {
    Frame fr;
    if (!read_frame(&fr) || input.size() < static_cast<std::size_t>(count) * sizeof(Vector3)) return nullptr;
    points.resize(count);
    std::memcpy(points.data(), input.data(), static_cast<std::size_t>(count) * sizeof(Vector3));
    colours.resize(count);
    shade(fr.params, points.data(), count, colours.data());
    return &colours.data()->r;
}

}  // extern "C"
