// libFuzzer target, differential: the loaded shader library, called as a
// renderer calls it, against the sequential reference, bit for bit (r, g, b
// and alpha). The search kernel is the one TULO_CELLULAR_MAX_ISA lets the
// library choose, so a run covers one kernel; CI runs it once per kernel.
//
// A blind fuzzer rarely builds the inputs where kernels go wrong, so the
// bytes choose among hard cases (missing bytes read as zero):
//    1  metric: 1-5, or (high bit) the raw byte as a signed number
//    1  octaves: 0-5, or (high bit) the raw byte as a signed number
//    3  weights: per component a special value (0, -0, subnormal, tiny,
//       huge, infinite, NaN, negative, exponents 0.3, 7.9, 8, 8.1, ...) or
//       a raw float, then moved by a few ulps
//    1  point kind: raw floats; snapped onto a feature point; midway between
//       two feature points of a cube; on a cube face, edge or corner; at the
//       lattice's limit; a few ulps from the previous input's point
//   12  the kind's data (raw floats, or cube, point numbers and ulp moves)
//    1  gain kind: raw, special, or 1/t and its neighbours for the
//       reference's own value t at octave 0 (the colour threshold)
//    4  raw gain
//    1  floating-point mode of the calling thread: flush-to-zero,
//       denormals-are-zero, rounding mode, unmasked traps
//
// The same input then drives the array call (cellular_basis_batch, N = 2,
// the lane kernels for metrics 1-3) on a vector's worth of points around
// the point, each against the reference's basis for that point alone.
//
// Run: differential_fuzzer -close_fd_mask=2 -max_total_time=60 CORPUS_COPY
#include <xmmintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "cellular/cellular_basis.h"
#include "cellular/cellular_batch.h"
#include "cellular/lattice.h"
#include "cellular/testing/search_cases.h"
#include "reference/reference.h"
#include "standin/standin_renderer.h"

namespace {

using tulo::Vector3;

const standin::ShaderLibrary* library = nullptr;

// The input read front to back; missing bytes are zero.
struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(byte()) << (8 * i);
        return w;
    }
    float raw_float() {
        const uint32_t w = word();
        float f;
        std::memcpy(&f, &w, sizeof(f));
        return f;
    }
};

// v moved by `steps` floats (negative: down).
float ulps(float v, int steps) {
    const float toward = steps < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    for (int i = 0; i < (steps < 0 ? -steps : steps); ++i) v = std::nextafter(v, toward);
    return v;
}

// A signed move of -3..3 floats from the low bits of a byte.
int small_move(uint8_t b) { return static_cast<int>(b % 7) - 3; }

float weight(Reader& in) {
    static const float kSpecials[] = {
        1.0f,
        0.0f,
        -0.0f,
        FLT_TRUE_MIN,
        1e-40f,
        1e-30f,
        1e30f,
        3e38f,
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN(),
        -1.0f,
        -0.5f,
        0.3f,
        7.9f,
        8.0f,
        8.1f,
        2.0f,
        0.5f,
        1.5f,
        0.25f,
        4.0f,
    };
    const uint8_t b = in.byte();
    constexpr int kCount = sizeof(kSpecials) / sizeof(kSpecials[0]);
    if (b >= 0xF0) return in.raw_float();
    return ulps(kSpecials[(b >> 3) % kCount], small_move(b));
}

// x with x * DENSITY_SCALE as close to `scaled` as floats allow.
float world(float scaled) {
    float x = scaled / tulo::DENSITY_SCALE;
    for (int i = 0; i < 4; ++i) {
        const float s = x * tulo::DENSITY_SCALE;
        if (s == scaled) break;
        x = std::nextafter(
            x, s < scaled ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity());
    }
    return x;
}

using tulo_test::feature_point;  // point j of a cube, in scaled coordinates

Vector3 previous_point{0.0f, 0.0f, 0.0f};

Vector3 point(Reader& in) {
    const uint8_t kind = in.byte() % 6;
    auto cube = [&in]() { return static_cast<int32_t>(static_cast<int8_t>(in.byte())); };
    Vector3 p;
    switch (kind) {
        case 0: p = {in.raw_float(), in.raw_float(), in.raw_float()}; break;
        case 1: {  // onto a feature point, then a few ulps off
            const int32_t cx = cube(), cy = cube(), cz = cube();
            const Vector3 f = feature_point(cx, cy, cz, in.byte() % 5);
            const uint8_t m = in.byte();
            p = {ulps(world(f.x), small_move(m)), ulps(world(f.y), small_move(m >> 3)),
                 ulps(world(f.z), small_move(in.byte()))};
            break;
        }
        case 2: {  // midway between two points of a cube (near ties)
            const int32_t cx = cube(), cy = cube(), cz = cube();
            const uint8_t j = in.byte();
            const Vector3 a = feature_point(cx, cy, cz, j % 5), b = feature_point(cx, cy, cz, (j / 5) % 5);
            p = {world((a.x + b.x) * 0.5f), world((a.y + b.y) * 0.5f), world((a.z + b.z) * 0.5f)};
            p.x = ulps(p.x, small_move(in.byte()));
            break;
        }
        case 3: {  // on faces, edges or corners of a cube, a few ulps either side
            const uint8_t axes = in.byte();
            p = {in.raw_float(), in.raw_float(), 0.0f};
            float* c[3] = {&p.x, &p.y, &p.z};
            for (int a = 0; a < 3; ++a) {
                if (a == 2 || (axes >> a) & 1) *c[a] = ulps(world(static_cast<float>(cube())), small_move(in.byte()));
                if (!std::isfinite(*c[a]) || std::fabs(*c[a]) > 1e6f) *c[a] = 0.5f;
            }
            break;
        }
        case 4: {  // at the lattice's limit: scaled coordinates near +-2^31
            const uint8_t s = in.byte();
            const float limit = (s & 1) ? 2147483648.0f : -2147483648.0f;
            p = {ulps(world(limit), small_move(s >> 1)), world(static_cast<float>(cube()) + 0.5f), 0.25f};
            break;
        }
        default: {  // a few ulps from the previous point
            const uint8_t m = in.byte();
            p = {ulps(previous_point.x, small_move(m)), ulps(previous_point.y, small_move(m >> 3)),
                 ulps(previous_point.z, small_move(in.byte()))};
            break;
        }
    }
    previous_point = p;
    return p;
}

// MXCSR control bits for the caller's mode: FTZ, DAZ, a rounding mode and
// some unmasked traps (invalid, divide by zero, overflow).
unsigned caller_mode(uint8_t b) {
    unsigned csr = 0x1F80u;                            // the default: all exceptions masked, round to nearest
    if (b & 1) csr |= 0x8000u;                         // flush to zero
    if (b & 2) csr |= 0x0040u;                         // denormals are zero
    csr |= static_cast<unsigned>((b >> 2) & 3) << 13;  // rounding
    if (b & 16) csr &= ~0x0001u;                       // invalid traps
    if (b & 32) csr &= ~0x0004u;                       // divide-by-zero traps
    if (b & 64) csr &= ~0x0008u;                       // overflow traps
    return csr;
}

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    library = &standin::load_or_exit(TULO_LIBRARY_PATH);
    library->set_module_handle(standin::renderer_module_handle());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    standin::ParameterStore store;
    tulo::CellularTextureParams& params = store.params();
    params.color1 = {0.9f, 0.6f, 0.2f, 1.0f};
    params.color2 = {0.1f, 0.3f, 0.7f, 1.0f};
    const uint8_t m = in.byte();
    params.metric = (m & 0x80) ? static_cast<int8_t>(m) : 1 + m % 5;
    const uint8_t o = in.byte();
    params.octaves = (o & 0x80) ? static_cast<int8_t>(o) : o % 6;
    params.weights = {weight(in), weight(in), weight(in)};
    const Vector3 p = point(in);

    // The gain: raw, or at the colour threshold of the point's own value.
    const uint8_t g = in.byte();
    const float raw_gain = in.raw_float();
    if (g % 3 == 0) {
        params.gain = raw_gain;
    } else {
        float F[2];
        const int32_t metric = params.metric < 1 ? 1 : params.metric > 5 ? 5 : params.metric;
        Vector3 w = params.weights;
        if (w.x == 0.0f && w.y == 0.0f && w.z == 0.0f) w = {1.0f, 1.0f, 1.0f};
        reference::cellular_basis(&tulo::metric_by_number(metric), &w, p.x, p.y, p.z, 2, F, nullptr, nullptr);
        const float t = F[1] - F[0];
        params.gain = ulps(g % 3 == 1 ? 1.0f / t : t, small_move(g >> 2));
    }
    const unsigned mode = caller_mode(in.byte());

    const tulo::Color initial{0.25f, 0.5f, 0.75f, 0.125f};
    const tulo::Color expected = reference::shade(params, p, initial);

    standin::ShadingRecord record(store);
    record.set_point(p.x, p.y, p.z);
    tulo::Color got = initial;
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(mode);
    const int32_t status = library->shade_function()(&got, record.state(), &params);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);

    if (status != 1 || (after & 0xFFC0u) != (mode & 0xFFC0u)) __builtin_trap();
    if (bits(expected.r) != bits(got.r) || bits(expected.g) != bits(got.g) || bits(expected.b) != bits(got.b) ||
        bits(expected.a) != bits(got.a)) {
        std::fprintf(stdout, "differs: metric %d octaves %d weights (%a, %a, %a) gain %a point (%a, %a, %a)\n",
                     params.metric, params.octaves, params.weights.x, params.weights.y, params.weights.z, params.gain,
                     p.x, p.y, p.z);
        std::fflush(stdout);
        __builtin_trap();
    }

    // The array call on the point and 16 around it: even ones a few ulps
    // away (lanes sharing the point's cube), odd ones a step of a fifth of a
    // cube further each (lanes in other cubes and places), under the
    // caller's mode as above.
    constexpr int kArray = 17;
    Vector3 around[kArray];
    for (int i = 0; i < kArray; ++i) {
        const float step = static_cast<float>(i / 2) * 0.2f / tulo::DENSITY_SCALE;
        around[i] = (i % 2 == 0) ? Vector3{ulps(p.x, i % 7 - 3), ulps(p.y, i % 5 - 2), p.z}
                                 : Vector3{p.x + step, p.y - 0.5f * step, p.z + 0.25f * step};
    }
    const int32_t metric = params.metric < 1 ? 1 : params.metric > 5 ? 5 : params.metric;
    float F[2 * kArray];
    tulo::BatchOptions one;
    one.threads = 1;
    _mm_setcsr(mode);
    const bool done = tulo::cellular_basis_batch(&tulo::metric_by_number(metric), &params.weights, around, kArray, 2, F,
                                                 nullptr, nullptr, one);
    const unsigned after_batch = _mm_getcsr();
    _mm_setcsr(saved);
    if (!done || (after_batch & 0xFFC0u) != (mode & 0xFFC0u)) __builtin_trap();
    for (int i = 0; i < kArray; ++i) {
        float R[2];
        reference::cellular_basis(&tulo::metric_by_number(metric), &params.weights, around[i].x, around[i].y,
                                  around[i].z, 2, R, nullptr, nullptr);
        if (bits(R[0]) != bits(F[2 * i]) || bits(R[1]) != bits(F[2 * i + 1])) {
            std::fprintf(stdout, "array call differs: metric %d weights (%a, %a, %a) point (%a, %a, %a)\n", metric,
                         params.weights.x, params.weights.y, params.weights.z, around[i].x, around[i].y, around[i].z);
            std::fflush(stdout);
            __builtin_trap();
        }
    }
    return 0;
}
