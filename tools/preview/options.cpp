// Parsing of cellular-preview's command line.
#include "tools/preview/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace preview {
namespace {

// Limits that keep a render within memory and time a user would expect.
constexpr int kMaxImageSide = 16384;
constexpr int kMaxThreads = 1024;
constexpr int kMaxSweepCells = 64;

[[noreturn]] void fail(const std::string& option, const std::string& why) {
    throw std::invalid_argument("option " + option + ": " + why);
}

double parse_number(const std::string& option, const std::string& text) {
    if (text.empty()) fail(option, "expected a number, got nothing");
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    if (end == begin || *end != '\0') fail(option, "'" + text + "' is not a number");
    if (errno == ERANGE && std::isinf(value)) fail(option, "'" + text + "' is out of range");
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
    using standin::Param;
    const std::pair<const char*, Param> names[] = {{"color1", Param::color1}, {"color2", Param::color2},
                                                   {"metric", Param::metric}, {"weights", Param::weights},
                                                   {"octaves", Param::octaves}, {"gain", Param::gain}};
    for (const auto& [n, p] : names)
        if (name == n) return p;
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

}  // namespace

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
    o.params.octaves = 2;
    o.params.gain = 0.6f;
    return o;
}

std::string usage(const char* program) {
    std::ostringstream u;
    u << "usage: " << program << " [options]\n"
      << "Renders the cellular texture through the shader library, as a renderer calls it.\n\n"
      << "Shader parameters:\n"
      << "  --metric N            1 Euclidian, 2 Manhattan, 3 Chessboard, 4 Minkowski,\n"
      << "                        5 Superquadratic (clamped by the shader)   [1]\n"
      << "  --weights X,Y,Z       metric weights; 0,0,0 means 1,1,1          [1,1,1]\n"
      << "  --octaves N           extra finer octaves (clamped to 0..5)      [2]\n"
      << "  --gain G              value normalisation                       [0.6]\n"
      << "  --color1 R,G,B[,A]    colour where the value is 1               [0.95,0.85,0.55,1]\n"
      << "  --color2 R,G,B[,A]    colour where the value is 0               [0.08,0.12,0.22,1]\n\n"
      << "View:\n"
      << "  --size WxH            image size in pixels (up to " << kMaxImageSide << ")   [512x512]\n"
      << "  --center X,Y          world point at the image centre           [0,0]\n"
      << "  --scale S             world units across the image width        [20]\n"
      << "  --depth Z             z of the slice plane or sphere centre     [0]\n"
      << "  --view slice|sphere   a flat slice, or a lit sphere cut from the 3-D pattern [slice]\n\n"
      << "Contact sheets (labelled grids; --size is ignored, see --cell):\n"
      << "  --sheet metrics       five metrics across, octaves 0 to 5 down\n"
      << "  --sweep PARAM=FROM:TO:COUNT\n"
      << "                        COUNT cells (2.." << kMaxSweepCells << ") with PARAM stepped from FROM to TO;\n"
      << "                        vectors as comma lists, e.g. weights=1,1,1:3,1,1:5\n"
      << "  --cell N              sheet cell size in pixels                 [192]\n\n"
      << "Connected parameters:\n"
      << "  --ramp PARAM=FROM:TO  make PARAM connected: the stand-in renderer computes it\n"
      << "                        per sample through mi_phen_eval, ramping left to right\n"
      << "                        (repeatable; e.g. --ramp gain=0.2:2)\n\n"
      << "Output and running:\n"
      << "  -o, --output FILE     .png (8-bit, clamped, NaN shown magenta) or .exr\n"
      << "                        (32-bit float RGBA, values untouched)      [preview.png]\n"
      << "  --threads N           worker threads (0: all cores)             [0]\n"
      << "  --library PATH        the shader library  [tulo_cellulartexture.so beside this program]\n"
      << "  --quiet               no progress bar\n"
      << "  -h, --help            this text\n";
    return u.str();
}

Options parse_options(int argc, char** argv) {
    Options o = default_options();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        auto take = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) fail(arg, "needs a value");
            return argv[++i];
        };
        auto& p = o.params;
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--metric") {
            p.metric = static_cast<int32_t>(parse_integer(arg, take(), INT32_MIN, INT32_MAX));
        } else if (arg == "--octaves") {
            p.octaves = static_cast<int32_t>(parse_integer(arg, take(), INT32_MIN, INT32_MAX));
        } else if (arg == "--gain") {
            p.gain = static_cast<float>(parse_number(arg, take()));
        } else if (arg == "--weights") {
            const auto v = parse_vector(arg, take(), 3, 3);
            p.weights = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
        } else if (arg == "--color1") {
            p.color1 = parse_color(arg, take());
        } else if (arg == "--color2") {
            p.color2 = parse_color(arg, take());
        } else if (arg == "--size") {
            const std::string v = take();
            const auto x = v.find('x');
            if (x == std::string::npos) fail(arg, "expected WxH, got '" + v + "'");
            o.width = static_cast<int>(parse_integer(arg, v.substr(0, x), 1, kMaxImageSide));
            o.height = static_cast<int>(parse_integer(arg, v.substr(x + 1), 1, kMaxImageSide));
        } else if (arg == "--center") {
            const auto v = parse_vector(arg, take(), 2, 2);
            o.center_x = v[0];
            o.center_y = v[1];
        } else if (arg == "--scale") {
            o.scale = parse_number(arg, take());
            if (!(o.scale > 0.0) || std::isinf(o.scale)) fail(arg, "must be a positive finite number");
        } else if (arg == "--depth") {
            o.depth = parse_number(arg, take());
        } else if (arg == "--view") {
            const std::string v = take();
            if (v == "slice") o.view = View::slice;
            else if (v == "sphere") o.view = View::sphere;
            else fail(arg, "expected slice or sphere, got '" + v + "'");
        } else if (arg == "--sheet") {
            const std::string v = take();
            if (v != "metrics") fail(arg, "expected 'metrics', got '" + v + "' (use --sweep for one parameter)");
            o.sheet.kind = Sheet::Kind::metrics_by_octaves;
        } else if (arg == "--sweep") {
            const std::string v = take();
            const auto last = v.rfind(':');
            if (last == std::string::npos) fail(arg, "expected PARAM=FROM:TO:COUNT, got '" + v + "'");
            const Ramp r = parse_ramp(arg, v.substr(0, last));
            o.sheet.kind = Sheet::Kind::sweep;
            o.sheet.param = r.param;
            o.sheet.from = r.from;
            o.sheet.to = r.to;
            o.sheet.count = static_cast<int>(parse_integer(arg, v.substr(last + 1), 2, kMaxSweepCells));
        } else if (arg == "--cell") {
            o.cell = static_cast<int>(parse_integer(arg, take(), 16, 2048));
        } else if (arg == "--ramp") {
            const Ramp r = parse_ramp(arg, take());
            for (const Ramp& other : o.ramps)
                if (other.param == r.param) fail(arg, std::string("parameter ") + param_name(r.param) + " is ramped twice");
            o.ramps.push_back(r);
        } else if (arg == "-o" || arg == "--output") {
            o.output = take();
            if (o.output.empty()) fail(arg, "needs a file name");
        } else if (arg == "--threads") {
            o.threads = static_cast<int>(parse_integer(arg, take(), 0, kMaxThreads));
        } else if (arg == "--library") {
            o.library = take();
        } else {
            throw std::invalid_argument("unknown option '" + arg + "' (see --help)");
        }
    }
    return o;
}

}  // namespace preview
