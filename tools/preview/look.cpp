// Looks as text, written and read back; see the header.
#include "tools/preview/look.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
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

// The words of a --params file, or of the look an image made by the
// preview carries.
std::vector<Token> read_params_file(const std::string& path);

// expand_params, `depth` files deep.
void expand_params_at(std::vector<Token>& out, const std::vector<Token>& in, int depth) {
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
            expand_params_at(out, read_params_file(file), depth + 1);
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

}  // namespace

void expand_params(std::vector<Token>& out, const std::vector<Token>& in) { expand_params_at(out, in, 0); }

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
    if (o.weights_given)
        t << "--weights " << shortest_text(p.weights.x) << "," << shortest_text(p.weights.y) << ","
          << shortest_text(p.weights.z) << "\n";
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
    const tulo::Lattice& l = o.lattice;
    if (l.period[0] != 0 || l.period[1] != 0 || l.period[2] != 0) {
        t << "--period " << l.period[0] << "," << l.period[1] << "," << l.period[2] << "\n";
    }
    if (l.seed != 0) t << "--seed " << l.seed << "\n";
    if (o.tile) t << "--tile\n";
    if (o.legend) t << "--legend\n";
    if (o.bits != 8) t << "--bits " << o.bits << "\n";
    if (o.sheet.kind == Sheet::Kind::metrics_by_octaves) t << "--sheet metrics\n";
    if (o.sheet.kind == Sheet::Kind::sweep) {
        t << "--sweep " << param_name(o.sheet.param) << "=" << vec(o.sheet.from) << ":" << vec(o.sheet.to) << ":"
          << o.sheet.count << "\n";
    }
    if (o.sheet.kind != Sheet::Kind::none) t << "--cell " << o.cell << "\n";
    for (const Ramp& r : o.ramps)
        t << "--ramp " << param_name(r.param) << "=" << vec(r.from) << ":" << vec(r.to) << "\n";
    return t.str();
}

}  // namespace preview
