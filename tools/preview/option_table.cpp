// The table of the preview's options; see the header.
#include "tools/preview/option_table.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tools/preview/look.h"

namespace preview {
namespace {

// The parameters, in the order the shader fetches them.
constexpr standin::Param kParams[] = {standin::Param::color1,  standin::Param::color2,  standin::Param::metric,
                                      standin::Param::weights, standin::Param::octaves, standin::Param::gain};

[[noreturn]] void fail(const std::string& option, const std::string& why) {
    throw std::invalid_argument("option " + option + ": " + why);
}

double parse_number(const std::string& option, const std::string& text) {
    if (text.empty()) fail(option, "expected a number, got nothing");
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || *end != '\0') fail(option, "'" + text + "' is not a number");
    // Beyond double's range strtod gives an infinity (or 0): the same value
    // "inf" (or a tiny number) gives, and taken alike.
    return value;
}

long parse_integer(const std::string& option, const std::string& text, long lo, long hi) {
    if (text.empty()) fail(option, "expected a whole number, got nothing");
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || *end != '\0') fail(option, "'" + text + "' is not a whole number");
    if (errno == ERANGE || value < lo || value > hi) {
        fail(option, "'" + text + "' is outside " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    return value;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!text.empty() && text.back() == sep) parts.push_back("");
    return parts;
}

std::vector<double> parse_vector(const std::string& option, const std::string& text, size_t min_n, size_t max_n) {
    const auto parts = split(text, ',');
    if (parts.size() < min_n || parts.size() > max_n) {
        fail(option, "'" + text + "' needs " + std::to_string(min_n) +
                         (min_n == max_n ? "" : " or " + std::to_string(max_n)) + " comma-separated numbers");
    }
    std::vector<double> values;
    for (const auto& p : parts) values.push_back(parse_number(option, p));
    return values;
}

tulo::Color parse_color(const std::string& option, const std::string& text) {
    const auto v = parse_vector(option, text, 3, 4);
    return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]),
            static_cast<float>(v.size() == 4 ? v[3] : 1.0)};
}

standin::Param parse_param(const std::string& option, const std::string& name) {
    for (const standin::Param p : kParams)
        if (name == param_name(p)) return p;
    fail(option, "unknown parameter '" + name + "' (color1, color2, metric, weights, octaves, gain)");
}

// PARAM=FROM:TO with FROM and TO as many numbers as the parameter has.
Ramp parse_ramp(const std::string& option, const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) fail(option, "expected PARAM=FROM:TO, got '" + text + "'");
    Ramp r;
    r.param = parse_param(option, text.substr(0, eq));
    const auto ends = split(text.substr(eq + 1), ':');
    if (ends.size() != 2) fail(option, "expected PARAM=FROM:TO, got '" + text + "'");
    const size_t n = static_cast<size_t>(components(r.param));
    r.from = parse_vector(option, ends[0], n == 4 ? 3 : n, n);
    r.to = parse_vector(option, ends[1], n == 4 ? 3 : n, n);
    if (r.from.size() != r.to.size()) fail(option, "FROM and TO must have the same number of values");
    if (n == 4 && r.from.size() == 3) {  // colours without alpha keep alpha 1
        r.from.push_back(1.0);
        r.to.push_back(1.0);
    }
    return r;
}

Vec3 parse_direction(const std::string& option, const std::string& text) {
    const auto v = parse_vector(option, text, 3, 3);
    if (!(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2])) || (v[0] == 0 && v[1] == 0 && v[2] == 0)) {
        fail(option, "'" + text + "' is not a direction (finite, not all zero)");
    }
    return {v[0], v[1], v[2]};
}

// FROM:TO as two numbers.
void parse_range(const std::string& option, const std::string& text, double* from, double* to) {
    const auto parts = split(text, ':');
    if (parts.size() != 2) fail(option, "expected FROM:TO, got '" + text + "'");
    *from = parse_number(option, parts[0]);
    *to = parse_number(option, parts[1]);
}

// One of `choices` (for messages: "a, b or c").
std::string parse_choice(const std::string& option, const std::string& text, const std::vector<std::string>& choices) {
    for (const std::string& c : choices)
        if (text == c) return text;
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    }
    fail(option, "expected " + list + ", got '" + text + "'");
}

std::string color_text(const tulo::Color& c) {
    return shortest_text(c.r) + "," + shortest_text(c.g) + "," + shortest_text(c.b) + "," + shortest_text(c.a);
}

std::string vec_text(const Vec3& v) { return shortest_text(v.x) + "," + shortest_text(v.y) + "," + shortest_text(v.z); }

using Values = std::vector<std::string>;

std::vector<PreviewOption> make_table() {
    // The rows are laid out by hand, one option a row.
    // clang-format off
    const Options d = default_options();
    const auto& dp = d.params;
    const std::string max_side = std::to_string(kMaxImageSide), max_threads = std::to_string(kMaxThreads);
    std::vector<PreviewOption> t;

    // --- Shader parameters: the look's, and what probes evaluate.
    t.push_back({{"--metric"}, "N", std::to_string(dp.metric),
                 "1 Euclidian, 2 Manhattan, 3 Chessboard, 4 Minkowski, 5 Superquadratic (clamped by the shader)",
                 Section::shader, true, true, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.params.metric = static_cast<int32_t>(parse_integer(n, v[0], INT32_MIN, INT32_MAX));
                 }});
    t.push_back({{"--weights"}, "X,Y,Z", shortest_text(dp.weights.x) + "," + shortest_text(dp.weights.y) + "," + shortest_text(dp.weights.z),
                 "metric weights; 0,0,0 means 1,1,1. 1-3: per-axis factors of the offset; 4 Minkowski: a vector "
                 "subtracted from the offset; 5 Superquadratic: per-axis exponents. With 4, and 5 with large exponents, "
                 "the search's cube culling shows as straight seams: part of the pattern",
                 Section::shader, true, true, [](ParseState& s, const std::string& n, const Values& v) {
                     const auto w = parse_vector(n, v[0], 3, 3);
                     s.options.params.weights = {static_cast<float>(w[0]), static_cast<float>(w[1]), static_cast<float>(w[2])};
                     s.options.weights_given = true;
                 }});
    t.push_back({{"--octaves"}, "N", std::to_string(dp.octaves), "extra finer octaves (clamped to 0..5)", Section::shader,
                 true, true, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.params.octaves = static_cast<int32_t>(parse_integer(n, v[0], INT32_MIN, INT32_MAX));
                 }});
    t.push_back({{"--gain"}, "G", shortest_text(dp.gain),
                 "a value t above 1/G gives color2 with alpha 0 (a hole); below it t*G blends the colours. G of 0 or "
                 "below cuts every positive value",
                 Section::shader, true, true, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.params.gain = static_cast<float>(parse_number(n, v[0]));
                 }});
    t.push_back({{"--color1"}, "R,G,B[,A]", color_text(dp.color1), "colour where the value is 1 (linear)", Section::shader,
                 true, true, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.params.color1 = parse_color(n, v[0]);
                     s.colors_given = true;
                 }});
    t.push_back({{"--color2"}, "R,G,B[,A]", color_text(dp.color2),
                 "colour where the value is 0 (linear). A is passed to the shader and shown in legends, but changes "
                 "nothing: a sample's alpha is the renderer's (1), or 0 where the gain cuts the value",
                 Section::shader, true, true, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.params.color2 = parse_color(n, v[0]);
                     s.colors_given = true;
                 }});
    t.push_back({{"--period"}, "PX,PY[,PZ]", "0,0,0",
                 "cells after which the pattern repeats along x, y and z (0: never; up to " +
                     std::to_string(tulo::kMaxPeriod) + "), each octave doubling them; rendered through the basis "
                     "library's texture, not the plugin",
                 Section::shader, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     const auto parts = split(v[0], ',');
                     if (parts.size() != 2 && parts.size() != 3) fail(n, "expected PX,PY or PX,PY,PZ, got '" + v[0] + "'");
                     for (size_t a = 0; a < 3; ++a) {
                         s.options.lattice.period[a] =
                             a < parts.size() ? static_cast<int32_t>(parse_integer(n, parts[a], 0, tulo::kMaxPeriod)) : 0;
                     }
                 }});
    t.push_back({{"--seed"}, "N", "0",
                 "another pattern for each whole number up to 4294967295 (0: the plugin's); rendered through the "
                 "basis library's texture, not the plugin",
                 Section::shader, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.lattice.seed = static_cast<uint32_t>(parse_integer(n, v[0], 0, 4294967295L));
                 }});
    t.push_back({{"--tile"}, "", "",
                 "the image is exactly one period along x and y (needs --period PX,PY), its pixel centres placed so "
                 "that the tile repeats without a seam, bit for bit; --center and --scale then do not apply",
                 Section::view, true, false, [](ParseState& s, const std::string&, const Values&) { s.options.tile = true; }});
    t.push_back({{"--raw"}, "", "", "the value itself as grey: color1 white, color2 black, written linear", Section::shader,
                 true, true, [](ParseState& s, const std::string&, const Values&) { s.options.raw = true; }});

    // --- View.
    t.push_back({{"--size"}, "WxH", std::to_string(d.width) + "x" + std::to_string(d.height),
                 "image size in pixels (up to " + max_side + ")", Section::view, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     const auto x = v[0].find('x');
                     if (x == std::string::npos) fail(n, "expected WxH, got '" + v[0] + "'");
                     s.options.width = static_cast<int>(parse_integer(n, v[0].substr(0, x), 1, kMaxImageSide));
                     s.options.height = static_cast<int>(parse_integer(n, v[0].substr(x + 1), 1, kMaxImageSide));
                     s.size_given = true;
                 }});
    t.push_back({{"--center"}, "X,Y", shortest_text(d.center_x) + "," + shortest_text(d.center_y),
                 "world point at the image centre", Section::view, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     const auto c = parse_vector(n, v[0], 2, 2);
                     s.options.center_x = c[0];
                     s.options.center_y = c[1];
                 }});
    t.push_back({{"--scale"}, "S", shortest_text(d.scale),
                 "world units across the image width; FROM:TO with --frames", Section::view, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     Options& o = s.options;
                     if (v[0].find(':') != std::string::npos) {
                         parse_range(n, v[0], &o.animation.from, &o.animation.to);
                         if (!(o.animation.from > 0.0 && o.animation.to > 0.0) || std::isinf(o.animation.from) ||
                             std::isinf(o.animation.to)) {
                             fail(n, "both ends must be positive finite numbers");
                         }
                         o.scale = o.animation.from;
                         s.scale_range = true;
                     } else {
                         o.scale = parse_number(n, v[0]);
                         if (!(o.scale > 0.0) || std::isinf(o.scale)) fail(n, "must be a positive finite number");
                     }
                 }});
    t.push_back({{"--depth"}, "Z", shortest_text(d.depth),
                 "z of the slice plane or sphere centre; FROM:TO with --frames", Section::view, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     Options& o = s.options;
                     if (v[0].find(':') != std::string::npos) {
                         parse_range(n, v[0], &o.animation.from, &o.animation.to);
                         o.depth = o.animation.from;
                         s.depth_range = true;
                     } else {
                         o.depth = parse_number(n, v[0]);
                     }
                 }});
    t.push_back({{"--normal"}, "X,Y,Z", vec_text(d.normal), "normal of the slice plane, which passes through (center, depth)",
                 Section::view, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.normal = parse_direction(n, v[0]);
                     s.options.oriented = true;
                 }});
    t.push_back({{"--up"}, "X,Y,Z", vec_text(d.up), "direction shown upwards in the slice", Section::view, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.up = parse_direction(n, v[0]);
                     s.options.oriented = true;
                 }});
    t.push_back({{"--view"}, "slice|sphere", d.view == View::slice ? "slice" : "sphere",
                 "a flat slice, or a lit sphere cut from the 3-D pattern", Section::view, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.view = parse_choice(n, v[0], {"slice", "sphere"}) == "slice" ? View::slice : View::sphere;
                 }});
    t.push_back({{"--samples"}, "N", std::to_string(d.samples),
                 "samples per pixel on a stratified square grid: 1, 4, 9, ... " + std::to_string(kMaxSamples) +
                     "; the image is the same for any thread count",
                 Section::view, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     const long k = parse_integer(n, v[0], 1, kMaxSamples);
                     const long root = std::lround(std::sqrt(static_cast<double>(k)));
                     if (root * root != k) fail(n, "'" + v[0] + "' is not a square number (1, 4, 9, 16, ...)");
                     s.options.samples = static_cast<int>(k);
                 }});

    // --- Contact sheets.
    t.push_back({{"--sheet"}, "metrics", "",
                 "five metrics across, octaves 0 to 5 down; without --weights each metric shows weights that bring out "
                 "its character",
                 Section::sheets, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     if (v[0] != "metrics") fail(n, "expected 'metrics', got '" + v[0] + "' (use --sweep for one parameter)");
                     if (s.options.sheet.kind == Sheet::Kind::sweep) fail(n, "a sheet is either --sheet metrics or a --sweep, not both");
                     s.options.sheet.kind = Sheet::Kind::metrics_by_octaves;
                 }});
    t.push_back({{"--sweep"}, "PARAM=FROM:TO:COUNT", "",
                 "COUNT cells (2.." + std::to_string(kMaxSweepCells) +
                     ") with PARAM stepped from FROM to TO; vectors as comma lists, e.g. weights=1,1,1:3,1,1:5",
                 Section::sheets, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     Sheet& sheet = s.options.sheet;
                     const auto eq = v[0].find('=');
                     if (eq == std::string::npos || split(v[0].substr(eq + 1), ':').size() != 3) {
                         fail(n, "expected PARAM=FROM:TO:COUNT, got '" + v[0] + "'");
                     }
                     if (sheet.kind == Sheet::Kind::metrics_by_octaves) fail(n, "a sheet is either --sheet metrics or a --sweep, not both");
                     if (sheet.kind == Sheet::Kind::sweep) fail(n, "only one --sweep per sheet");
                     const auto last = v[0].rfind(':');
                     const Ramp r = parse_ramp(n, v[0].substr(0, last));
                     sheet.kind = Sheet::Kind::sweep;
                     sheet.param = r.param;
                     sheet.from = r.from;
                     sheet.to = r.to;
                     sheet.count = static_cast<int>(parse_integer(n, v[0].substr(last + 1), 2, kMaxSweepCells));
                 }});
    t.push_back({{"--cell"}, "N", std::to_string(d.cell), "sheet cell size in pixels, 16..2048", Section::sheets, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.cell = static_cast<int>(parse_integer(n, v[0], 16, 2048));
                 }});

    // --- Connected parameters.
    t.push_back({{"--ramp"}, "PARAM=FROM:TO", "",
                 "make PARAM connected: the stand-in renderer computes it per sample through mi_phen_eval, ramping left "
                 "to right; tick marks with values below the picture (repeatable)",
                 Section::connected, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     const Ramp r = parse_ramp(n, v[0]);
                     for (const Ramp& other : s.options.ramps)
                         if (other.param == r.param) fail(n, std::string("parameter ") + param_name(r.param) + " is ramped twice");
                     s.options.ramps.push_back(r);
                 }});

    // --- Animation.
    t.push_back({{"--frames"}, "N", "",
                 "N images (2.." + std::to_string(kMaxFrames) +
                     ") with --depth FROM:TO or --scale FROM:TO stepped across them, written as NAME.0001.EXT, "
                     "NAME.0002.EXT, ...",
                 Section::animation, true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.animation.frames = static_cast<int>(parse_integer(n, v[0], 2, kMaxFrames));
                 }});

    // --- The basis's passes.
    t.push_back({{"--passes"}, "", "",
                 "EXR only: channels F1, F2, id (32-bit unsigned) and offset.X/Y/Z (to the nearest feature point) "
                 "beside RGBA",
                 Section::passes, false, false, [](ParseState& s, const std::string&, const Values&) { s.options.passes = true; }});
    t.push_back({{"--pass"}, "F1|F2|F2-F1|id|offset", "",
                 "PNG only: that pass instead of the colour, exactly --size, written linear (with --legend: a ramp and "
                 "its range below); the summary gives the pass's own range",
                 Section::passes, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.pass = parse_choice(n, v[0], {"F1", "F2", "F2-F1", "id", "offset"});
                 }});

    // --- Checks without images.
    t.push_back({{"--probe"}, "X,Y,Z", "",
                 "print the plugin's t and r,g,b,a at the point, each value with its float bits in hex, called as a "
                 "renderer calls it (repeatable; with the look's parameters)",
                 Section::checks, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     const auto p = parse_vector(n, v[0], 3, 3);
                     s.options.probes.push_back({p[0], p[1], p[2]});
                 }});
    t.push_back({{"--points"}, "FILE", "", "the same for every point of FILE (X,Y,Z a line; - reads standard input)",
                 Section::checks, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     if (v[0].empty()) fail(n, "needs a file name (or - for standard input)");
                     s.options.points_file = v[0];
                 }});
    t.push_back({{"--compare"}, "A B", "",
                 "compare two images (.png or .exr) pixel by pixel: prints how many differ, the largest difference and "
                 "where; exit 1 when any differs. A PNG and an EXR compare in the PNG's codes (the EXR encoded as the "
                 "preview encodes that PNG)",
                 Section::checks, false, false, [](ParseState& s, const std::string&, const Values& v) {
                     s.options.compare.push_back(v[0]);
                     s.options.compare.push_back(v[1]);
                 }});

    // --- Output and running.
    t.push_back({{"-o", "--output"}, "FILE", d.output,
                 ".png (RGBA of --bits, sRGB-encoded unless --colorspace linear, NaN shown magenta) or .exr (32-bit "
                 "float RGBA, linear, values untouched); - writes PNG to standard output",
                 Section::output, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     if (v[0].empty()) fail(n, "needs a file name");
                     s.options.output = v[0];
                     s.options.output_given = true;
                 }});
    t.push_back({{"--colorspace"}, "srgb|linear", d.colorspace == ColorSpace::srgb ? "srgb" : "linear",
                 "encoding of PNG output", Section::output, true, false,
                 [](ParseState& s, const std::string& n, const Values& v) {
                     s.colorspace_given = true;
                     s.options.colorspace = parse_choice(n, v[0], {"srgb", "linear"}) == "srgb" ? ColorSpace::srgb : ColorSpace::linear;
                 }});
    t.push_back({{"--bits"}, "8|16", std::to_string(d.bits), "bits per PNG channel, colour and passes alike", Section::output,
                 true, false, [](ParseState& s, const std::string& n, const Values& v) {
                     s.options.bits = parse_choice(n, v[0], {"8", "16"}) == "8" ? 8 : 16;
                 }});
    t.push_back({{"--legend"}, "", "", "a strip below a single view or pass naming its settings (sheets always carry one)",
                 Section::output, true, false, [](ParseState& s, const std::string&, const Values&) { s.options.legend = true; }});
    t.push_back({{"--straight-alpha"}, "", "",
                 "EXR colour not multiplied by alpha (by default EXR is premultiplied, as compositing tools read it; PNG "
                 "is straight)",
                 Section::output, false, false,
                 [](ParseState& s, const std::string&, const Values&) { s.options.straight_alpha = true; }});
    t.push_back({{"--background"}, "checker|R,G,B", "",
                 "flatten alpha onto a checkerboard or a colour (alpha becomes 1): holes cut by the gain show as such",
                 Section::output, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     Options& o = s.options;
                     if (v[0] == "checker") {
                         o.background = Options::Background::checker;
                     } else {
                         const auto c = parse_vector(n, v[0], 3, 3);
                         o.background = Options::Background::color;
                         o.background_color = {static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]), 1.0f};
                     }
                 }});
    // Files are read as the command line is read (expand_params), before
    // any option is applied: nothing is left to do here.
    t.push_back({{"--params"}, "FILE", "",
                 "read options from FILE (one per line, as here; # comments), or the look a PNG or EXR made by this "
                 "program carries",
                 Section::output, false, false, [](ParseState&, const std::string&, const Values&) {}});
    t.push_back({{"--save-params"}, "FILE", "",
                 "write the options that shape the picture (the look) to FILE, as a person writes numbers; without -o "
                 "only that: nothing is rendered",
                 Section::output, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     if (v[0].empty()) fail(n, "needs a file name");
                     s.options.save_params = v[0];
                 }});
    t.push_back({{"--threads"}, "N", std::to_string(d.threads),
                 "worker threads: 0 one per available core, or 1.." + max_threads + "; a negative count or one above " +
                     max_threads + " is refused",
                 Section::output, false, false, [](ParseState& s, const std::string& n, const Values& v) {
                     const long k = parse_integer(n, v[0], INT_MIN, INT_MAX);
                     if (k < 0) fail(n, "'" + v[0] + "' is negative: give 0 for one thread per available core, or 1.." + std::to_string(kMaxThreads));
                     if (k > kMaxThreads) fail(n, "'" + v[0] + "' is above the cap of " + std::to_string(kMaxThreads) + " threads");
                     s.options.threads = static_cast<int>(k);
                 }});
    t.push_back({{"--library"}, "PATH",
                 "tulo_cellulartexture.so beside this program, or in the library folder of its installation",
                 "the shader library", Section::output, false, false,
                 [](ParseState& s, const std::string&, const Values& v) { s.options.library = v[0]; }});
    t.push_back({{"--quiet"}, "", "", "no progress bar and no summary line (warnings still show)", Section::output, false,
                 false, [](ParseState& s, const std::string&, const Values&) { s.options.quiet = true; }});
    t.push_back({{"--version"}, "", "", "this program's and the shader library's versions", Section::output, false, false,
                 [](ParseState& s, const std::string&, const Values&) { s.options.version = true; }});
    t.push_back({{"-h", "--help"}, "", "", "this text", Section::output, false, false,
                 [](ParseState& s, const std::string&, const Values&) { s.options.help = true; }});
    // clang-format on
    return t;
}

}  // namespace

size_t PreviewOption::value_count() const {
    if (arguments.empty()) return 0;
    size_t words = 1;
    for (char c : arguments) words += c == ' ';
    return words;
}

const std::vector<PreviewOption>& option_table() {
    static const std::vector<PreviewOption> table = make_table();
    return table;
}

const PreviewOption* find_option(const std::string& name) {
    for (const PreviewOption& entry : option_table())
        for (const std::string& n : entry.names)
            if (n == name) return &entry;
    return nullptr;
}

const char* section_title(Section section) {
    switch (section) {
        case Section::shader: return "Shader parameters:";
        case Section::view: return "View:";
        case Section::sheets: return "Contact sheets (labelled grids with a legend; sized by --cell, not --size):";
        case Section::connected: return "Connected parameters:";
        case Section::animation: return "Animation:";
        case Section::passes:
            return "The basis's own passes (computed by the basis library, the code the plugin runs, called directly: "
                   "one evaluation at each pixel's centre, as at octave 0; not through the plugin's entry point, which "
                   "returns only the colour):";
        case Section::checks: return "Checks without images (instead of a render):";
        case Section::output: break;
    }
    return "Output and running:";
}

}  // namespace preview
