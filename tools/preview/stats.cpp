// Facts and warnings of renders and passes; see the header.
#include "tools/preview/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace preview {

Stats::Stats() {
    for (int c = 0; c < 4; ++c) {
        min[c] = std::numeric_limits<double>::infinity();
        max[c] = -std::numeric_limits<double>::infinity();
        sum[c] = 0.0;
    }
}

void Stats::merge(const Stats& o) {
    for (int c = 0; c < 4; ++c) {
        min[c] = std::min(min[c], o.min[c]);
        max[c] = std::max(max[c], o.max[c]);
        sum[c] += o.sum[c];
        counted[c] += o.counted[c];
    }
    samples += o.samples;
    nan += o.nan;
    alpha_zero += o.alpha_zero;
    beyond_lattice += o.beyond_lattice;
}

std::string summary_line(const Stats& s) {
    auto share = [&](long long n) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.3g%%",
                      s.samples > 0 ? 100.0 * static_cast<double>(n) / static_cast<double>(s.samples) : 0.0);
        return std::string(text);
    };
    std::string line;
    const char* names[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c) {
        char text[96];
        if (s.counted[c] == 0) {
            std::snprintf(text, sizeof(text), "%s all NaN, ", names[c]);
        } else {
            std::snprintf(text, sizeof(text), "%s %.4g..%.4g mean %.4g, ", names[c], s.min[c], s.max[c],
                          s.sum[c] / static_cast<double>(s.counted[c]));
        }
        line += text;
    }
    line += "NaN " + share(s.nan) + ", alpha 0 " + share(s.alpha_zero) + ", beyond the lattice " +
            share(s.beyond_lattice) + " of " + std::to_string(s.samples) + " samples";
    return line;
}

std::vector<std::string> warnings(const Stats& s) {
    std::vector<std::string> out;
    if (s.flat) out.push_back("the image is one flat colour: check the scale, the gain and the colours");
    if (s.beyond_lattice > 0) {
        char share[32];
        std::snprintf(share, sizeof(share), "%.3g%%",
                      100.0 * static_cast<double>(s.beyond_lattice) / static_cast<double>(s.samples));
        out.push_back(std::string(share) +
                      " of the samples lie beyond the lattice (at some octave), where the texture "
                      "is flat color2: the view is too far out or too wide");
    }
    if (s.samples > 0 && 2 * s.nan > s.samples) {
        out.push_back(
            "most samples are NaN (magenta in PNG): gain 0 with a value of 0, a NaN gain, or negative "
            "Euclidian weights");
    }
    return out;
}

namespace {

// What a pass's pixels hold, counted.
struct PassFacts {
    long long pixels = 0, off_view = 0, no_point = 0, nan = 0, found = 0;
    double min[3], max[3], sum[3];  // of the pass's value (F1, F2, F2-F1) or each offset axis
    long long counted[3] = {0, 0, 0};
    size_t distinct_ids = 0;
};

PassFacts pass_facts(const Passes& p, const std::string& pass) {
    PassFacts f;
    for (int k = 0; k < 3; ++k) {
        f.min[k] = std::numeric_limits<double>::infinity();
        f.max[k] = -std::numeric_limits<double>::infinity();
        f.sum[k] = 0.0;
    }
    std::vector<uint32_t> ids;
    const size_t n = static_cast<size_t>(p.width) * static_cast<size_t>(p.height);
    f.pixels = static_cast<long long>(n);
    auto count = [&](int k, float v) {
        if (std::isnan(v)) return false;
        f.min[k] = std::min(f.min[k], static_cast<double>(v));
        f.max[k] = std::max(f.max[k], static_cast<double>(v));
        f.sum[k] += v;
        ++f.counted[k];
        return true;
    };
    for (size_t i = 0; i < n; ++i) {
        // Off the view (a sphere's corners): no sample at all. No feature
        // point (beyond the lattice): the slot left unfilled, offsets NaN.
        if (std::isnan(p.f1[i]) && std::isnan(p.offset[0][i]) && p.id[i] == 0) {
            ++f.off_view;
            continue;
        }
        if (std::isnan(p.offset[0][i])) {
            ++f.no_point;
            continue;
        }
        ++f.found;
        if (pass == "id") {
            ids.push_back(p.id[i]);
        } else if (pass == "offset") {
            for (int k = 0; k < 3; ++k) count(k, p.offset[k][i]);
        } else {
            const float v = pass == "F1" ? p.f1[i] : pass == "F2" ? p.f2[i] : p.f2[i] - p.f1[i];
            if (!count(0, v)) ++f.nan;
        }
    }
    std::sort(ids.begin(), ids.end());
    f.distinct_ids = static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
    return f;
}

}  // namespace

std::string pass_summary_line(const Passes& p, const std::string& pass) {
    const PassFacts f = pass_facts(p, pass);
    auto share = [&](long long k) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.3g%%",
                      f.pixels > 0 ? 100.0 * static_cast<double>(k) / static_cast<double>(f.pixels) : 0.0);
        return std::string(text);
    };
    auto range = [&](int k) {
        if (f.counted[k] == 0) return std::string("none");
        char text[96];
        std::snprintf(text, sizeof(text), "%.4g..%.4g mean %.4g", f.min[k], f.max[k],
                      f.sum[k] / static_cast<double>(f.counted[k]));
        return std::string(text);
    };
    std::string line;
    if (pass == "id") {
        line = "id " + std::to_string(f.distinct_ids) + " distinct feature points";
    } else if (pass == "offset") {
        line = "offset X " + range(0) + ", Y " + range(1) + ", Z " + range(2);
    } else {
        line = pass + " " + range(0) + ", NaN " + share(f.nan);
    }
    return line + ", no feature point " + share(f.no_point) + ", off the view " + share(f.off_view) + " of " +
           std::to_string(f.pixels) + " pixels";
}

std::vector<std::string> pass_warnings(const Passes& p, const std::string& pass) {
    const PassFacts f = pass_facts(p, pass);
    std::vector<std::string> out;
    if (f.found == 0) {
        out.push_back("no pixel found a feature point: the view lies beyond the lattice or off the sphere");
    } else if (pass == "id" ? f.distinct_ids == 1 : f.counted[0] > 0 && f.min[0] == f.max[0] && pass != "offset") {
        out.push_back("the pass is one flat value: check the scale and the weights");
    }
    return out;
}

}  // namespace preview
