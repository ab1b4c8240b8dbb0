// Layout and tiled rendering of previews.
#include "tools/preview/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#include "cellular/cellular_basis.h"
#include "shader/shading.h"
#include "tools/preview/font.h"
#include "tools/preview/output.h"

namespace preview {
namespace {

// Square tiles handed to worker threads.
constexpr int kTile = 32;
// Text: a line of glyphs and its spacing; the gap between sheet cells.
constexpr int kLine = kGlyphHeight + 3;
constexpr int kGap = 4;
// A ramp's tick row: the tick mark, then a line of values.
constexpr int kTickLength = 4;
constexpr int kTickRow = kTickLength + 1 + kLine;
// Sheet background and label colour (linear).
constexpr tulo::Color kSheetBackground{0.02f, 0.02f, 0.02f, 1.0f};
constexpr tulo::Color kLabelColor{0.8f, 0.8f, 0.8f, 1.0f};
// Behind the sphere.
constexpr tulo::Color kSphereBackground{0.05f, 0.05f, 0.05f, 0.0f};
// A sweep sheet wraps into rows of this many cells.
constexpr int kSweepColumns = 8;
// A single view's legend needs room for this many characters a line.
constexpr int kMinLegendChars = 16;

const char* const kMetricNames[] = {"EUCLIDIAN", "MANHATTAN", "CHESSBOARD", "MINKOWSKI", "SUPERQUADRATIC"};

// Weights that bring out each metric's character on the metrics sheet when
// the user gives none: unit factors for the first three; Minkowski measures
// d - w, so a small offset shows its rounded stars rather than cells around
// a point one unit away; Superquadratic with unit exponents would repeat
// Manhattan, so exponents 1/2 show its pinched diamonds.
const tulo::Vector3 kShowcaseWeights[5] = {
    {1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}, {0.01f, 0.01f, 0.01f}, {0.5f, 0.5f, 0.5f}};

int text_width(const std::string& text) { return static_cast<int>(text.size()) * kGlyphAdvance; }

// Joins a key to its value in label text: a space at which wrap() breaks a
// line only when the pair does not fit on a line of its own.
constexpr char kGlue = '\x1f';

std::string pair(const std::string& key, const std::string& value) { return key + kGlue + value; }

// Text into lines no wider than `width` pixels, broken at spaces; a key and
// its value (joined by kGlue) stay on one line when they fit on one; a
// word too long for a line is broken across lines with a hyphen, never cut.
std::vector<std::string> wrap(const std::string& text, int width) {
    const size_t per_line = static_cast<size_t>(std::max(1, width / kGlyphAdvance));
    // The units to place: glued pairs that fit a line stay whole.
    std::vector<std::string> units;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        std::string unit = text.substr(at, end - at);
        at = end + 1;
        if (unit.empty()) continue;
        if (unit.size() <= per_line) {
            std::replace(unit.begin(), unit.end(), kGlue, ' ');
            units.push_back(unit);
            continue;
        }
        size_t from = 0;  // too long: its words one by one
        for (size_t glue = unit.find(kGlue); from <= unit.size(); glue = unit.find(kGlue, from)) {
            if (glue == std::string::npos) glue = unit.size();
            if (glue > from) units.push_back(unit.substr(from, glue - from));
            from = glue + 1;
        }
    }
    std::vector<std::string> lines;
    std::string line;
    for (std::string word : units) {
        while (!word.empty()) {
            const size_t room = line.empty() ? per_line : (line.size() + 1 < per_line ? per_line - line.size() - 1 : 0);
            if (word.size() <= room) {
                line += (line.empty() ? "" : " ") + word;
                word.clear();
            } else if (line.empty()) {
                // Longer than a line: broken with a hyphen where there is room for one.
                const size_t take = per_line >= 4 ? per_line - 1 : per_line;
                lines.push_back(word.substr(0, take) + (take < per_line ? "-" : ""));
                word = word.substr(take);
            } else {
                lines.push_back(line);
                line.clear();
            }
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// Whether a parameter takes whole numbers (ramped values are rounded).
bool whole_number(standin::Param p) { return p == standin::Param::metric || p == standin::Param::octaves; }

// Whether the options make `param` connected.
bool ramped(const Options& o, standin::Param param) {
    return std::any_of(o.ramps.begin(), o.ramps.end(), [&](const Ramp& r) { return r.param == param; });
}

std::string color_text(const tulo::Color& c) {
    return format_value(c.r) + "," + format_value(c.g) + "," + format_value(c.b) + "," + format_value(c.a);
}

std::string vector_text(const tulo::Vector3& v) { return format_value(v.x) + "," + format_value(v.y) + "," + format_value(v.z); }

// Writes the value of `param` at position u in [0, 1] of from..to into the
// parameter's own representation at `out`.
void ramp_value(standin::Param param, const std::vector<double>& from, const std::vector<double>& to, double u,
                void* out) {
    const size_t n = from.size();
    double v[4] = {};
    for (size_t i = 0; i < n; ++i) v[i] = from[i] + (to[i] - from[i]) * u;
    if (whole_number(param)) {
        const double r = std::round(v[0]);
        const int32_t iv = r >= 2147483647.0 ? INT32_MAX : r <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(r);
        std::memcpy(out, &iv, sizeof(iv));
        return;
    }
    float f[4];
    for (size_t i = 0; i < n; ++i) f[i] = static_cast<float>(v[i]);
    std::memcpy(out, f, n * sizeof(float));
}

// The text of the value of `param` at position u of from..to, as ticks and
// sweep labels show it: colours without their alpha.
std::string value_text(standin::Param param, const std::vector<double>& from, const std::vector<double>& to, double u) {
    const size_t n = from.size() == 4 ? 3 : from.size();
    std::string s;
    for (size_t k = 0; k < n; ++k) {
        double v = from[k] + (to[k] - from[k]) * u;
        if (whole_number(param)) v = std::round(v);
        s += (k ? "," : "") + format_value(v);
    }
    return s;
}

std::string ramp_text(const Ramp& r, double u) { return value_text(r.param, r.from, r.to, u); }

// The stand-in renderer's answer for ramped parameters: the ramp's value at
// the sample being shaded, in one scratch buffer reused for every answer.
class RampConnections final : public standin::Connections {
public:
    explicit RampConnections(const std::vector<Ramp>& ramps) : ramps_(ramps) {}
    double u = 0.0;  // horizontal position of the current sample in its cell

    const void* evaluate(const standin::ShadingRecord&, standin::Param param) override {
        for (const Ramp& r : ramps_) {
            if (r.param == param) {
                ramp_value(param, r.from, r.to, u, scratch_);
                return scratch_;
            }
        }
        return nullptr;  // not ramped: the stored value stands
    }

private:
    const std::vector<Ramp>& ramps_;
    alignas(16) unsigned char scratch_[16] = {};
};

std::unique_ptr<standin::ParameterStore> make_store(const Options& o, const tulo::CellularTextureParams& params) {
    auto store = std::make_unique<standin::ParameterStore>(o.ramps.empty() ? 0 : 64);
    store->params() = params;
    for (const Ramp& r : o.ramps) store->connect(r.param);
    return store;
}

// Tick rows of the ramps below a cell at (x0, y): as many ticks (5, 3 or 2)
// as leave every value readable, or a notice when not even the two ends fit.
void place_ticks(const Options& o, int x0, int y, int width, Layout* layout) {
    for (const Ramp& r : o.ramps) {
        bool placed = false;
        for (int n : {5, 3, 2}) {
            std::vector<Caption> captions;
            std::vector<Tick> ticks;
            int right_edge = x0 - kGlyphAdvance;  // end of the previous value
            bool fits = true;
            for (int k = 0; k < n; ++k) {
                const double u = static_cast<double>(k) / (n - 1);
                const int tx = x0 + std::min(width - 1, static_cast<int>(std::lround(u * width)));
                std::string text = ramp_text(r, u);
                if (k == 0) text = std::string(param_name(r.param)) + " " + text;
                const int w = text_width(text);
                int cx = k == 0 ? x0 : k == n - 1 ? x0 + width - w : tx - w / 2;
                if (cx < right_edge + kGlyphAdvance || cx + w > x0 + width || cx < x0) fits = false;
                right_edge = cx + w;
                captions.push_back({cx, y + kTickLength + 1, text});
                ticks.push_back({tx, y, y + kTickLength});
            }
            if (!fits) continue;
            layout->captions.insert(layout->captions.end(), captions.begin(), captions.end());
            layout->ticks.insert(layout->ticks.end(), ticks.begin(), ticks.end());
            placed = true;
            break;
        }
        if (!placed) {
            layout->notices.push_back(std::string("the ramp of ") + param_name(r.param) + " is " + ramp_text(r, 0.0) +
                                      " at the left edge and " + ramp_text(r, 1.0) +
                                      " at the right; its values do not fit below a view " + std::to_string(width) +
                                      " pixels wide");
        }
        y += kTickRow;
    }
}

struct Tile {
    int cell, x0, y0, x1, y1;  // pixel range within the cell
};

std::vector<Tile> make_tiles(const Layout& layout) {
    std::vector<Tile> tiles;
    for (size_t c = 0; c < layout.cells.size(); ++c) {
        const Cell& cell = layout.cells[c];
        for (int y = 0; y < cell.height; y += kTile)
            for (int x = 0; x < cell.width; x += kTile)
                tiles.push_back({static_cast<int>(c), x, y, std::min(x + kTile, cell.width), std::min(y + kTile, cell.height)});
    }
    return tiles;
}

Vec3 normalised(const Vec3& v) {
    const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / n, v.y / n, v.z / n};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The slice's axes in space: right and up in the image.
struct Frame {
    Vec3 right, up;
};

Frame slice_frame(const Options& o) {
    const Vec3 n = normalised(o.normal);
    const Vec3 right = normalised(cross(o.up, n));
    return {right, cross(n, right)};
}

// Squares of the --background checkerboard: side in pixels and the two
// linear greys.
constexpr int kCheckerSide = 8;
constexpr float kCheckerDark = 0.2f, kCheckerLight = 0.5f;

tulo::Color background_at(const Options& o, int x, int y) {
    if (o.background == Options::Background::color) return o.background_color;
    const float g = ((x / kCheckerSide + y / kCheckerSide) & 1) != 0 ? kCheckerLight : kCheckerDark;
    return {g, g, g, 1.0f};
}

// A premultiplied pixel over an opaque background.
tulo::Color flatten(const tulo::Color& p, const tulo::Color& under) {
    const float rest = 1.0f - p.a;
    return {p.r + under.r * rest, p.g + under.g * rest, p.b + under.b * rest, 1.0f};
}

// Whether a sample point leaves the lattice at some octave up to `octaves`:
// its scaled coordinate (the point doubled per octave, times the density
// scale, in single precision as the shader does) is not a number or its
// cube lies outside the signed 32-bit range.
bool beyond_lattice(float x, float y, float z, int octaves) {
    for (int i = 0; i <= octaves; ++i) {
        for (float c : {x, y, z}) {
            const float floor = std::floor(c * tulo::DENSITY_SCALE);
            if (!(floor >= -2147483648.0f && floor < 2147483648.0f)) return true;
        }
        x *= 2.0f, y *= 2.0f, z *= 2.0f;
    }
    return false;
}

// The point seen at (fx, fy) in [0, w) x [0, h) of a cell: on the slice,
// or on the sphere's surface with its lighting; false off the sphere.
bool point_at(const Options& o, const Frame& frame, const Cell& cell, double fx, double fy, float* out_x, float* out_y,
              float* out_z, double* out_light) {
    const double w = cell.width, h = cell.height;
    const double ox = (fx / w - 0.5) * o.scale;
    const double oy = (0.5 - fy / h) * o.scale * h / w;
    float px, py, pz;
    double light = 1.0;
    if (o.view == View::slice) {
        if (!o.oriented) {
            px = static_cast<float>(o.center_x + ox), py = static_cast<float>(o.center_y + oy);
            pz = static_cast<float>(o.depth);
        } else {
            px = static_cast<float>(o.center_x + ox * frame.right.x + oy * frame.up.x);
            py = static_cast<float>(o.center_y + ox * frame.right.y + oy * frame.up.y);
            pz = static_cast<float>(o.depth + ox * frame.right.z + oy * frame.up.z);
        }
    } else {
        const double radius = 0.45 * o.scale * std::min(w, h) / w;
        const double nx = ox / radius, ny = oy / radius, d2 = nx * nx + ny * ny;
        if (d2 > 1.0) return false;
        const double nz = std::sqrt(1.0 - d2);
        px = static_cast<float>(o.center_x + radius * nx), py = static_cast<float>(o.center_y + radius * ny);
        pz = static_cast<float>(o.depth + radius * nz);
        // Lambert lighting from the upper left, with some ambient light.
        const double lx = -0.45, ly = 0.55, lz = 0.70, ll = std::sqrt(lx * lx + ly * ly + lz * lz);
        light = 0.15 + 0.85 * std::max(0.0, (nx * lx + ny * ly + nz * lz) / ll);
    }
    *out_x = px, *out_y = py, *out_z = pz, *out_light = light;
    return true;
}

// Shades one sample at (fx, fy) in [0, w) x [0, h) of a cell.
tulo::Color shade_sample_at(const Options& o, const Frame& frame, const Cell& cell, double fx, double fy,
                            const standin::ShaderLibrary& lib, standin::ShadingRecord& record, RampConnections& ramps,
                            int octaves, Stats* stats) {
    ramps.u = fx / cell.width;
    tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
    float px, py, pz;
    double light;
    if (!point_at(o, frame, cell, fx, fy, &px, &py, &pz, &light)) return kSphereBackground;
    record.set_point(px, py, pz);
    lib.shade_function()(&c, record.state(), &cell.store->params());
    ++stats->samples;
    stats->nan += std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b);
    stats->alpha_zero += c.a == 0.0f;
    stats->beyond_lattice += beyond_lattice(px, py, pz, octaves);
    if (light != 1.0) {
        c.r *= static_cast<float>(light);
        c.g *= static_cast<float>(light);
        c.b *= static_cast<float>(light);
    }
    return c;
}

// The fixed settings of a view or sheet, as legend text: every parameter
// neither swept, ramped nor varied by the sheet itself, and the view.
std::string settings_text(const Options& o) {
    const auto& p = o.params;
    auto fixed = [&](standin::Param param) {
        if (o.sheet.kind == Sheet::Kind::sweep && o.sheet.param == param) return false;
        if (o.sheet.kind == Sheet::Kind::metrics_by_octaves &&
            (param == standin::Param::metric || param == standin::Param::octaves)) {
            return false;
        }
        return !ramped(o, param);
    };
    std::string legend;
    if (o.sheet.kind == Sheet::Kind::metrics_by_octaves && !o.weights_given) {
        legend = "WEIGHTS";
        for (int m = 0; m < 5; ++m) legend += " " + pair(kMetricNames[m], vector_text(kShowcaseWeights[m]));
        legend += "  ";
    } else if (fixed(standin::Param::weights)) {
        legend = pair("WEIGHTS", vector_text(p.weights)) + "  ";
    }
    if (fixed(standin::Param::metric)) {
        legend += pair("METRIC", pair(std::to_string(p.metric), kMetricNames[std::min(5, std::max(1, p.metric)) - 1])) + "  ";
    }
    if (fixed(standin::Param::octaves)) legend += pair("OCTAVES", std::to_string(p.octaves)) + "  ";
    if (fixed(standin::Param::gain)) legend += pair("GAIN", format_value(p.gain)) + "  ";
    if (fixed(standin::Param::color1)) legend += pair("COLOR1", color_text(p.color1)) + "  ";
    if (fixed(standin::Param::color2)) legend += pair("COLOR2", color_text(p.color2)) + "  ";
    legend += pair("SCALE", format_value(o.scale)) + "  " + pair("CENTER", format_value(o.center_x) + "," + format_value(o.center_y)) +
              "  " + pair("DEPTH", format_value(o.depth));
    if (!o.ramps.empty()) {
        legend += "  RAMPED";
        for (const Ramp& r : o.ramps) legend += std::string(" ") + param_name(r.param);
    }
    return legend;
}

void draw_text(Image& image, int x0, int y0, const std::string& text) {
    for (size_t k = 0; k < text.size(); ++k) {
        const int gx = x0 + static_cast<int>(k) * kGlyphAdvance;
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < 5; ++col) {
                const int x = gx + col, y = y0 + row;
                if (x >= 0 && x < image.width && y >= 0 && y < image.height && glyph_pixel(text[k], col, row)) {
                    image.at(x, y) = kLabelColor;
                }
            }
    }
}

}  // namespace

Stats::Stats() {
    for (int c = 0; c < 4; ++c) {
        min[c] = std::numeric_limits<double>::infinity();
        max[c] = -std::numeric_limits<double>::infinity();
        sum[c] = 0.0;
    }
}

void Stats::merge(const Stats& o) {
    for (int c = 0; c < 4; ++c) {
        min[c] = std::min(min[c], o.min[c]);
        max[c] = std::max(max[c], o.max[c]);
        sum[c] += o.sum[c];
        counted[c] += o.counted[c];
    }
    samples += o.samples;
    nan += o.nan;
    alpha_zero += o.alpha_zero;
    beyond_lattice += o.beyond_lattice;
}

Layout plan(const Options& o) {
    Layout layout;
    const int tick_rows = static_cast<int>(o.ramps.size()) * kTickRow;
    if (o.sheet.kind == Sheet::Kind::none) {
        // A pass is the bare view: pass_picture draws its own legend.
        const bool bare = !o.pass.empty();
        layout.width = o.width;
        layout.height = o.height + (tick_rows > 0 && !bare ? tick_rows + 2 : 0);
        Cell cell;
        cell.width = o.width;
        cell.height = o.height;
        cell.store = make_store(o, o.params);
        layout.cells.push_back(std::move(cell));
        if (tick_rows > 0 && !bare) place_ticks(o, 0, o.height + 2, o.width, &layout);
        if (o.legend && !bare) {
            if (o.width - 2 * kGap < kMinLegendChars * kGlyphAdvance) {
                layout.notices.push_back("the legend does not fit below a view " + std::to_string(o.width) +
                                         " pixels wide (it needs " + std::to_string(kMinLegendChars * kGlyphAdvance + 2 * kGap) +
                                         "): left out");
            } else {
                const std::vector<std::string> lines = wrap(settings_text(o), o.width - 2 * kGap);
                const int top = layout.height + kGap;
                for (size_t l = 0; l < lines.size(); ++l) {
                    layout.captions.push_back({kGap, top + static_cast<int>(l) * kLine, lines[l]});
                }
                layout.height = top + static_cast<int>(lines.size()) * kLine + kGap;
            }
        }
        if (layout.height > kMaxImageSide) {
            throw UsageError("the image with its ramp ticks and legend would be " + std::to_string(layout.height) +
                             " pixels high, more than " + std::to_string(kMaxImageSide));
        }
        return layout;
    }

    // The variations and their labels.
    int columns = 0;
    std::vector<std::pair<tulo::CellularTextureParams, std::string>> variations;
    const auto& p = o.params;
    if (o.sheet.kind == Sheet::Kind::metrics_by_octaves) {
        columns = 5;
        for (int octaves = 0; octaves <= 5; ++octaves) {
            for (int metric = 1; metric <= 5; ++metric) {
                auto v = p;
                v.metric = metric;
                v.octaves = octaves;
                if (!o.weights_given) v.weights = kShowcaseWeights[metric - 1];
                variations.emplace_back(v, pair(std::to_string(metric), kMetricNames[metric - 1]) + " " +
                                               pair("OCTAVES", std::to_string(octaves)));
            }
        }
    } else {
        const int n = o.sheet.count;
        columns = std::min(n, kSweepColumns);
        for (int i = 0; i < n; ++i) {
            auto v = p;
            const double u = static_cast<double>(i) / (n - 1);
            unsigned char* field = reinterpret_cast<unsigned char*>(&v) + static_cast<size_t>(o.sheet.param);
            ramp_value(o.sheet.param, o.sheet.from, o.sheet.to, u, field);
            std::string value = value_text(o.sheet.param, o.sheet.from, o.sheet.to, u);
            if (o.sheet.param == standin::Param::metric) {
                // The metric by name too, as the shader clamps the number.
                value = pair(value, kMetricNames[std::min(5, std::max(1, v.metric)) - 1]);
            }
            variations.emplace_back(v, pair(param_name(o.sheet.param), value));
        }
    }
    const std::string legend = settings_text(o);

    // Geometry: every cell's label wrapped to its width; one label height
    // for the whole sheet; tick rows below each cell; the legend below all.
    const int rows = (static_cast<int>(variations.size()) + columns - 1) / columns;
    std::vector<std::vector<std::string>> labels;
    size_t label_lines = 1;
    for (const auto& v : variations) {
        labels.push_back(wrap(v.second, o.cell));
        label_lines = std::max(label_lines, labels.back().size());
    }
    const int label_strip = static_cast<int>(label_lines) * kLine + 3;
    const int tick_strip = tick_rows > 0 ? tick_rows + 2 : 0;
    const int pitch_x = o.cell + kGap, pitch_y = label_strip + o.cell + tick_strip + kGap;
    layout.width = columns * pitch_x + kGap;
    const std::vector<std::string> legend_lines = wrap(legend, layout.width - 2 * kGap);
    const int legend_top = kGap + rows * pitch_y;
    layout.height = legend_top + static_cast<int>(legend_lines.size()) * kLine + kGap;
    if (layout.width > kMaxImageSide || layout.height > kMaxImageSide) {
        throw UsageError("the sheet would be " + std::to_string(layout.width) + "x" + std::to_string(layout.height) +
                         " pixels, more than " + std::to_string(kMaxImageSide) +
                         " on a side: use a smaller --cell or fewer cells");
    }
    for (size_t i = 0; i < variations.size(); ++i) {
        Cell cell;
        cell.x0 = kGap + static_cast<int>(i % static_cast<size_t>(columns)) * pitch_x;
        const int top = kGap + static_cast<int>(i / static_cast<size_t>(columns)) * pitch_y;
        cell.y0 = top + label_strip;
        cell.width = cell.height = o.cell;
        cell.store = make_store(o, variations[i].first);
        cell.label = labels[i];
        for (size_t l = 0; l < cell.label.size(); ++l) {
            layout.captions.push_back({cell.x0, top + 2 + static_cast<int>(l) * kLine, cell.label[l]});
        }
        if (tick_strip > 0) place_ticks(o, cell.x0, cell.y0 + cell.height + 2, cell.width, &layout);
        layout.cells.push_back(std::move(cell));
    }
    for (size_t l = 0; l < legend_lines.size(); ++l) {
        layout.captions.push_back({kGap, legend_top + static_cast<int>(l) * kLine, legend_lines[l]});
    }
    // Every sheet cell shows the same ramps: report a misfit once.
    std::sort(layout.notices.begin(), layout.notices.end());
    layout.notices.erase(std::unique(layout.notices.begin(), layout.notices.end()), layout.notices.end());
    return layout;
}

long count_tiles(const Layout& layout) { return static_cast<long>(make_tiles(layout).size()); }

Image render(const Options& o, const Layout& layout, const standin::ShaderLibrary& lib, int threads,
             std::atomic<long>* done, Stats* stats) {
    Image image;
    image.width = layout.width;
    image.height = layout.height;
    image.pixels.assign(static_cast<size_t>(image.width) * static_cast<size_t>(image.height), kSheetBackground);
    const std::vector<Tile> tiles = make_tiles(layout);
    const Frame frame = slice_frame(o);
    // Samples on a stratified k x k grid in each pixel, their colours averaged.
    const int k = static_cast<int>(std::lround(std::sqrt(static_cast<double>(o.samples))));
    const bool octaves_ramped = ramped(o, standin::Param::octaves);

    const bool premultiply = o.premultiply || o.background != Options::Background::none;
    // Workers take tiles in order from a shared counter; every pixel is
    // shaded independently, so the image is the same for any thread count.
    std::atomic<size_t> next{0};
    std::vector<Stats> partial(static_cast<size_t>(std::max(1, threads)));
    auto worker = [&](Stats* mine) {
        RampConnections ramps(o.ramps);
        for (size_t t = next.fetch_add(1); t < tiles.size(); t = next.fetch_add(1)) {
            const Tile& tile = tiles[t];
            const Cell& cell = layout.cells[static_cast<size_t>(tile.cell)];
            const int octaves = octaves_ramped ? 5 : std::min(5, std::max(0, static_cast<int>(cell.store->params().octaves)));
            standin::ShadingRecord record(*cell.store, &ramps);
            for (int y = tile.y0; y < tile.y1; ++y) {
                for (int x = tile.x0; x < tile.x1; ++x) {
                    double sum[4] = {0.0, 0.0, 0.0, 0.0};
                    for (int sy = 0; sy < k; ++sy) {
                        for (int sx = 0; sx < k; ++sx) {
                            tulo::Color c = shade_sample_at(o, frame, cell, x + (sx + 0.5) / k, y + (sy + 0.5) / k,
                                                            lib, record, ramps, octaves, mine);
                            // Premultiplied per sample, so that a pixel averages
                            // light, not colours of cut samples.
                            if (premultiply) c.r *= c.a, c.g *= c.a, c.b *= c.a;
                            sum[0] += c.r, sum[1] += c.g, sum[2] += c.b, sum[3] += c.a;
                        }
                    }
                    const double n = static_cast<double>(k) * k;
                    tulo::Color pixel{static_cast<float>(sum[0] / n), static_cast<float>(sum[1] / n),
                                      static_cast<float>(sum[2] / n), static_cast<float>(sum[3] / n)};
                    if (o.background != Options::Background::none) {
                        pixel = flatten(pixel, background_at(o, cell.x0 + x, cell.y0 + y));
                    }
                    image.at(cell.x0 + x, cell.y0 + y) = pixel;
                    const float channels[4] = {pixel.r, pixel.g, pixel.b, pixel.a};
                    for (int ch = 0; ch < 4; ++ch) {
                        if (std::isnan(channels[ch])) continue;
                        mine->min[ch] = std::min(mine->min[ch], static_cast<double>(channels[ch]));
                        mine->max[ch] = std::max(mine->max[ch], static_cast<double>(channels[ch]));
                        mine->sum[ch] += channels[ch];
                        ++mine->counted[ch];
                    }
                }
            }
            if (done) done->fetch_add(1);
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(worker, &partial[static_cast<size_t>(i)]);
    worker(&partial[0]);
    for (auto& th : pool) th.join();

    Stats total;
    for (const Stats& s : partial) total.merge(s);
    // Flat: every rendered pixel bit-identical to the first one.
    const Cell& first = layout.cells.front();
    const tulo::Color reference = image.at(first.x0, first.y0);
    total.flat = true;
    for (const Cell& cell : layout.cells) {
        for (int y = 0; y < cell.height && total.flat; ++y)
            for (int x = 0; x < cell.width; ++x)
                if (std::memcmp(&image.at(cell.x0 + x, cell.y0 + y), &reference, sizeof(reference)) != 0) {
                    total.flat = false;
                    break;
                }
    }
    *stats = total;

    for (const Tick& tick : layout.ticks)
        for (int y = tick.y0; y < tick.y1; ++y)
            if (tick.x >= 0 && tick.x < image.width && y >= 0 && y < image.height) image.at(tick.x, y) = kLabelColor;
    for (const Caption& c : layout.captions) draw_text(image, c.x, c.y, c.text);
    return image;
}

std::string summary_line(const Stats& s) {
    auto share = [&](long long n) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.3g%%", s.samples > 0 ? 100.0 * static_cast<double>(n) / static_cast<double>(s.samples) : 0.0);
        return std::string(text);
    };
    std::string line;
    const char* names[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c) {
        char text[96];
        if (s.counted[c] == 0) {
            std::snprintf(text, sizeof(text), "%s all NaN, ", names[c]);
        } else {
            std::snprintf(text, sizeof(text), "%s %.4g..%.4g mean %.4g, ", names[c], s.min[c], s.max[c],
                          s.sum[c] / static_cast<double>(s.counted[c]));
        }
        line += text;
    }
    line += "NaN " + share(s.nan) + ", alpha 0 " + share(s.alpha_zero) + ", beyond the lattice " + share(s.beyond_lattice) +
            " of " + std::to_string(s.samples) + " samples";
    return line;
}

Passes compute_passes(const Options& o, const Layout& layout, int threads, std::atomic<long>* done) {
    const Cell& cell = layout.cells.front();
    const Frame frame = slice_frame(o);
    // The metric and weights as the shader resolves them.
    const tulo::ShadingInputs resolved = tulo::resolve_parameters(o.params);
    const tulo::DistType* metric = resolved.metric;
    const tulo::Vector3 weights = resolved.weights;
    Passes passes;
    passes.width = layout.width, passes.height = layout.height;
    const size_t n = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.height);
    // Pixels outside the view (a sphere's corners) hold no sample.
    passes.f1.assign(n, std::nanf("")), passes.f2.assign(n, std::nanf(""));
    for (auto& axis : passes.offset) axis.assign(n, std::nanf(""));
    passes.id.assign(n, 0u);
    // The same tiles as render(), so that count_tiles() measures either.
    const std::vector<Tile> tiles = make_tiles(layout);
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t t = next.fetch_add(1); t < tiles.size(); t = next.fetch_add(1)) {
            const Tile& tile = tiles[t];
            for (int y = tile.y0; y < tile.y1; ++y) {
                for (int x = tile.x0; x < tile.x1; ++x) {
                    float px, py, pz;
                    double light;
                    if (!point_at(o, frame, cell, x + 0.5, y + 0.5, &px, &py, &pz, &light)) continue;
                    float F[2];
                    tulo::Vector3 delta[2];
                    uint32_t id[2];
                    tulo::cellular_basis(metric, &weights, px, py, pz, 2, F, delta, id);
                    const size_t i = static_cast<size_t>(cell.y0 + y) * static_cast<size_t>(layout.width) + static_cast<size_t>(cell.x0 + x);
                    passes.f1[i] = F[0], passes.f2[i] = F[1], passes.id[i] = id[0];
                    passes.offset[0][i] = delta[0].x, passes.offset[1][i] = delta[0].y, passes.offset[2][i] = delta[0].z;
                }
            }
            if (done) done->fetch_add(1);
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    return passes;
}

Image pass_picture(const Passes& passes, const std::string& pass, bool legend) {
    constexpr int kRampHeight = 8;
    const size_t n = static_cast<size_t>(passes.width) * static_cast<size_t>(passes.height);
    auto scalar = [&](size_t i) {
        return pass == "F1" ? passes.f1[i] : pass == "F2" ? passes.f2[i] : passes.f2[i] - passes.f1[i];
    };
    // The range shown: 0 up to the largest finite value (offsets: its size).
    double top = 0.0;
    for (size_t i = 0; i < n && pass != "id"; ++i) {
        if (pass == "offset") {
            for (const auto& axis : passes.offset) {
                if (std::isfinite(axis[i])) top = std::max(top, std::fabs(static_cast<double>(axis[i])));
            }
        } else if (std::isfinite(scalar(i))) {
            top = std::max(top, static_cast<double>(scalar(i)));
        }
    }
    std::string words;
    if (pass == "id") {
        words = "ID OF THE NEAREST FEATURE POINT, A RANDOM COLOUR EACH";
    } else if (pass == "offset") {
        words = "OFFSET TO THE NEAREST POINT, XYZ AS RGB, " + format_value(-top) + ".." + format_value(top);
    } else {
        words = pass + " 0.." + format_value(top) + ", BLACK TO WHITE";
    }
    words += ". FROM THE BASIS LIBRARY, NOT THE PLUGIN";
    const std::vector<std::string> lines = legend ? wrap(words, passes.width) : std::vector<std::string>{};
    const int ramp = pass == "id" || !legend ? 0 : kRampHeight;
    Image image;
    image.width = passes.width;
    image.height = passes.height + (legend ? ramp + 4 + static_cast<int>(lines.size()) * kLine : 0);
    image.pixels.assign(static_cast<size_t>(image.width) * static_cast<size_t>(image.height), kSheetBackground);
    const float scale = top > 0.0 ? static_cast<float>(1.0 / top) : 1.0f;
    for (size_t i = 0; i < n; ++i) {
        tulo::Color& c = image.pixels[i];
        if (std::isnan(passes.f1[i]) && passes.id[i] == 0) continue;  // off the sphere
        if (pass == "id") {
            // A flat random colour per cell: the id's bits mixed (a 32-bit finaliser).
            uint32_t h = passes.id[i];
            h ^= h >> 16, h *= 0x7feb352du, h ^= h >> 15, h *= 0x846ca68bu, h ^= h >> 16;
            c = {static_cast<float>(h & 0xFFu) / 255.0f, static_cast<float>((h >> 8) & 0xFFu) / 255.0f,
                 static_cast<float>((h >> 16) & 0xFFu) / 255.0f, 1.0f};
        } else if (pass == "offset") {
            c = {passes.offset[0][i] * scale * 0.5f + 0.5f, passes.offset[1][i] * scale * 0.5f + 0.5f,
                 passes.offset[2][i] * scale * 0.5f + 0.5f, 1.0f};
        } else {
            const float g = scalar(i) * scale;
            c = {g, g, g, 1.0f};
        }
    }
    // The legend below: the ramp from the bottom of the range to its top, and its words.
    const int ramp_top = passes.height + 2;
    for (int y = ramp_top; y < ramp_top + ramp; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const float u = image.width > 1 ? static_cast<float>(x) / static_cast<float>(image.width - 1) : 0.0f;
            image.at(x, y) = {u, u, u, 1.0f};
        }
    }
    for (size_t l = 0; l < lines.size(); ++l) draw_text(image, 1, ramp_top + ramp + 2 + static_cast<int>(l) * kLine, lines[l]);
    return image;
}

namespace {

// What a pass's pixels hold, counted.
struct PassFacts {
    long long pixels = 0, off_view = 0, no_point = 0, nan = 0, found = 0;
    double min[3], max[3], sum[3];  // of the pass's value (F1, F2, F2-F1) or each offset axis
    long long counted[3] = {0, 0, 0};
    size_t distinct_ids = 0;
};

PassFacts pass_facts(const Passes& p, const std::string& pass) {
    PassFacts f;
    for (int k = 0; k < 3; ++k) {
        f.min[k] = std::numeric_limits<double>::infinity();
        f.max[k] = -std::numeric_limits<double>::infinity();
        f.sum[k] = 0.0;
    }
    std::vector<uint32_t> ids;
    const size_t n = static_cast<size_t>(p.width) * static_cast<size_t>(p.height);
    f.pixels = static_cast<long long>(n);
    auto count = [&](int k, float v) {
        if (std::isnan(v)) return false;
        f.min[k] = std::min(f.min[k], static_cast<double>(v));
        f.max[k] = std::max(f.max[k], static_cast<double>(v));
        f.sum[k] += v;
        ++f.counted[k];
        return true;
    };
    for (size_t i = 0; i < n; ++i) {
        // Off the view (a sphere's corners): no sample at all. No feature
        // point (beyond the lattice): the slot left unfilled, offsets NaN.
        if (std::isnan(p.f1[i]) && std::isnan(p.offset[0][i]) && p.id[i] == 0) {
            ++f.off_view;
            continue;
        }
        if (std::isnan(p.offset[0][i])) {
            ++f.no_point;
            continue;
        }
        ++f.found;
        if (pass == "id") {
            ids.push_back(p.id[i]);
        } else if (pass == "offset") {
            for (int k = 0; k < 3; ++k) count(k, p.offset[k][i]);
        } else {
            const float v = pass == "F1" ? p.f1[i] : pass == "F2" ? p.f2[i] : p.f2[i] - p.f1[i];
            if (!count(0, v)) ++f.nan;
        }
    }
    std::sort(ids.begin(), ids.end());
    f.distinct_ids = static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
    return f;
}

}  // namespace

std::string pass_summary_line(const Passes& p, const std::string& pass) {
    const PassFacts f = pass_facts(p, pass);
    auto share = [&](long long k) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.3g%%", f.pixels > 0 ? 100.0 * static_cast<double>(k) / static_cast<double>(f.pixels) : 0.0);
        return std::string(text);
    };
    auto range = [&](int k) {
        if (f.counted[k] == 0) return std::string("none");
        char text[96];
        std::snprintf(text, sizeof(text), "%.4g..%.4g mean %.4g", f.min[k], f.max[k], f.sum[k] / static_cast<double>(f.counted[k]));
        return std::string(text);
    };
    std::string line;
    if (pass == "id") {
        line = "id " + std::to_string(f.distinct_ids) + " distinct feature points";
    } else if (pass == "offset") {
        line = "offset X " + range(0) + ", Y " + range(1) + ", Z " + range(2);
    } else {
        line = pass + " " + range(0) + ", NaN " + share(f.nan);
    }
    return line + ", no feature point " + share(f.no_point) + ", off the view " + share(f.off_view) + " of " +
           std::to_string(f.pixels) + " pixels";
}

std::vector<std::string> pass_warnings(const Passes& p, const std::string& pass) {
    const PassFacts f = pass_facts(p, pass);
    std::vector<std::string> out;
    if (f.found == 0) {
        out.push_back("no pixel found a feature point: the view lies beyond the lattice or off the sphere");
    } else if (pass == "id" ? f.distinct_ids == 1 : f.counted[0] > 0 && f.min[0] == f.max[0] && pass != "offset") {
        out.push_back("the pass is one flat value: check the scale and the weights");
    }
    return out;
}

std::vector<std::string> warnings(const Stats& s) {
    std::vector<std::string> out;
    if (s.flat) out.push_back("the image is one flat colour: check the scale, the gain and the colours");
    if (s.beyond_lattice > 0) {
        char share[32];
        std::snprintf(share, sizeof(share), "%.3g%%", 100.0 * static_cast<double>(s.beyond_lattice) / static_cast<double>(s.samples));
        out.push_back(std::string(share) + " of the samples lie beyond the lattice (at some octave), where the texture "
                      "is flat color2: the view is too far out or too wide");
    }
    if (s.samples > 0 && 2 * s.nan > s.samples) {
        out.push_back("most samples are NaN (magenta in PNG): gain 0 with a value of 0, a NaN gain, or negative "
                      "Euclidian weights");
    }
    return out;
}

}  // namespace preview
