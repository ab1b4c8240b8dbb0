// Golden checks without images: the plugin's answer at given points, as a
// renderer gets it, printed with every bit; and the comparison of two
// images pixel by pixel.
#pragma once

#include <string>
#include <vector>

#include "standin/standin_renderer.h"
#include "tools/preview/options.h"

namespace preview {

// Points from a file, one a line as X,Y,Z or X Y Z (# comments and blank
// lines allowed); "-" reads standard input. UsageError names the file and
// line of a bad one.
std::vector<Vec3> read_points(const std::string& path);

// One line per point: the point, then t (the blend factor, the value the
// plugin gives with colours white and black) and r, g, b, a of the look's
// colours, each as its shortest exact decimal text and its float bits in
// hex. Computed through the plugin's entry point, one call per value, with
// the look's parameters (not ramps, sheets or frames).
std::string probe_lines(const Options& options, const standin::ShaderLibrary& lib, const std::vector<Vec3>& points);

// Compares two images (PNG or EXR, by extension) and describes the
// difference; true when every pixel is the same. Two EXRs compare their
// floats bit for bit; two PNGs their codes (UsageError when their depths or
// encodings differ); a PNG and an EXR compare in the PNG's codes, the EXR
// encoded as the preview encodes that PNG (straight colour; transparent
// pixels by alpha alone), so that only differences beyond the PNG's step
// count.
bool compare_images(const std::string& a, const std::string& b, std::string* report);

}  // namespace preview
