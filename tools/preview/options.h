// Command-line options of cellular-preview.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cellular/cellular_batch.h"
#include "cellular/tiles.h"
#include "tulo/tulo_cellulartexture.h"
#include "standin/standin_renderer.h"
#include "tools/preview/pixel_encoding.h"  // ColorSpace

namespace preview {

// Limits that keep a render within memory and time a user would expect.
constexpr int kMaxImageSide = 16384;  // pixels, of an image or a whole sheet
// Worker threads: the basis library's own cap, so that one rule holds for
// every interface (0 is one per available core).
constexpr int kMaxThreads = tulo::kMaxBatchThreads;
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
    bool oriented = false;  // --normal or --up given
    Sheet sheet;
    int cell = 192;  // sheet cell size in pixels
    std::vector<Ramp> ramps;
    Animation animation;
    int samples = 1;                           // per pixel, a square number
    ColorSpace colorspace = ColorSpace::srgb;  // of 8-bit output
    bool raw = false;                          // the value t itself, as grey
    int threads = 0;                           // 0: one per available core
    std::string library;                       // empty: found beside this program
    std::string output = "preview.png";        // "-": PNG to standard output
    bool output_given = false;                 // -o on the command line or in a params file
    std::string save_params;                   // write the options to this file
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool weights_given = false;  // --weights on the command line
    std::string command_line;    // as given, for the output's metadata
    // The options named on the command line itself, as typed ("-o",
    // "--size"), not those read from --params files: a look file carries a
    // whole look, of which a mode may use a part.
    std::vector<std::string> given;
    std::vector<std::string> warnings;  // values taken otherwise than given
    bool straight_alpha = false;        // EXR colour not multiplied by alpha
    // --background: alpha flattened onto a colour or a checkerboard.
    enum class Background { none, color, checker } background = Background::none;
    tulo::Color background_color{0.0f, 0.0f, 0.0f, 1.0f};
    bool premultiply = false;          // set by the program from the output format
    bool passes = false;               // --passes: F1, F2, id, offset channels in the EXR
    std::string pass;                  // --pass NAME: a PNG of one basis pass
    bool legend = false;               // --legend: a strip naming the settings below a view or pass
    int bits = 8;                      // --bits: bits per PNG channel, 8 or 16
    std::vector<Vec3> probes;          // --probe: print the plugin's answer there
    std::string points_file;           // --points: more probes, "-" standard input
    std::vector<std::string> compare;  // --compare A B: two images
    // --period, --seed: another lattice than the plugin's, rendered through
    // the texture for arrays (the plugin knows only its own).
    tulo::Lattice lattice{};
    bool other_lattice = false;
    // --tile: the image is exactly one period along x and y, its pixel
    // centres where values repeat bit for bit (cellular/tiles.h): the world
    // x of each column and y of each row, filled once the options are read.
    bool tile = false;
    std::vector<float> tile_x, tile_y;
};

Options default_options();

// What a run does. --help and --version answer and ignore the rest; the
// others use only some options (see refuse_ignored_options).
enum class Mode {
    help,
    version,
    compare,    // --compare A B
    probe,      // --probe, --points: the plugin's answer at points, printed
    save_look,  // --save-params without -o: the look's file, nothing rendered
    render,     // an image, its frames, a sheet or a pass
};
Mode mode_of(const Options& options);

// Refuses (std::invalid_argument, exit code 2) any option named on the
// command line that the run would ignore: -o with --probe, --threads with
// --compare, --colorspace with EXR output, and so on. `exr`: the rendered
// output is EXR (used by Mode::render only).
void refuse_ignored_options(const Options& options, bool exr);

// Parses argv; throws std::invalid_argument with a message naming the
// offending option (and, for options read from a --params file, the file
// and line) on any bad input, or on options that contradict each other.
Options parse_options(int argc, char** argv);

// --help's text, from the option table.
std::string usage(const char* program);

// Number of components of a parameter (color 3 or 4, weights 3, others 1).
int components(standin::Param p);
const char* param_name(standin::Param p);

// A number as labels and metadata show it: at most three significant digits.
std::string format_value(double v);

}  // namespace preview
