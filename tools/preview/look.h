// A look as text: the options that shape a picture, written one a line
// (--save-params, and the "Parameters" an image carries) and read back from
// a params file or from a PNG or EXR the preview made.
#pragma once

#include <string>
#include <vector>

#include "tools/preview/options.h"

namespace preview {

// One command-line word with where it came from, for messages.
struct Token {
    std::string text;
    std::string origin;  // "" for the command line, "FILE:LINE" otherwise
    std::string folder;  // the options file's folder ("" for the command line)
};

// Appends `in` to `out` with every --params FILE replaced by the words of
// the look FILE holds: a params file (one option a line, as on the command
// line; # starts a comment; a value may be quoted to hold spaces), or the
// look a PNG or EXR made by the preview carries. Files name other files
// relative to their own folder, nested at most kMaxParamsDepth deep.
// std::invalid_argument names the file (and line) of anything wrong, and
// calls a file that is neither "not a params file".
constexpr int kMaxParamsDepth = 8;
void expand_params(std::vector<Token>& out, const std::vector<Token>& in);

// The options as a --params file: one option per line, every setting that
// shapes the picture (not the output, threads or library).
std::string params_text(const Options& options);

// The shortest decimal text that reads back to exactly v (0.95, not
// 0.949999988), as a person writes it: positional from 0.0001 up to 1e16
// (20, not 2e+01), an exponent beyond (1e-7, 3e+20 as 3e20). For files
// that must reproduce the value.
std::string shortest_text(float v);
std::string shortest_text(double v);

}  // namespace preview
