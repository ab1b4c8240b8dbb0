// The work whose instructions bench/aarch64_instructions.sh counts on
// aarch64, where speed cannot be timed under emulation: one case of the
// library, `count` samples of it, on the benchmarks' points
// (bench/points.h), in the kernel TULO_CELLULAR_MAX_ISA leaves.
//
//   aarch64_driver basis METRIC COUNT
//       cellular_basis (N = 2, unit weights) per point, cycling over the
//       per-sample benchmarks' 4096 points (as shader_bench's BM_Basis);
//   aarch64_driver shader METRIC OCTAVES COUNT
//       a sample's computation (shade_sample, unit weights, gain 0.5) per
//       point, on the same points (as BM_Shader, without the entry point's
//       parameter fetch and floating-point guard);
//   aarch64_driver point METRIC LAYOUT COUNT
//       cellular_basis per point over the first COUNT points of a layout of
//       the array benchmarks, random or slice (as BM_PointBasis);
//   aarch64_driver array METRIC LAYOUT COUNT
//       one call of cellular_basis_batch (N = 2, unit weights, one thread)
//       on the same points (as BM_BatchBasis).
//
// Everything but the counted samples is done the same way whatever COUNT
// is: the point sets are built, one warm-up call binds the library's calls
// into the C library and runs its first-use initialisation, and the kernel
// in use is printed. So the instructions of a run with COUNT samples less
// those of a run with none are the samples' own. Runs on one thread, so
// that the count is exact and repeatable.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "bench/points.h"
#include "cellular/cellular_basis.h"
#include "cellular/cellular_batch.h"
#include "cellular/dist_type.h"
#include "shader/shading.h"

namespace {

using tulo::Color;
using tulo::Vector3;

const Vector3 kUnitWeights = {1.0f, 1.0f, 1.0f};
// Points in the warm-up call of the array case.
constexpr std::size_t kWarmUpPoints = 64;

// Keeps the compiler from dropping a result nobody reads, at no cost in
// instructions.
template <class T>
void keep(const T& value) {
    asm volatile("" : : "r"(&value) : "memory");
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "aarch64_driver: %s\n"
                 "usage: aarch64_driver basis METRIC COUNT\n"
                 "       aarch64_driver shader METRIC OCTAVES COUNT\n"
                 "       aarch64_driver point|array METRIC random|slice COUNT\n"
                 "METRIC 1..3, OCTAVES 0..5, COUNT the samples measured (0 for the start-up alone)\n",
                 problem);
    std::exit(2);
}

long parse(const char* text, const char* what, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < lo || value > hi) {
        usage((std::string(what) + " must be a whole number in " + std::to_string(lo) + ".." + std::to_string(hi) +
               ", got '" + text + "'")
                  .c_str());
    }
    return value;
}

const tulo::DistType* metric_arg(const char* text) {
    return &tulo::metric_by_number(static_cast<int32_t>(parse(text, "METRIC", 1, 3)));
}

constexpr long kMaxCount = 1L << 30;

void run_basis(const tulo::DistType* metric, long count) {
    const std::vector<Vector3> pts = bench::sample_points();
    float F[2];
    tulo::cellular_basis(metric, &kUnitWeights, pts[0].x, pts[0].y, pts[0].z, 2, F, nullptr, nullptr);
    keep(F);
    std::printf("kernel %s\n", tulo::cellular_kernel_name());
    for (long i = 0; i < count; ++i) {
        const Vector3& p = pts[static_cast<std::size_t>(i) & (pts.size() - 1)];
        tulo::cellular_basis(metric, &kUnitWeights, p.x, p.y, p.z, 2, F, nullptr, nullptr);
        keep(F);
    }
}

void run_shader(int32_t metric, int32_t octaves, long count) {
    const std::vector<Vector3> pts = bench::sample_points();
    tulo::CellularTextureParams params{};
    params.color1 = {1.0f, 0.8f, 0.3f, 1.0f};
    params.color2 = {0.1f, 0.2f, 0.5f, 1.0f};
    params.metric = metric;
    params.weights = kUnitWeights;
    params.octaves = octaves;
    params.gain = 0.5f;
    const tulo::ShadingInputs inputs = tulo::resolve_parameters(params);
    Color c{0.0f, 0.0f, 0.0f, 1.0f};
    tulo::shade_sample(inputs, pts[0], &c);
    keep(c);
    std::printf("kernel %s\n", tulo::cellular_kernel_name());
    for (long i = 0; i < count; ++i) {
        c = Color{0.0f, 0.0f, 0.0f, 1.0f};
        tulo::shade_sample(inputs, pts[static_cast<std::size_t>(i) & (pts.size() - 1)], &c);
        keep(c);
    }
}

// The points of a layout of the array benchmarks, of which the first
// `count` are measured.
std::vector<Vector3> layout_points(const char* layout, long count) {
    std::vector<Vector3> pts;
    if (std::strcmp(layout, "random") == 0) {
        pts = bench::many_points();
    } else if (std::strcmp(layout, "slice") == 0) {
        pts = bench::slice_points();
    } else {
        usage((std::string("LAYOUT must be random or slice, got '") + layout + "'").c_str());
    }
    if (static_cast<std::size_t>(count) > pts.size()) {
        usage(("COUNT must be at most the layout's " + std::to_string(pts.size()) + " points").c_str());
    }
    return pts;
}

void run_point(const tulo::DistType* metric, const char* layout, long count) {
    const std::vector<Vector3> pts = layout_points(layout, count);
    float F[2];
    tulo::cellular_basis(metric, &kUnitWeights, pts[0].x, pts[0].y, pts[0].z, 2, F, nullptr, nullptr);
    keep(F);
    std::printf("kernel %s\n", tulo::cellular_kernel_name());
    for (long i = 0; i < count; ++i) {
        const Vector3& p = pts[static_cast<std::size_t>(i)];
        tulo::cellular_basis(metric, &kUnitWeights, p.x, p.y, p.z, 2, F, nullptr, nullptr);
        keep(F);
    }
}

void run_array(const tulo::DistType* metric, const char* layout, long count) {
    const std::vector<Vector3> pts = layout_points(layout, count);
    std::vector<float> F(2 * pts.size());
    tulo::BatchOptions one;
    one.threads = 1;
    tulo::cellular_basis_batch(metric, &kUnitWeights, pts.data(), kWarmUpPoints, 2, F.data(), nullptr, nullptr, one);
    keep(F[0]);
    std::printf("kernel %s\n", tulo::cellular_kernel_name());
    if (count > 0) {
        tulo::cellular_basis_batch(metric, &kUnitWeights, pts.data(), static_cast<std::size_t>(count), 2, F.data(),
                                   nullptr, nullptr, one);
        keep(F[0]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage("no case given");
    const std::string which = argv[1];
    // The kernel the library chose must be the one the cap asks for.
    if (const char* cap = std::getenv("TULO_CELLULAR_MAX_ISA")) {
        if (strcasecmp(cap, tulo::cellular_kernel_name()) != 0) {
            std::fprintf(stderr, "aarch64_driver: kernel %s asked for, %s in use\n", cap, tulo::cellular_kernel_name());
            return 1;
        }
    }
    if (which == "basis" && argc == 4) {
        run_basis(metric_arg(argv[2]), parse(argv[3], "COUNT", 0, kMaxCount));
    } else if (which == "shader" && argc == 5) {
        run_shader(static_cast<int32_t>(parse(argv[2], "METRIC", 1, 3)),
                   static_cast<int32_t>(parse(argv[3], "OCTAVES", tulo::kMinOctaves, tulo::kMaxOctaves)),
                   parse(argv[4], "COUNT", 0, kMaxCount));
    } else if (which == "point" && argc == 5) {
        run_point(metric_arg(argv[2]), argv[3], parse(argv[4], "COUNT", 0, kMaxCount));
    } else if (which == "array" && argc == 5) {
        run_array(metric_arg(argv[2]), argv[3], parse(argv[4], "COUNT", 0, kMaxCount));
    } else {
        usage(("unknown case or wrong number of arguments: '" + which + "'").c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
