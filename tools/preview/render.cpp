// Layout and tiled rendering of previews.
#include "tools/preview/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/preview/font.h"

namespace preview {
namespace {

// Square tiles handed to worker threads.
constexpr int kTile = 32;
// Sheet geometry: label strip above each cell and the gap between cells.
constexpr int kLabelStrip = kGlyphHeight + 6;
constexpr int kGap = 4;
// Sheet background and label colour.
constexpr tulo::Color kSheetBackground{0.02f, 0.02f, 0.02f, 1.0f};
constexpr tulo::Color kLabelColor{0.9f, 0.9f, 0.9f, 1.0f};
// Behind the sphere.
constexpr tulo::Color kSphereBackground{0.05f, 0.05f, 0.05f, 0.0f};
// A sweep sheet wraps into rows of this many cells.
constexpr int kSweepColumns = 8;

const char* const kMetricNames[] = {"EUCLIDIAN", "MANHATTAN", "CHESSBOARD", "MINKOWSKI", "SUPERQUAD"};

std::string format_value(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", v);
    return text;
}

// Writes the value of `param` at position u in [0, 1] of from..to into the
// parameter's own representation at `out`.
void ramp_value(standin::Param param, const std::vector<double>& from, const std::vector<double>& to, double u,
                void* out) {
    const size_t n = from.size();
    double v[4] = {};
    for (size_t i = 0; i < n; ++i) v[i] = from[i] + (to[i] - from[i]) * u;
    if (param == standin::Param::metric || param == standin::Param::octaves) {
        const double r = std::round(v[0]);
        const int32_t iv = r >= 2147483647.0 ? INT32_MAX : r <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(r);
        std::memcpy(out, &iv, sizeof(iv));
        return;
    }
    float f[4];
    for (size_t i = 0; i < n; ++i) f[i] = static_cast<float>(v[i]);
    std::memcpy(out, f, n * sizeof(float));
}

// The stand-in renderer's answer for ramped parameters: the ramp's value at
// the pixel being shaded, in one scratch buffer reused for every answer.
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

void draw_label(Image& image, int x0, int y0, const std::string& text, int max_width) {
    for (size_t k = 0; k < text.size(); ++k) {
        const int gx = x0 + static_cast<int>(k) * kGlyphAdvance;
        if (gx + 5 > x0 + max_width) break;
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < 5; ++col)
                if (glyph_pixel(text[k], col, row)) image.at(gx + col, y0 + row) = kLabelColor;
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

// Shades one pixel of a cell: the slice point, or the sphere's surface.
tulo::Color shade_pixel(const Options& o, const Cell& cell, int px, int py, const standin::ShaderLibrary& lib,
                        standin::ShadingRecord& record, RampConnections& ramps) {
    const double w = cell.width, h = cell.height;
    const double ox = ((px + 0.5) / w - 0.5) * o.scale;
    const double oy = (0.5 - (py + 0.5) / h) * o.scale * h / w;
    ramps.u = (px + 0.5) / w;
    tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
    if (o.view == View::slice) {
        record.set_point(static_cast<float>(o.center_x + ox), static_cast<float>(o.center_y + oy),
                         static_cast<float>(o.depth));
        lib.shade_function()(&c, record.state(), &cell.store->params());
        return c;
    }
    const double radius = 0.45 * o.scale * std::min(w, h) / w;
    const double nx = ox / radius, ny = oy / radius, d2 = nx * nx + ny * ny;
    if (d2 > 1.0) return kSphereBackground;
    const double nz = std::sqrt(1.0 - d2);
    record.set_point(static_cast<float>(o.center_x + radius * nx), static_cast<float>(o.center_y + radius * ny),
                     static_cast<float>(o.depth + radius * nz));
    lib.shade_function()(&c, record.state(), &cell.store->params());
    // Lambert lighting from the upper left, with some ambient light.
    const double lx = -0.45, ly = 0.55, lz = 0.70, ll = std::sqrt(lx * lx + ly * ly + lz * lz);
    const float light = static_cast<float>(0.15 + 0.85 * std::max(0.0, (nx * lx + ny * ly + nz * lz) / ll));
    c.r *= light;
    c.g *= light;
    c.b *= light;
    return c;
}

}  // namespace

Layout plan(const Options& o) {
    Layout layout;
    if (o.sheet.kind == Sheet::Kind::none) {
        layout.width = o.width;
        layout.height = o.height;
        Cell cell;
        cell.width = o.width;
        cell.height = o.height;
        cell.store = make_store(o, o.params);
        layout.cells.push_back(std::move(cell));
        return layout;
    }
    int columns = 0, rows = 0;
    std::vector<std::pair<tulo::CellularTextureParams, std::string>> variations;
    if (o.sheet.kind == Sheet::Kind::metrics_by_octaves) {
        columns = 5;
        rows = 6;
        for (int octaves = 0; octaves <= 5; ++octaves) {
            for (int metric = 1; metric <= 5; ++metric) {
                auto p = o.params;
                p.metric = metric;
                p.octaves = octaves;
                variations.emplace_back(p, std::to_string(metric) + " " + kMetricNames[metric - 1] + " OCT " +
                                               std::to_string(octaves));
            }
        }
    } else {
        const int n = o.sheet.count;
        columns = std::min(n, kSweepColumns);
        rows = (n + columns - 1) / columns;
        for (int i = 0; i < n; ++i) {
            auto p = o.params;
            const double u = n == 1 ? 0.0 : static_cast<double>(i) / (n - 1);
            unsigned char* field = reinterpret_cast<unsigned char*>(&p) + static_cast<size_t>(o.sheet.param);
            ramp_value(o.sheet.param, o.sheet.from, o.sheet.to, u, field);
            std::string label = std::string(param_name(o.sheet.param)) + " ";
            const size_t comps = o.sheet.from.size() == 4 ? 3 : o.sheet.from.size();
            for (size_t k = 0; k < comps; ++k) {
                double v = o.sheet.from[k] + (o.sheet.to[k] - o.sheet.from[k]) * u;
                if (o.sheet.param == standin::Param::metric || o.sheet.param == standin::Param::octaves) v = std::round(v);
                label += (k ? "," : "") + format_value(static_cast<float>(v));
            }
            variations.emplace_back(p, label);
        }
    }
    const int pitch_x = o.cell + kGap, pitch_y = o.cell + kLabelStrip + kGap;
    layout.width = columns * pitch_x + kGap;
    layout.height = rows * pitch_y + kGap;
    for (size_t i = 0; i < variations.size(); ++i) {
        Cell cell;
        cell.x0 = kGap + static_cast<int>(i % static_cast<size_t>(columns)) * pitch_x;
        cell.y0 = kGap + static_cast<int>(i / static_cast<size_t>(columns)) * pitch_y + kLabelStrip;
        cell.width = cell.height = o.cell;
        cell.store = make_store(o, variations[i].first);
        cell.label = variations[i].second;
        layout.cells.push_back(std::move(cell));
    }
    return layout;
}

int count_tiles(const Layout& layout) { return static_cast<int>(make_tiles(layout).size()); }

Image render(const Options& o, const Layout& layout, const standin::ShaderLibrary& lib, int threads,
             std::atomic<int>* done) {
    Image image;
    image.width = layout.width;
    image.height = layout.height;
    image.pixels.assign(static_cast<size_t>(image.width) * static_cast<size_t>(image.height), kSheetBackground);
    const std::vector<Tile> tiles = make_tiles(layout);

    // Workers take tiles in order from a shared counter; every pixel is
    // shaded independently, so the image is the same for any thread count.
    std::atomic<size_t> next{0};
    auto worker = [&] {
        RampConnections ramps(o.ramps);
        for (size_t t = next.fetch_add(1); t < tiles.size(); t = next.fetch_add(1)) {
            const Tile& tile = tiles[t];
            const Cell& cell = layout.cells[static_cast<size_t>(tile.cell)];
            standin::ShadingRecord record(*cell.store, &ramps);
            for (int y = tile.y0; y < tile.y1; ++y)
                for (int x = tile.x0; x < tile.x1; ++x)
                    image.at(cell.x0 + x, cell.y0 + y) = shade_pixel(o, cell, x, y, lib, record, ramps);
            if (done) done->fetch_add(1);
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(worker);
    worker();
    for (auto& th : pool) th.join();

    for (const Cell& cell : layout.cells)
        if (!cell.label.empty()) draw_label(image, cell.x0, cell.y0 - kLabelStrip + 3, cell.label, cell.width);
    return image;
}

}  // namespace preview
