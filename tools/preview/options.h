// Command-line options of cellular-preview.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shader/tulo_cellulartexture.h"
#include "standin/standin_renderer.h"
#include "tools/preview/pixel_encoding.h"  // ColorSpace

namespace preview {

// Limits that keep a render within memory and time a user would expect.
constexpr int kMaxImageSide = 16384;  // pixels, of an image or a whole sheet
constexpr int kMaxThreads = 1024;
constexpr int kMaxSweepCells = 64;
constexpr int kMaxSamples = 256;  // per pixel
constexpr int kMaxFrames = 10000;

enum class View { slice, sphere };

// A parameter made connected and computed per sample, ramping linearly from
// `from` to `to` across each image (or sheet cell) from left to right.
struct Ramp {
    standin::Param param;
    std::vector<double> from;  // one value per component of the parameter
    std::vector<double> to;
};

// A contact sheet: a labelled grid of variations.
struct Sheet {
    enum class Kind { none, metrics_by_octaves, sweep } kind = Kind::none;
    // For a sweep: the parameter and its values, one cell each.
    standin::Param param = standin::Param::gain;
    std::vector<double> from, to;
    int count = 0;
};

// An animation: `frames` images with depth or scale stepped from `from` to
// `to`, written as name.0001.ext, name.0002.ext, ...
struct Animation {
    enum class Kind { none, depth, scale } kind = Kind::none;
    double from = 0.0, to = 0.0;
    int frames = 0;
};

struct Vec3 {
    double x, y, z;
};

struct Options {
    tulo::CellularTextureParams params{};
    int width = 512;
    int height = 512;
    double center_x = 0.0, center_y = 0.0;  // world point at the image centre
    double scale = 20.0;                    // world units across the image width
    double depth = 0.0;                     // z of the slice, or of the sphere's centre
    View view = View::slice;
    // Orientation of the slice: its normal and the direction that is up in
    // the image. The default is the XY plane, x to the right and y up.
    Vec3 normal{0.0, 0.0, 1.0};
    Vec3 up{0.0, 1.0, 0.0};
    bool oriented = false;                  // --normal or --up given
    Sheet sheet;
    int cell = 192;                         // sheet cell size in pixels
    std::vector<Ramp> ramps;
    Animation animation;
    int samples = 1;                        // per pixel, a square number
    ColorSpace colorspace = ColorSpace::srgb;  // of 8-bit output
    bool raw = false;                       // the value t itself, as grey
    int threads = 0;                        // 0: all cores
    std::string library;                    // empty: found beside this program
    std::string output = "preview.png";     // "-": PNG to standard output
    std::string save_params;                // write the options to this file
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool weights_given = false;             // --weights on the command line
    std::string command_line;               // as given, for the output's metadata
    std::vector<std::string> warnings;      // values taken otherwise than given
    bool straight_alpha = false;            // EXR colour not multiplied by alpha
    // --background: alpha flattened onto a colour or a checkerboard.
    enum class Background { none, color, checker } background = Background::none;
    tulo::Color background_color{0.0f, 0.0f, 0.0f, 1.0f};
    bool premultiply = false;               // set by the program from the output format
    bool passes = false;                    // --passes: F1, F2, id, offset channels in the EXR
    std::string pass;                       // --pass NAME: a PNG of one basis pass
    std::vector<Vec3> probes;               // --probe: print the plugin's answer there
    std::string points_file;                // --points: more probes, "-" standard input
    std::vector<std::string> compare;       // --compare A B: two images
};

Options default_options();

// Parses argv; throws std::invalid_argument with a message naming the
// offending option (and, for options read from a --params file, the file
// and line) on any bad input, or on options that contradict each other.
Options parse_options(int argc, char** argv);

// The options as a --params file: one option per line, every setting that
// shapes the picture (not the output, threads or library).
std::string params_text(const Options& options);

std::string usage(const char* program);

// Number of components of a parameter (color 3 or 4, weights 3, others 1).
int components(standin::Param p);
const char* param_name(standin::Param p);

// A number as labels and metadata show it: at most three significant digits.
std::string format_value(double v);

// The shortest decimal text that reads back to exactly v (0.95, not
// 0.949999988), for files that must reproduce the value.
std::string shortest_text(float v);

}  // namespace preview
