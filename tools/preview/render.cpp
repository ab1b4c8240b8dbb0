// Tiled rendering of previews; see the header.
#include "tools/preview/render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "shader/texture_batch.h"
#include "tools/preview/font.h"
#include "tools/preview/view.h"

namespace preview {
namespace {

// Behind the sphere.
constexpr tulo::Color kSphereBackground{0.05f, 0.05f, 0.05f, 0.0f};

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

// Shades one sample at (fx, fy) in [0, w) x [0, h) of a cell.
tulo::Color shade_sample_at(const Options& o, const Frame& frame, const Cell& cell, double fx, double fy,
                            const standin::ShaderLibrary& lib, standin::ShadingRecord& record, RampConnections& ramps,
                            int octaves, Stats* stats) {
    ramps.u = fx / cell.width;
    tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
    float px, py, pz;
    double light;
    if (!point_at(o, frame, cell, fx, fy, &px, &py, &pz, &light)) return kSphereBackground;
    if (o.other_lattice) {
        // The plugin knows only its own lattice: the texture for arrays, the
        // same computation, on this one.
        const tulo::Vector3 point{px, py, pz};
        tulo::BatchOptions one;
        one.threads = 1;
        tulo::texture_batch(cell.store->params(), o.lattice, &point, 1, &c, one);
    } else {
        record.set_point(px, py, pz);
        lib.shade_function()(&c, record.state(), &cell.store->params());
    }
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

}  // namespace

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
            const int octaves =
                octaves_ramped ? 5 : std::min(5, std::max(0, static_cast<int>(cell.store->params().octaves)));
            standin::ShadingRecord record(*cell.store, &ramps);
            for (int y = tile.y0; y < tile.y1; ++y) {
                for (int x = tile.x0; x < tile.x1; ++x) {
                    double sum[4] = {0.0, 0.0, 0.0, 0.0};
                    for (int sy = 0; sy < k; ++sy) {
                        for (int sx = 0; sx < k; ++sx) {
                            tulo::Color c = shade_sample_at(o, frame, cell, x + (sx + 0.5) / k, y + (sy + 0.5) / k, lib,
                                                            record, ramps, octaves, mine);
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
    for (const Caption& c : layout.captions) draw_text(image, c.x, c.y, c.text, kLabelColor);
    return image;
}

}  // namespace preview
