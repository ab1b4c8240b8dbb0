// Command-line options of cellular-preview.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shader/tulo_cellulartexture.h"
#include "standin/standin_renderer.h"

namespace preview {

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

struct Options {
    tulo::CellularTextureParams params{};
    int width = 512;
    int height = 512;
    double center_x = 0.0, center_y = 0.0;  // world point at the image centre
    double scale = 20.0;                    // world units across the image width
    double depth = 0.0;                     // z of the slice, or of the sphere's centre
    View view = View::slice;
    Sheet sheet;
    int cell = 192;                         // sheet cell size in pixels
    std::vector<Ramp> ramps;
    int threads = 0;                        // 0: all cores
    std::string library;                    // empty: beside the executable
    std::string output = "preview.png";
    bool quiet = false;
    bool help = false;
};

Options default_options();

// Parses argv; throws std::invalid_argument with a message naming the
// offending option on any bad input.
Options parse_options(int argc, char** argv);

std::string usage(const char* program);

// Number of components of a parameter (color 3 or 4, weights 3, others 1).
int components(standin::Param p);
const char* param_name(standin::Param p);

}  // namespace preview
