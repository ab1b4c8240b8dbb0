// The basis's passes; see the header.
#include "tools/preview/passes.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "cellular/cellular_basis.h"
#include "shader/shading.h"
#include "tools/preview/font.h"
#include "tools/preview/view.h"

namespace preview {

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
                    tulo::cellular_basis(metric, &weights, px, py, pz, 2, F, delta, id, o.lattice);
                    const size_t i = static_cast<size_t>(cell.y0 + y) * static_cast<size_t>(layout.width) +
                                     static_cast<size_t>(cell.x0 + x);
                    passes.f1[i] = F[0], passes.f2[i] = F[1], passes.id[i] = id[0];
                    passes.offset[0][i] = delta[0].x, passes.offset[1][i] = delta[0].y,
                    passes.offset[2][i] = delta[0].z;
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
    for (size_t l = 0; l < lines.size(); ++l)
        draw_text(image, 1, ramp_top + ramp + 2 + static_cast<int>(l) * kLine, lines[l], kLabelColor);
    return image;
}

}  // namespace preview
