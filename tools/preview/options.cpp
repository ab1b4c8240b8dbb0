// cellular-preview's command line: parsing and --help, both from the option
// table, the checks of options against each other, and what each run uses.
#include "tools/preview/options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "tools/preview/look.h"
#include "tools/preview/option_table.h"

namespace preview {

int components(standin::Param p) {
    using standin::Param;
    switch (p) {
        case Param::color1:
        case Param::color2: return 4;
        case Param::weights: return 3;
        default: return 1;
    }
}

const char* param_name(standin::Param p) {
    using standin::Param;
    switch (p) {
        case Param::color1: return "color1";
        case Param::color2: return "color2";
        case Param::metric: return "metric";
        case Param::weights: return "weights";
        case Param::octaves: return "octaves";
        default: return "gain";
    }
}

Options default_options() {
    Options o;
    o.params.color1 = {0.95f, 0.85f, 0.55f, 1.0f};
    o.params.color2 = {0.08f, 0.12f, 0.22f, 1.0f};
    o.params.metric = 1;
    o.params.weights = {1.0f, 1.0f, 1.0f};
    // No extra octaves, as in the Python module's texture and value: every
    // interface gives the same value for the same point.
    o.params.octaves = 0;
    // The default view's values stay below 1/gain = 2, so that no sample of
    // the brightest cells falls beyond the limit (color2 with alpha 0).
    o.params.gain = 0.5f;
    return o;
}

std::string format_value(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3g", v);
    return text;
}

namespace {

// A paragraph as lines of at most `width` characters, broken at spaces (a
// word longer than a line keeps a line of its own).
std::vector<std::string> wrap_words(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    std::istringstream words(text);
    std::string line;
    for (std::string word; words >> word;) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

std::string usage(const char* program) {
    // Option names from the left margin, their help from kHelpColumn on.
    constexpr size_t kWidth = 80, kHelpColumn = 24;
    std::ostringstream u;
    u << "usage: " << program << " [options]\n"
      << "Renders the cellular texture through the shader library, as a renderer calls it.\n";
    auto paragraph = [&](const std::string& text) {
        for (const std::string& line : wrap_words(text, kWidth)) u << line << "\n";
    };
    for (const Section section : {Section::shader, Section::view, Section::sheets, Section::connected,
                                  Section::animation, Section::passes, Section::checks, Section::output}) {
        u << "\n";
        paragraph(section_title(section));
        for (const PreviewOption& entry : option_table()) {
            if (entry.section != section) continue;
            std::string head = "  ";
            for (size_t k = 0; k < entry.names.size(); ++k) head += (k ? ", " : "") + entry.names[k];
            if (!entry.arguments.empty()) head += " " + entry.arguments;
            const std::string body = entry.help + (entry.default_text.empty() ? "" : " [" + entry.default_text + "]");
            const std::vector<std::string> lines = wrap_words(body, kWidth - kHelpColumn);
            const std::string indent(kHelpColumn, ' ');
            size_t first = 0;
            if (head.size() + 2 <= kHelpColumn) {
                u << head << std::string(kHelpColumn - head.size(), ' ') << lines[0] << "\n";
                first = 1;
            } else {
                u << head << "\n";
            }
            for (size_t l = first; l < lines.size(); ++l) u << indent << lines[l] << "\n";
        }
    }
    u << "\n";
    paragraph(
        "--help and --version answer and ignore the rest. Otherwise an option named on the command line that the "
        "run would not use is refused (exit 2): -o with --probe, --threads with --compare, --colorspace with EXR, "
        "--gain with --pass, and so on; options read from a --params file are a whole look, of which a run uses "
        "its part.");
    u << "\n";
    paragraph(
        "Environment: TULO_CELLULAR_MAX_ISA=portable|avx2|avx512 caps the search kernel the library chooses from "
        "the CPU (every kernel gives the same bits; --version names it).");
    u << "\n";
    paragraph(
        "Exit codes: 0 done; 2 anything found before the render: a bad option or options file, or an output that "
        "cannot be written (a folder, a missing folder, a read-only file, an unknown extension); 1 a failure "
        "while working: the library, the render, or writing the file; 128 + signal number when ended by a "
        "signal (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP), having removed any half-written file.");
    return u.str();
}

namespace {

// Values the shader or the view takes otherwise than given, each named
// once in the tool's words.
void add_clamping_warnings(Options& o) {
    const auto& p = o.params;
    auto text = [](double v) {
        char t[40];
        std::snprintf(t, sizeof(t), "%g", v);
        return std::string(t);
    };
    if (o.sheet.kind != Sheet::Kind::metrics_by_octaves && (p.metric < 1 || p.metric > 5)) {
        o.warnings.push_back("--metric " + std::to_string(p.metric) + " is not 1..5: the shader uses " +
                             std::to_string(p.metric < 1 ? 1 : 5));
    }
    if (o.sheet.kind != Sheet::Kind::metrics_by_octaves && (p.octaves < 0 || p.octaves > 5)) {
        o.warnings.push_back("--octaves " + std::to_string(p.octaves) + " is not 0..5: the shader uses " +
                             std::to_string(p.octaves < 0 ? 0 : 5));
    }
    if (std::isinf(o.center_x) || std::isinf(o.center_y)) {
        o.warnings.push_back(
            "--center is beyond the range of numbers and taken as infinity: the picture is flat color2");
    }
    if (std::isinf(o.depth)) {
        o.warnings.push_back(
            "--depth is beyond the range of numbers and taken as infinity: the picture is flat color2");
    }
    if (!(p.gain > 0.0f) && !std::isnan(p.gain)) {
        o.warnings.push_back("--gain " + text(p.gain) + " is not above 0: every sample with a value above " +
                             text(p.gain) + " is cut to transparent black (a gain g cuts values above 1/g)");
    }
    if (o.sheet.kind == Sheet::Kind::sweep &&
        (o.sheet.param == standin::Param::octaves || o.sheet.param == standin::Param::metric)) {
        for (int c = 0; c < o.sheet.count; ++c) {
            const double u = static_cast<double>(c) / (o.sheet.count - 1);
            const double v = o.sheet.from[0] + (o.sheet.to[0] - o.sheet.from[0]) * u;
            if (v != std::floor(v)) {
                o.warnings.push_back(std::string("--sweep ") + param_name(o.sheet.param) +
                                     " takes whole numbers: steps such as " + text(v) + " are cut to whole numbers");
                break;
            }
        }
    }
}

// Whether the option named `name` has `flag` set in the table.
bool option_has(const std::string& name, bool PreviewOption::*flag) {
    const PreviewOption* entry = find_option(name);
    return entry != nullptr && entry->*flag;
}

}  // namespace

Options parse_options(int argc, char** argv) {
    Options o = default_options();
    for (int i = 0; i < argc; ++i) o.command_line += (i ? " " : "") + std::string(argv[i]);
    std::vector<Token> given;
    for (int i = 1; i < argc; ++i) {
        given.push_back({argv[i], "", ""});
        const std::string word = argv[i];
        if (word == "--params" || word.rfind("--params=", 0) == 0) o.given.push_back("--params");
    }
    std::vector<Token> tokens;
    expand_params(tokens, given);

    ParseState state{o};
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& origin = tokens[i].origin;
        try {
            // --name=value gives an option its one value in the same word.
            std::string name = tokens[i].text;
            std::vector<std::string> values;
            bool inline_value = false;
            if (name.rfind("--", 0) == 0) {
                const auto eq = name.find('=');
                if (eq != std::string::npos) {
                    values.push_back(name.substr(eq + 1));
                    name = name.substr(0, eq);
                    inline_value = true;
                }
            }
            if (origin.empty()) o.given.push_back(name);
            const PreviewOption* entry = find_option(name);
            if (entry == nullptr) throw std::invalid_argument("unknown option '" + name + "' (see --help)");
            const size_t count = entry->value_count();
            if (inline_value && count != 1) {
                throw std::invalid_argument("option " + name + ": " +
                                            (count == 0
                                                 ? std::string("takes no value")
                                                 : "takes " + std::to_string(count) + " values, as separate words"));
            }
            while (values.size() < count) {
                if (i + 1 >= tokens.size()) throw std::invalid_argument("option " + name + ": needs a value");
                values.push_back(tokens[++i].text);
            }
            entry->apply(state, name, values);
        } catch (const std::invalid_argument& e) {
            if (origin.empty()) throw;
            throw std::invalid_argument(origin + ": " + e.what());
        }
    }

    // Options that contradict each other are refused rather than resolved.
    const bool sheet = o.sheet.kind != Sheet::Kind::none;
    if ((o.passes || !o.pass.empty()) && sheet)
        throw std::invalid_argument("--passes and --pass show one view, not a sheet");
    if (o.passes && !o.pass.empty())
        throw std::invalid_argument("--passes writes EXR channels, --pass a PNG: one or the other");
    if ((!o.probes.empty() || !o.points_file.empty()) && (sheet || !o.ramps.empty() || o.animation.frames > 0)) {
        throw std::invalid_argument(
            "--probe and --points evaluate one look: not with --sheet, --sweep, --ramp or --frames");
    }
    if (sheet && state.size_given)
        throw std::invalid_argument("--size does not apply to a sheet: its cells are --cell pixels");
    if (o.sheet.kind == Sheet::Kind::sweep) {
        for (const Ramp& r : o.ramps) {
            if (r.param == o.sheet.param) {
                throw std::invalid_argument(std::string("parameter ") + param_name(r.param) +
                                            " is both swept and ramped");
            }
        }
    }
    if (o.raw && state.colors_given) throw std::invalid_argument("--raw sets the colours: drop --color1 and --color2");
    if (state.depth_range && state.scale_range)
        throw std::invalid_argument("--frames steps one of --depth and --scale, not both");
    if ((state.depth_range || state.scale_range) && o.animation.frames == 0) {
        throw std::invalid_argument("a FROM:TO range of --depth or --scale needs --frames N");
    }
    if (o.animation.frames > 0) {
        if (!state.depth_range && !state.scale_range)
            throw std::invalid_argument("--frames needs --depth FROM:TO or --scale FROM:TO");
        if (sheet) throw std::invalid_argument("--frames renders single views, not sheets");
        if (o.output == "-") throw std::invalid_argument("--frames writes numbered files, not standard output");
        o.animation.kind = state.depth_range ? Animation::Kind::depth : Animation::Kind::scale;
    }
    if (o.oriented) {
        if (o.view == View::sphere) throw std::invalid_argument("--normal and --up orient a slice, not the sphere");
        const Vec3& n = o.normal;
        const Vec3& u = o.up;
        const double cx = u.y * n.z - u.z * n.y, cy = u.z * n.x - u.x * n.z, cz = u.x * n.y - u.y * n.x;
        const double scale = std::sqrt((n.x * n.x + n.y * n.y + n.z * n.z) * (u.x * u.x + u.y * u.y + u.z * u.z));
        if (std::sqrt(cx * cx + cy * cy + cz * cz) <= 1e-9 * scale) {
            throw std::invalid_argument("--up must not be parallel to --normal (give another --up)");
        }
    }
    const tulo::Lattice plugin_lattice{};
    o.other_lattice = std::memcmp(&o.lattice, &plugin_lattice, sizeof(plugin_lattice)) != 0;
    if (o.other_lattice) {
        if (!o.ramps.empty())
            throw std::invalid_argument("--period and --seed render without the renderer: not with --ramp");
        if (!o.probes.empty() || !o.points_file.empty()) {
            throw std::invalid_argument("--probe and --points ask the plugin, which knows no --period or --seed");
        }
    }
    if (o.tile) {
        if (o.lattice.period[0] <= 0 || o.lattice.period[1] <= 0) {
            throw std::invalid_argument("--tile needs --period PX,PY with both periods 1 or more");
        }
        if (o.lattice.period[0] > tulo::kMaxTilePeriod || o.lattice.period[1] > tulo::kMaxTilePeriod) {
            throw std::invalid_argument("--tile takes periods up to " + std::to_string(tulo::kMaxTilePeriod) +
                                        " cells");
        }
        if (sheet || o.view != View::slice || o.oriented || o.animation.frames > 0) {
            throw std::invalid_argument(
                "--tile renders one slice in the XY plane: not with --sheet, --sweep, --view "
                "sphere, --normal, --up or --frames");
        }
        if (o.samples != 1) throw std::invalid_argument("--tile shades the pixel centres: not with --samples");
        o.tile_x.resize(static_cast<size_t>(o.width));
        o.tile_y.resize(static_cast<size_t>(o.height));
        tulo::tile_coordinates(o.width, o.lattice.period[0], 1, o.tile_x.data());
        tulo::tile_coordinates(o.height, o.lattice.period[1], 1, o.tile_y.data());
        std::reverse(o.tile_y.begin(), o.tile_y.end());  // rows go down, y up
    }
    if (o.raw) {
        if (state.colorspace_given && o.colorspace == ColorSpace::srgb) {
            o.warnings.push_back("--raw writes the value itself, linear: --colorspace srgb is ignored");
        }
        o.params.color1 = {1.0f, 1.0f, 1.0f, 1.0f};
        o.params.color2 = {0.0f, 0.0f, 0.0f, 1.0f};
        o.colorspace = ColorSpace::linear;
    }
    add_clamping_warnings(o);
    return o;
}

Mode mode_of(const Options& o) {
    if (o.help) return Mode::help;
    if (!o.compare.empty()) return Mode::compare;
    if (o.version) return Mode::version;
    if (!o.probes.empty() || !o.points_file.empty()) return Mode::probe;
    if (!o.save_params.empty() && !o.output_given) return Mode::save_look;
    return Mode::render;
}

void refuse_ignored_options(const Options& o, bool exr) {
    const Mode mode = mode_of(o);
    if (mode == Mode::help || mode == Mode::version) return;
    auto given = [&](const char* name) { return std::find(o.given.begin(), o.given.end(), name) != o.given.end(); };
    auto refuse = [](const std::string& name, const std::string& why) {
        throw std::invalid_argument("option " + name + " does not apply: " + why);
    };
    for (const std::string& name : o.given) {
        if (name == "--quiet" || name == "--params") {
            if (name == "--params" && mode == Mode::compare) refuse(name, "--compare uses nothing but the two images");
            continue;
        }
        switch (mode) {
            case Mode::help:
            case Mode::version:
            case Mode::render: break;
            case Mode::compare:
                if (name != "--compare") refuse(name, "--compare uses nothing but the two images");
                break;
            case Mode::probe:
                if (name == "-o" || name == "--output") {
                    refuse(name, "--probe and --points print to standard output (redirect it to keep the lines)");
                }
                if (name != "--probe" && name != "--points" && name != "--library" &&
                    !option_has(name, &PreviewOption::shader)) {
                    refuse(name,
                           "--probe and --points call the plugin at points with the look's shader parameters, "
                           "nothing else");
                }
                break;
            case Mode::save_look:
                if (name != "--save-params" && !option_has(name, &PreviewOption::look)) {
                    refuse(name,
                           "--save-params without -o saves the look and renders nothing; name an output with -o "
                           "to render too");
                }
                break;
        }
    }
    if (mode != Mode::render) return;
    const bool sheet = o.sheet.kind != Sheet::Kind::none;
    if (given("--cell") && !sheet) refuse("--cell", "it sizes the cells of a sheet; a single view takes --size");
    for (const char* name : {"--center", "--scale"}) {
        if (given(name) && o.tile) refuse(name, "--tile places the image on one period of the lattice");
    }
    if (given("--legend") && sheet) refuse("--legend", "a sheet always carries its legend");
    if (exr && given("--bits")) refuse("--bits", "EXR keeps 32-bit floats; it sets the depth of PNG");
    if (exr && given("--colorspace")) refuse("--colorspace", "EXR keeps linear floats; it sets the encoding of PNG");
    if (given("--straight-alpha") && o.background != Options::Background::none) {
        refuse("--straight-alpha", "--background flattens alpha onto the background, so alpha is 1");
    }
    if (!o.pass.empty()) {
        // A pass is the basis at each pixel's centre with the look's metric
        // and weights, as at octave 0, written linear: nothing of the colour.
        for (const char* name : {"--octaves", "--gain", "--color1", "--color2", "--raw", "--samples", "--colorspace",
                                 "--background", "--straight-alpha", "--ramp"}) {
            if (given(name)) {
                refuse(name,
                       "--pass draws the basis at each pixel's centre with the metric and weights only (as at "
                       "octave 0, written linear), not the colour");
            }
        }
    }
}

}  // namespace preview
