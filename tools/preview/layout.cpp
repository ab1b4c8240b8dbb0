// Layout of previews: single views and contact sheets; see the header.
#include "tools/preview/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "tools/preview/output.h"

namespace preview {
namespace {

// Square tiles handed to worker threads.
constexpr int kTile = 32;
// The gap between sheet cells, and around a legend.
constexpr int kGap = 4;
// A ramp's tick row: the tick mark, then a line of values.
constexpr int kTickLength = 4;
constexpr int kTickRow = kTickLength + 1 + kLine;
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

// Whether a parameter takes whole numbers (ramped values are rounded).
bool whole_number(standin::Param p) { return p == standin::Param::metric || p == standin::Param::octaves; }

std::string color_text(const tulo::Color& c) {
    return format_value(c.r) + "," + format_value(c.g) + "," + format_value(c.b) + "," + format_value(c.a);
}

std::string vector_text(const tulo::Vector3& v) {
    return format_value(v.x) + "," + format_value(v.y) + "," + format_value(v.z);
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
        legend +=
            pair("METRIC", pair(std::to_string(p.metric), kMetricNames[std::min(5, std::max(1, p.metric)) - 1])) + "  ";
    }
    if (fixed(standin::Param::octaves)) legend += pair("OCTAVES", std::to_string(p.octaves)) + "  ";
    if (fixed(standin::Param::gain)) legend += pair("GAIN", format_value(p.gain)) + "  ";
    if (fixed(standin::Param::color1)) legend += pair("COLOR1", color_text(p.color1)) + "  ";
    if (fixed(standin::Param::color2)) legend += pair("COLOR2", color_text(p.color2)) + "  ";
    legend += pair("SCALE", format_value(o.scale)) + "  " +
              pair("CENTER", format_value(o.center_x) + "," + format_value(o.center_y)) + "  " +
              pair("DEPTH", format_value(o.depth));
    if (!o.ramps.empty()) {
        legend += "  RAMPED";
        for (const Ramp& r : o.ramps) legend += std::string(" ") + param_name(r.param);
    }
    return legend;
}

}  // namespace

// A key and its value (joined by kGlue) stay on one line when they fit on
// one.
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

// Whether the options make `param` connected.
bool ramped(const Options& o, standin::Param param) {
    return std::any_of(o.ramps.begin(), o.ramps.end(), [&](const Ramp& r) { return r.param == param; });
}

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

std::vector<Tile> make_tiles(const Layout& layout) {
    std::vector<Tile> tiles;
    for (size_t c = 0; c < layout.cells.size(); ++c) {
        const Cell& cell = layout.cells[c];
        for (int y = 0; y < cell.height; y += kTile)
            for (int x = 0; x < cell.width; x += kTile)
                tiles.push_back(
                    {static_cast<int>(c), x, y, std::min(x + kTile, cell.width), std::min(y + kTile, cell.height)});
    }
    return tiles;
}

long count_tiles(const Layout& layout) { return static_cast<long>(make_tiles(layout).size()); }

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
                                         " pixels wide (it needs " +
                                         std::to_string(kMinLegendChars * kGlyphAdvance + 2 * kGap) + "): left out");
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

}  // namespace preview
