// The facts of a render for its summary line, and the warnings they call
// for: a colour render's per-channel ranges and the shares of NaN, cut and
// far samples; a pass's own range.
#pragma once

#include <string>
#include <vector>

#include "tools/preview/passes.h"

namespace preview {

// What a render met, for the summary line.
struct Stats {
    double min[4], max[4], sum[4];  // over pixels, channels r g b a, NaN left out
    long long counted[4] = {0, 0, 0, 0};
    long long samples = 0;         // shading calls
    long long nan = 0;             // samples with a NaN colour channel
    long long alpha_zero = 0;      // samples beyond the gain limit (alpha set to 0)
    long long beyond_lattice = 0;  // samples whose point, at some octave, leaves the lattice
    bool flat = true;              // every pixel the same colour
    Stats();
    void merge(const Stats& other);
};

// "R 0.1..0.9 mean 0.5, ... NaN 0%, alpha 0 2.1%, beyond the lattice 0%".
std::string summary_line(const Stats& stats);

// Warnings worth a line of their own: a flat image, mostly NaN.
std::vector<std::string> warnings(const Stats& stats);

// The pass's own facts, for the summary line: "F1 0.0213..1.27 mean 0.584,
// NaN 0%, no feature point 0%, off the view 0% of 262144 pixels" (an id
// pass counts its distinct ids, an offset pass gives each axis's range).
std::string pass_summary_line(const Passes& passes, const std::string& pass);

// Warnings worth a line of their own: no pixel found a feature point, or
// the pass is one flat value.
std::vector<std::string> pass_warnings(const Passes& passes, const std::string& pass);

}  // namespace preview
