// Parsing of cellular-preview's command line.
#include "tools/preview/options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "tools/preview/image_io.h"

namespace preview {
namespace {

// The parameters, in the order the shader fetches them.
constexpr standin::Param kParams[] = {standin::Param::color1, standin::Param::color2, standin::Param::metric,
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
    // No extra octaves: the plugin's own default and the Python module's, so
    // that every interface gives the same value for the same point.
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

// v with `digits` significant digits, positional for magnitudes from 1e-4
// up to 1e16, otherwise as D.DDDeX; trailing zeros dropped.
std::string readable_number(double v, int digits) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char text[48];
    std::snprintf(text, sizeof(text), "%.*e", digits - 1, v);  // [-]D.DDDe[+-]XX
    const std::string s = text;
    const auto e = s.find('e');
    const int exponent = std::atoi(s.c_str() + e + 1);
    const bool negative = s[0] == '-';
    std::string d;  // the significant digits
    for (size_t k = negative ? 1 : 0; k < e; ++k)
        if (s[k] != '.') d += s[k];
    while (d.size() > 1 && d.back() == '0') d.pop_back();
    std::string out = negative ? "-" : "";
    if (exponent < -4 || exponent >= 16) {
        out += d.substr(0, 1) + (d.size() > 1 ? "." + d.substr(1) : "") + "e" + std::to_string(exponent);
    } else if (exponent < 0) {
        out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + d;
    } else {
        const size_t whole = static_cast<size_t>(exponent) + 1;
        if (d.size() <= whole) {
            out += d + std::string(whole - d.size(), '0');
        } else {
            out += d.substr(0, whole) + "." + d.substr(whole);
        }
    }
    return out;
}

}  // namespace

std::string shortest_text(float v) {
    std::string text;
    for (int digits = 1; digits <= 9; ++digits) {
        text = readable_number(static_cast<double>(v), digits);
        if (std::strtof(text.c_str(), nullptr) == v || v != v) break;
    }
    return text;
}

std::string shortest_text(double v) {
    std::string text;
    for (int digits = 1; digits <= 17; ++digits) {
        text = readable_number(v, digits);
        if (std::strtod(text.c_str(), nullptr) == v || v != v) break;
    }
    return text;
}

std::string usage(const char* program) {
    std::ostringstream u;
    u << "usage: " << program << " [options]\n"
      << "Renders the cellular texture through the shader library, as a renderer calls it.\n\n"
      << "Shader parameters:\n"
      << "  --metric N            1 Euclidian, 2 Manhattan, 3 Chessboard, 4 Minkowski,\n"
      << "                        5 Superquadratic (clamped by the shader)   [1]\n"
      << "  --weights X,Y,Z       metric weights; 0,0,0 means 1,1,1          [1,1,1]\n"
      << "                        1-3: per-axis factors of the offset; 4 Minkowski: a vector\n"
      << "                        subtracted from the offset; 5 Superquadratic: per-axis\n"
      << "                        exponents. With 4, and 5 with large exponents, the search's\n"
      << "                        cube culling shows as straight seams: part of the pattern\n"
      << "  --octaves N           extra finer octaves (clamped to 0..5)      [0]\n"
      << "  --gain G              a value t above 1/G gives color2 with alpha 0 (a hole);\n"
      << "                        below it t*G blends the colours. G of 0 or below cuts\n"
      << "                        every positive value                      [0.5]\n"
      << "  --color1 R,G,B[,A]    colour where the value is 1 (linear)      [0.95,0.85,0.55,1]\n"
      << "  --color2 R,G,B[,A]    colour where the value is 0 (linear)      [0.08,0.12,0.22,1]\n"
      << "                        A is passed to the shader and shown in legends, but changes\n"
      << "                        nothing: a sample's alpha is the renderer's (1), or 0 where\n"
      << "                        the gain cuts the value\n"
      << "  --raw                 the value itself as grey: color1 white, color2 black,\n"
      << "                        written linear\n\n"
      << "View:\n"
      << "  --size WxH            image size in pixels (up to " << kMaxImageSide << ")   [512x512]\n"
      << "  --center X,Y          world point at the image centre           [0,0]\n"
      << "  --scale S             world units across the image width        [20]\n"
      << "  --depth Z             z of the slice plane or sphere centre     [0]\n"
      << "  --normal X,Y,Z        normal of the slice plane, which passes through\n"
      << "                        (center, depth)                           [0,0,1]\n"
      << "  --up X,Y,Z            direction shown upwards in the slice      [0,1,0]\n"
      << "  --view slice|sphere   a flat slice, or a lit sphere cut from the 3-D pattern [slice]\n"
      << "  --samples N           samples per pixel on a stratified square grid:\n"
      << "                        1, 4, 9, ... " << kMaxSamples << "; the image is the same for any thread count [1]\n\n"
      << "Contact sheets (labelled grids with a legend; sized by --cell, not --size):\n"
      << "  --sheet metrics       five metrics across, octaves 0 to 5 down; without --weights\n"
      << "                        each metric shows weights that bring out its character\n"
      << "  --sweep PARAM=FROM:TO:COUNT\n"
      << "                        COUNT cells (2.." << kMaxSweepCells << ") with PARAM stepped from FROM to TO;\n"
      << "                        vectors as comma lists, e.g. weights=1,1,1:3,1,1:5\n"
      << "  --cell N              sheet cell size in pixels, 16..2048       [192]\n\n"
      << "Connected parameters:\n"
      << "  --ramp PARAM=FROM:TO  make PARAM connected: the stand-in renderer computes it\n"
      << "                        per sample through mi_phen_eval, ramping left to right;\n"
      << "                        tick marks with values below the picture (repeatable)\n\n"
      << "Animation:\n"
      << "  --frames N            N images (2.." << kMaxFrames << ") with --depth FROM:TO or --scale FROM:TO\n"
      << "                        stepped across them, written as NAME.0001.EXT, NAME.0002.EXT, ...\n\n"
      << "The basis's own passes (computed by the basis library, the code the plugin runs,\n"
      << "called directly: one evaluation at each pixel's centre, as at octave 0; not\n"
      << "through the plugin's entry point, which returns only the colour):\n"
      << "  --passes              EXR only: channels F1, F2, id (32-bit unsigned) and\n"
      << "                        offset.X/Y/Z (to the nearest feature point) beside RGBA\n"
      << "  --pass F1|F2|F2-F1|id|offset  PNG only: that pass instead of the colour, exactly\n"
      << "                        --size, written linear (with --legend: a ramp and its range\n"
      << "                        below); the summary gives the pass's own range\n\n"
      << "Checks without images (instead of a render):\n"
      << "  --probe X,Y,Z         print the plugin's t and r,g,b,a at the point, each value\n"
      << "                        with its float bits in hex, called as a renderer calls it\n"
      << "                        (repeatable; with the look's parameters)\n"
      << "  --points FILE         the same for every point of FILE (X,Y,Z a line; - reads\n"
      << "                        standard input)\n"
      << "  --compare A B         compare two images (.png or .exr) pixel by pixel: prints\n"
      << "                        how many differ, the largest difference and where; exit 1\n"
      << "                        when any differs. A PNG and an EXR compare in the PNG's\n"
      << "                        codes (the EXR encoded as the preview encodes that PNG)\n\n"
      << "Output and running:\n"
      << "  -o, --output FILE     .png (RGBA of --bits, sRGB-encoded unless --colorspace\n"
      << "                        linear, NaN shown magenta) or .exr (32-bit float RGBA, linear,\n"
      << "                        values untouched); - writes PNG to standard output [preview.png]\n"
      << "  --colorspace srgb|linear  encoding of PNG output               [srgb]\n"
      << "  --bits 8|16           bits per PNG channel, colour and passes alike  [8]\n"
      << "  --legend              a strip below a single view or pass naming its settings\n"
      << "                        (sheets always carry one)\n"
      << "  --straight-alpha      EXR colour not multiplied by alpha (by default EXR is\n"
      << "                        premultiplied, as compositing tools read it; PNG is straight)\n"
      << "  --background checker|R,G,B  flatten alpha onto a checkerboard or a colour\n"
      << "                        (alpha becomes 1): holes cut by the gain show as such\n"
      << "  --params FILE         read options from FILE (one per line, as here; # comments),\n"
      << "                        or the look a PNG or EXR made by this program carries\n"
      << "  --save-params FILE    write the options that shape the picture (the look) to\n"
      << "                        FILE, as a person writes numbers; without -o only that:\n"
      << "                        nothing is rendered\n"
      << "  --threads N           worker threads: 0 one per available core, or 1.." << kMaxThreads << "; a\n"
      << "                        negative count or one above " << kMaxThreads << " is refused        [0]\n"
      << "  --library PATH        the shader library  [tulo_cellulartexture.so beside this program,\n"
      << "                        or in the library folder of its installation]\n"
      << "  --quiet               no progress bar and no summary line (warnings still show)\n"
      << "  --version             this program's and the shader library's versions\n"
      << "  -h, --help            this text\n\n"
      << "--help and --version answer and ignore the rest. Otherwise an option named on the\n"
      << "command line that the run would not use is refused (exit 2): -o with --probe,\n"
      << "--threads with --compare, --colorspace with EXR, --gain with --pass, and so on;\n"
      << "options read from a --params file are a whole look, of which a run uses its part.\n\n"
      << "Environment: TULO_CELLULAR_MAX_ISA=portable|avx2|avx512 caps the search kernel the\n"
      << "library chooses from the CPU (every kernel gives the same bits; --version names it).\n\n"
      << "Exit codes: 0 done; 2 anything found before the render: a bad option or options\n"
      << "file, or an output that cannot be written (a folder, a missing folder, a read-only\n"
      << "file, an unknown extension); 1 a failure while working: the library, the render, or\n"
      << "writing the file; 128 + signal number when ended by a signal (130 Ctrl-C, 143 SIGTERM,\n"
      << "129 SIGHUP), having removed any half-written file.\n";
    return u.str();
}

namespace {

// One command-line word with where it came from, for messages.
struct Token {
    std::string text;
    std::string origin;  // "" for the command line, "FILE:LINE" otherwise
    std::string folder;  // the options file's folder ("" for the command line)
};

constexpr int kMaxParamsDepth = 8;

// The words of a --params file, or of the look an image made by the
// preview carries.
std::vector<Token> read_params_file(const std::string& path);

// The tokens with every --params FILE replaced by the file's tokens, files
// nested at most kMaxParamsDepth deep.
void append_tokens(std::vector<Token>& out, const std::vector<Token>& in, int depth) {
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i].text != "--params" && in[i].text.rfind("--params=", 0) != 0) {
            out.push_back(in[i]);
            continue;
        }
        const std::string where = in[i].origin.empty() ? "" : in[i].origin + ": ";
        std::string file;
        if (in[i].text == "--params") {
            if (i + 1 >= in.size()) throw std::invalid_argument(where + "option --params: needs a value");
            file = in[++i].text;
        } else {
            file = in[i].text.substr(9);
        }
        if (depth >= kMaxParamsDepth) {
            throw std::invalid_argument(where + "option --params: files nested more than " +
                                        std::to_string(kMaxParamsDepth) + " deep");
        }
        // A file named in a file is found from that file's folder.
        if (!in[i].folder.empty() && !file.empty() && file[0] != '/') file = in[i].folder + "/" + file;
        try {
            append_tokens(out, read_params_file(file), depth + 1);
        } catch (const std::invalid_argument& e) {
            if (where.empty() || std::string(e.what()).rfind("option --params: ", 0) != 0) throw;
            throw std::invalid_argument(where + e.what());
        }
    }
}

// The words of a look's text: one option per line, as on the command line;
// # starts a comment; a value may be quoted to hold spaces. `where` names
// the text in messages (with its line number after a colon).
std::vector<Token> look_tokens(const std::string& text, const std::string& where, const std::string& folder) {
    std::istringstream in(text);
    std::vector<Token> tokens;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        // A byte-order mark that some editors put first is not part of the text.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();  // written on Windows
        const std::string origin = where + ":" + std::to_string(number);
        std::string word;
        bool in_word = false, quoted = false;
        for (size_t k = 0; k <= line.size(); ++k) {
            const char c = k < line.size() ? line[k] : '\n';
            if (quoted) {
                if (c == '"') {
                    quoted = false;
                } else if (c == '\n') {
                    throw std::invalid_argument(origin + ": unterminated quote");
                } else {
                    word += c;
                }
            } else if (c == '"') {
                quoted = true;
                in_word = true;
            } else if (c == '#' || c == '\n' || std::isspace(static_cast<unsigned char>(c))) {
                if (in_word) tokens.push_back({word, origin, folder});
                word.clear();
                in_word = false;
                if (c == '#') break;
            } else {
                word += c;
                in_word = true;
            }
        }
    }
    return tokens;
}

// Whether the first word of a text, past a byte-order mark, blank lines and
// comments, starts with '-' (true for a text without words).
bool first_word_is_an_option(const std::string& text) {
    size_t at = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '#') {
            at = text.find('\n', at);
            if (at == std::string::npos) return true;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            return c == '-' || (c == '"' && at + 1 < text.size() && text[at + 1] == '-');
        }
        ++at;
    }
    return true;
}

// A PNG or EXR file by its first bytes.
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr unsigned char kExrMagic[4] = {0x76, 0x2F, 0x31, 0x01};

std::vector<Token> read_params_file(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw std::invalid_argument("option --params: cannot read '" + path + "': it is a folder");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::invalid_argument("option --params: cannot read '" + path + "': " + std::strerror(errno));
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::invalid_argument("option --params: cannot read '" + path + "': " + std::strerror(errno));
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    auto starts_with = [&](const unsigned char* magic, size_t n) {
        return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0;
    };

    // An image made by the preview carries its look: PNG text chunks, EXR
    // header attributes, under "Parameters".
    const bool png = starts_with(kPngSignature, sizeof(kPngSignature));
    if (png || starts_with(kExrMagic, sizeof(kExrMagic))) {
        const char* kind = png ? "PNG" : "EXR";
        std::map<std::string, std::string> text;
        try {
            text = png ? read_png_text(path) : read_exr_text(path);
        } catch (const std::exception& e) {
            throw std::invalid_argument(std::string("option --params: cannot read the look from the ") + kind + " '" +
                                        path + "': " + e.what());
        }
        const auto look = text.find("Parameters");
        if (look == text.end()) {
            throw std::invalid_argument(std::string("option --params: the ") + kind + " '" + path +
                                        "' carries no look (it was not made by cellular-preview)");
        }
        return look_tokens(look->second, path + " (its look)", folder);
    }

    // Anything else must read as a params file: text (no NUL byte) whose
    // first word, past blank lines and comments, is an option.
    if (bytes.find('\0') != std::string::npos || !first_word_is_an_option(bytes)) {
        throw std::invalid_argument("option --params: '" + path +
                                    "' is not a params file (options one a line, such as --metric 3), nor a PNG or "
                                    "EXR made by cellular-preview");
    }
    return look_tokens(bytes, path, folder);
}

Vec3 parse_direction(const std::string& option, const std::string& text) {
    const auto v = parse_vector(option, text, 3, 3);
    if (!(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2])) || (v[0] == 0 && v[1] == 0 && v[2] == 0)) {
        fail(option, "'" + text + "' is not a direction (finite, not all zero)");
    }
    return {v[0], v[1], v[2]};
}

// FROM:TO as two finite numbers.
void parse_range(const std::string& option, const std::string& text, double* from, double* to) {
    const auto parts = split(text, ':');
    if (parts.size() != 2) fail(option, "expected FROM:TO, got '" + text + "'");
    *from = parse_number(option, parts[0]);
    *to = parse_number(option, parts[1]);
}

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
        o.warnings.push_back("--center is beyond the range of numbers and taken as infinity: the picture is flat color2");
    }
    if (std::isinf(o.depth)) {
        o.warnings.push_back("--depth is beyond the range of numbers and taken as infinity: the picture is flat color2");
    }
    if (!(p.gain > 0.0f) && !std::isnan(p.gain)) {
        o.warnings.push_back("--gain " + text(p.gain) + " is not above 0: every sample with a value above " + text(p.gain) +
                             " is cut to transparent black (a gain g cuts values above 1/g)");
    }
    if (o.sheet.kind == Sheet::Kind::sweep && (o.sheet.param == standin::Param::octaves || o.sheet.param == standin::Param::metric)) {
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
    append_tokens(tokens, given, 0);

    bool size_given = false, colors_given = false, depth_range = false, scale_range = false, colorspace_given = false;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& origin = tokens[i].origin;
        try {
            std::string arg = tokens[i].text;
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
                if (i + 1 >= tokens.size()) fail(arg, "needs a value");
                return tokens[++i].text;
            };
            if (origin.empty()) o.given.push_back(arg);
            auto& p = o.params;
            if (arg == "-h" || arg == "--help") {
                o.help = true;
            } else if (arg == "--version") {
                o.version = true;
            } else if (arg == "--quiet") {
                o.quiet = true;
            } else if (arg == "--raw") {
                o.raw = true;
            } else if (arg == "--metric") {
                p.metric = static_cast<int32_t>(parse_integer(arg, take(), INT32_MIN, INT32_MAX));
            } else if (arg == "--octaves") {
                p.octaves = static_cast<int32_t>(parse_integer(arg, take(), INT32_MIN, INT32_MAX));
            } else if (arg == "--gain") {
                p.gain = static_cast<float>(parse_number(arg, take()));
            } else if (arg == "--weights") {
                const auto v = parse_vector(arg, take(), 3, 3);
                p.weights = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
                o.weights_given = true;
            } else if (arg == "--color1") {
                p.color1 = parse_color(arg, take());
                colors_given = true;
            } else if (arg == "--color2") {
                p.color2 = parse_color(arg, take());
                colors_given = true;
            } else if (arg == "--size") {
                const std::string v = take();
                const auto x = v.find('x');
                if (x == std::string::npos) fail(arg, "expected WxH, got '" + v + "'");
                o.width = static_cast<int>(parse_integer(arg, v.substr(0, x), 1, kMaxImageSide));
                o.height = static_cast<int>(parse_integer(arg, v.substr(x + 1), 1, kMaxImageSide));
                size_given = true;
            } else if (arg == "--center") {
                const auto v = parse_vector(arg, take(), 2, 2);
                o.center_x = v[0];
                o.center_y = v[1];
            } else if (arg == "--scale") {
                const std::string v = take();
                if (v.find(':') != std::string::npos) {
                    parse_range(arg, v, &o.animation.from, &o.animation.to);
                    if (!(o.animation.from > 0.0 && o.animation.to > 0.0) || std::isinf(o.animation.from) ||
                        std::isinf(o.animation.to)) {
                        fail(arg, "both ends must be positive finite numbers");
                    }
                    o.scale = o.animation.from;
                    scale_range = true;
                } else {
                    o.scale = parse_number(arg, v);
                    if (!(o.scale > 0.0) || std::isinf(o.scale)) fail(arg, "must be a positive finite number");
                }
            } else if (arg == "--depth") {
                const std::string v = take();
                if (v.find(':') != std::string::npos) {
                    parse_range(arg, v, &o.animation.from, &o.animation.to);
                    o.depth = o.animation.from;
                    depth_range = true;
                } else {
                    o.depth = parse_number(arg, v);
                }
            } else if (arg == "--normal") {
                o.normal = parse_direction(arg, take());
                o.oriented = true;
            } else if (arg == "--up") {
                o.up = parse_direction(arg, take());
                o.oriented = true;
            } else if (arg == "--view") {
                const std::string v = take();
                if (v == "slice") o.view = View::slice;
                else if (v == "sphere") o.view = View::sphere;
                else fail(arg, "expected slice or sphere, got '" + v + "'");
            } else if (arg == "--samples") {
                const std::string v = take();
                const long n = parse_integer(arg, v, 1, kMaxSamples);
                const long root = std::lround(std::sqrt(static_cast<double>(n)));
                if (root * root != n) fail(arg, "'" + v + "' is not a square number (1, 4, 9, 16, ...)");
                o.samples = static_cast<int>(n);
            } else if (arg == "--colorspace") {
                colorspace_given = true;
                const std::string v = take();
                if (v == "srgb") o.colorspace = ColorSpace::srgb;
                else if (v == "linear") o.colorspace = ColorSpace::linear;
                else fail(arg, "expected srgb or linear, got '" + v + "'");
            } else if (arg == "--sheet") {
                const std::string v = take();
                if (v != "metrics") fail(arg, "expected 'metrics', got '" + v + "' (use --sweep for one parameter)");
                if (o.sheet.kind == Sheet::Kind::sweep) fail(arg, "a sheet is either --sheet metrics or a --sweep, not both");
                o.sheet.kind = Sheet::Kind::metrics_by_octaves;
            } else if (arg == "--sweep") {
                const std::string v = take();
                const auto eq = v.find('=');
                if (eq == std::string::npos || split(v.substr(eq + 1), ':').size() != 3) {
                    fail(arg, "expected PARAM=FROM:TO:COUNT, got '" + v + "'");
                }
                if (o.sheet.kind == Sheet::Kind::metrics_by_octaves) {
                    fail(arg, "a sheet is either --sheet metrics or a --sweep, not both");
                }
                if (o.sheet.kind == Sheet::Kind::sweep) fail(arg, "only one --sweep per sheet");
                const auto last = v.rfind(':');
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
            } else if (arg == "--frames") {
                o.animation.frames = static_cast<int>(parse_integer(arg, take(), 2, kMaxFrames));
            } else if (arg == "-o" || arg == "--output") {
                o.output = take();
                if (o.output.empty()) fail(arg, "needs a file name");
                o.output_given = true;
            } else if (arg == "--save-params") {
                o.save_params = take();
                if (o.save_params.empty()) fail(arg, "needs a file name");
            } else if (arg == "--threads") {
                const std::string v = take();
                const long n = parse_integer(arg, v, INT_MIN, INT_MAX);
                if (n < 0) fail(arg, "'" + v + "' is negative: give 0 for one thread per available core, or 1.." + std::to_string(kMaxThreads));
                if (n > kMaxThreads) fail(arg, "'" + v + "' is above the cap of " + std::to_string(kMaxThreads) + " threads");
                o.threads = static_cast<int>(n);
            } else if (arg == "--straight-alpha") {
                o.straight_alpha = true;
            } else if (arg == "--background") {
                const std::string v = take();
                if (v == "checker") {
                    o.background = Options::Background::checker;
                } else {
                    const auto c = parse_vector(arg, v, 3, 3);
                    o.background = Options::Background::color;
                    o.background_color = {static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]), 1.0f};
                }
            } else if (arg == "--legend") {
                o.legend = true;
            } else if (arg == "--bits") {
                const std::string v = take();
                if (v != "8" && v != "16") fail(arg, "expected 8 or 16, got '" + v + "'");
                o.bits = v == "8" ? 8 : 16;
            } else if (arg == "--passes") {
                o.passes = true;
            } else if (arg == "--pass") {
                o.pass = take();
                if (o.pass != "F1" && o.pass != "F2" && o.pass != "F2-F1" && o.pass != "id" && o.pass != "offset") {
                    fail(arg, "expected F1, F2, F2-F1, id or offset, got '" + o.pass + "'");
                }
            } else if (arg == "--probe") {
                const auto v = parse_vector(arg, take(), 3, 3);
                o.probes.push_back({v[0], v[1], v[2]});
            } else if (arg == "--points") {
                o.points_file = take();
                if (o.points_file.empty()) fail(arg, "needs a file name (or - for standard input)");
            } else if (arg == "--compare") {
                o.compare.push_back(take());
                o.compare.push_back(take());
            } else if (arg == "--library") {
                o.library = take();
            } else {
                throw std::invalid_argument("unknown option '" + arg + "' (see --help)");
            }
        } catch (const std::invalid_argument& e) {
            if (origin.empty()) throw;
            throw std::invalid_argument(origin + ": " + e.what());
        }
    }

    // Options that contradict each other are refused rather than resolved.
    const bool sheet = o.sheet.kind != Sheet::Kind::none;
    if ((o.passes || !o.pass.empty()) && sheet) throw std::invalid_argument("--passes and --pass show one view, not a sheet");
    if (o.passes && !o.pass.empty()) throw std::invalid_argument("--passes writes EXR channels, --pass a PNG: one or the other");
    if ((!o.probes.empty() || !o.points_file.empty()) && (sheet || !o.ramps.empty() || o.animation.frames > 0)) {
        throw std::invalid_argument("--probe and --points evaluate one look: not with --sheet, --sweep, --ramp or --frames");
    }
    if (sheet && size_given) throw std::invalid_argument("--size does not apply to a sheet: its cells are --cell pixels");
    if (o.sheet.kind == Sheet::Kind::sweep) {
        for (const Ramp& r : o.ramps) {
            if (r.param == o.sheet.param) {
                throw std::invalid_argument(std::string("parameter ") + param_name(r.param) + " is both swept and ramped");
            }
        }
    }
    if (o.raw && colors_given) throw std::invalid_argument("--raw sets the colours: drop --color1 and --color2");
    if (depth_range && scale_range) throw std::invalid_argument("--frames steps one of --depth and --scale, not both");
    if ((depth_range || scale_range) && o.animation.frames == 0) {
        throw std::invalid_argument("a FROM:TO range of --depth or --scale needs --frames N");
    }
    if (o.animation.frames > 0) {
        if (!depth_range && !scale_range) throw std::invalid_argument("--frames needs --depth FROM:TO or --scale FROM:TO");
        if (sheet) throw std::invalid_argument("--frames renders single views, not sheets");
        if (o.output == "-") throw std::invalid_argument("--frames writes numbered files, not standard output");
        o.animation.kind = depth_range ? Animation::Kind::depth : Animation::Kind::scale;
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
    if (o.raw) {
        if (colorspace_given && o.colorspace == ColorSpace::srgb) {
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

namespace {

// The options of a look: those params_text writes, which --params files
// carry, and which --save-params alone saves.
constexpr const char* kLookOptions[] = {"--metric", "--weights", "--octaves", "--gain",   "--color1", "--color2",
                                        "--raw",    "--size",    "--center",  "--scale",  "--depth",  "--normal",
                                        "--up",     "--view",    "--samples", "--colorspace", "--sheet", "--sweep",
                                        "--cell",   "--ramp",    "--frames",  "--legend", "--bits"};
// The options the plugin's answer at a point depends on.
constexpr const char* kShaderOptions[] = {"--metric", "--weights", "--octaves", "--gain", "--color1", "--color2", "--raw"};

template <size_t N>
bool listed(const char* const (&names)[N], const std::string& name) {
    return std::find_if(std::begin(names), std::end(names), [&](const char* n) { return name == n; }) != std::end(names);
}

}  // namespace

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
            case Mode::render:
                break;
            case Mode::compare:
                if (name != "--compare") refuse(name, "--compare uses nothing but the two images");
                break;
            case Mode::probe:
                if (name == "-o" || name == "--output") {
                    refuse(name, "--probe and --points print to standard output (redirect it to keep the lines)");
                }
                if (name != "--probe" && name != "--points" && name != "--library" && !listed(kShaderOptions, name)) {
                    refuse(name, "--probe and --points call the plugin at points with the look's shader parameters, "
                                 "nothing else");
                }
                break;
            case Mode::save_look:
                if (name != "--save-params" && !listed(kLookOptions, name)) {
                    refuse(name, "--save-params without -o saves the look and renders nothing; name an output with -o "
                                 "to render too");
                }
                break;
        }
    }
    if (mode != Mode::render) return;
    const bool sheet = o.sheet.kind != Sheet::Kind::none;
    if (given("--cell") && !sheet) refuse("--cell", "it sizes the cells of a sheet; a single view takes --size");
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
                refuse(name, "--pass draws the basis at each pixel's centre with the metric and weights only (as at "
                             "octave 0, written linear), not the colour");
            }
        }
    }
}

std::string params_text(const Options& o) {
    std::ostringstream t;
    // The shortest text that reads back to the same number: doubles for the
    // view, floats for the shader's parameters (0.95, not 0.949999988).
    auto f = [](double v) { return shortest_text(v); };
    auto color = [](const tulo::Color& c) {
        return shortest_text(c.r) + "," + shortest_text(c.g) + "," + shortest_text(c.b) + "," + shortest_text(c.a);
    };
    auto vec = [&](const std::vector<double>& v) {
        std::string s;
        for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + f(v[i]);
        return s;
    };
    const auto& p = o.params;
    t << "# cellular-preview options (read back with --params)\n";
    t << "--metric " << p.metric << "\n--octaves " << p.octaves << "\n--gain " << shortest_text(p.gain) << "\n";
    // Weights only when given: a sheet chooses each metric's own otherwise.
    if (o.weights_given) t << "--weights " << shortest_text(p.weights.x) << "," << shortest_text(p.weights.y) << "," << shortest_text(p.weights.z) << "\n";
    if (o.raw) {
        t << "--raw\n";
    } else {
        t << "--color1 " << color(p.color1) << "\n--color2 " << color(p.color2) << "\n";
        t << "--colorspace " << (o.colorspace == ColorSpace::srgb ? "srgb" : "linear") << "\n";
    }
    if (o.sheet.kind == Sheet::Kind::none) t << "--size " << o.width << "x" << o.height << "\n";
    t << "--center " << f(o.center_x) << "," << f(o.center_y) << "\n";
    if (o.animation.kind == Animation::Kind::scale) {
        t << "--scale " << f(o.animation.from) << ":" << f(o.animation.to) << "\n";
    } else {
        t << "--scale " << f(o.scale) << "\n";
    }
    if (o.animation.kind == Animation::Kind::depth) {
        t << "--depth " << f(o.animation.from) << ":" << f(o.animation.to) << "\n";
    } else {
        t << "--depth " << f(o.depth) << "\n";
    }
    if (o.animation.kind != Animation::Kind::none) t << "--frames " << o.animation.frames << "\n";
    t << "--view " << (o.view == View::slice ? "slice" : "sphere") << "\n";
    if (o.oriented) {
        t << "--normal " << f(o.normal.x) << "," << f(o.normal.y) << "," << f(o.normal.z) << "\n";
        t << "--up " << f(o.up.x) << "," << f(o.up.y) << "," << f(o.up.z) << "\n";
    }
    t << "--samples " << o.samples << "\n";
    if (o.legend) t << "--legend\n";
    if (o.bits != 8) t << "--bits " << o.bits << "\n";
    if (o.sheet.kind == Sheet::Kind::metrics_by_octaves) t << "--sheet metrics\n";
    if (o.sheet.kind == Sheet::Kind::sweep) {
        t << "--sweep " << param_name(o.sheet.param) << "=" << vec(o.sheet.from) << ":" << vec(o.sheet.to) << ":"
          << o.sheet.count << "\n";
    }
    if (o.sheet.kind != Sheet::Kind::none) t << "--cell " << o.cell << "\n";
    for (const Ramp& r : o.ramps) t << "--ramp " << param_name(r.param) << "=" << vec(r.from) << ":" << vec(r.to) << "\n";
    return t.str();
}

}  // namespace preview
