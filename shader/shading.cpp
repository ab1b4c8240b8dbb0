// The shader's computation of one sample; see shading.h.
#include "shader/shading.h"

#include <algorithm>
#include <cstring>

#include "cellular/cellular_basis.h"
#include "cellular/lattice.h"

namespace tulo {
namespace {

// Nearest feature points the shader asks the basis for: F1 and F2.
constexpr int32_t kKeptDistances = 2;

// Whether f is +0 or -0, decided on its bits: the same answer as f == 0.0f
// in the default environment, also where denormals-are-zero would call a
// subnormal zero.
bool is_zero(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return (u & 0x7FFFFFFFu) == 0;
}

}  // namespace

int32_t clamp_int(int32_t value, int32_t lo, int32_t hi) {
    if (value < lo) return lo;
    if (value > hi) return hi;
    return value;
}

ShadingInputs resolve_parameters(const CellularTextureParams& fetched) {
    ShadingInputs in;
    in.color1 = fetched.color1;
    in.color2 = fetched.color2;
    in.metric = &detail::clamped_metric(fetched.metric);
    // All-zero weights (either sign of zero; not NaN) mean unweighted.
    in.weights = fetched.weights;
    if (is_zero(in.weights.x) && is_zero(in.weights.y) && is_zero(in.weights.z)) in.weights = {1.0f, 1.0f, 1.0f};
    in.octaves = clamp_int(fetched.octaves, kMinOctaves, kMaxOctaves);
    in.gain = fetched.gain;
    return in;
}

namespace {

// The octave sum's next term, (F2 - F1 at the point times 2^i) times
// a = 2^-i, added to the sum so far.
inline float add_octave(float t, float difference, float a) { return t + difference * a; }

inline void double_point(Vector3* p) {
    p->x *= 2.0f;
    p->y *= 2.0f;
    p->z *= 2.0f;
}

// The gain applied to the octave sum t: the blend factor, or 0 with *cut set
// when t lies beyond the gain's limit.
inline float normalise(float t, float gain, bool* cut) {
    // A positive gain g limits t to 1/g and scales by g.
    float k = gain;
    if (k > 0.0f) k = 1.0f / k;
    *cut = t > k;
    return *cut ? 0.0f : t / k;  // NaN stays NaN; gain 0 with t 0 gives NaN
}

// The colour for blend factor t; beyond the limit every component, alpha
// too, is zeroed first, otherwise alpha keeps what the caller left.
inline void blend(const ShadingInputs& in, float t, bool cut, Color* result) {
    if (cut) *result = Color{0.0f, 0.0f, 0.0f, 0.0f};
    const float s = 1.0f - t;
    result->r = in.color2.r * s + in.color1.r * t;
    result->g = in.color2.g * s + in.color1.g * t;
    result->b = in.color2.b * s + in.color1.b * t;
}

// Points whose octave sums are formed together: the arrays live on the stack.
constexpr std::size_t kBlock = 256;

// The octave sums of up to kBlock points, each octave's basis for all of
// them at once (the basis for arrays), then added in the order the
// single-sample path adds them.
void octave_sums(const ShadingInputs& in, const Vector3* points, std::size_t n, float* t) {
    float F[kKeptDistances * kBlock];
    lattice::LatticeHash octave_lattice = in.lattice;
    const lattice::LatticeHash* l = in.other_lattice ? &octave_lattice : nullptr;
    detail::basis_points(in.metric, &in.weights, points, n, kKeptDistances, F, nullptr, nullptr, l);
    for (std::size_t i = 0; i < n; ++i) t[i] = F[2 * i + 1] - F[2 * i];
    Vector3 p[kBlock];
    float a = 0.5f;
    for (int32_t octave = 1; octave <= in.octaves; ++octave) {
        for (std::size_t i = 0; i < n; ++i) {
            if (octave == 1) p[i] = points[i];
            double_point(&p[i]);
        }
        for (uint32_t& period : octave_lattice.period) period *= 2;  // at most kMaxPeriod * 32 < 2^31
        detail::basis_points(in.metric, &in.weights, p, n, kKeptDistances, F, nullptr, nullptr, l);
        for (std::size_t i = 0; i < n; ++i) t[i] = add_octave(t[i], F[2 * i + 1] - F[2 * i], a);
        a *= 0.5f;
    }
}

}  // namespace

void shade_sample(const ShadingInputs& in, const Vector3& point, Color* result) {
    // F2 - F1 at the point, plus halving shares of it at doubling
    // frequencies. The octaves' points first, then their bases in one call
    // (independent searches, run together), summed in octave order.
    Vector3 p[kMaxOctaves + 1];
    p[0] = point;
    for (int32_t i = 1; i <= in.octaves; ++i) {
        p[i] = p[i - 1];
        double_point(&p[i]);
    }
    float F[kKeptDistances * (kMaxOctaves + 1)];
    detail::sample_basis(in.metric, &in.weights, p, in.octaves + 1, F);
    float t = F[1] - F[0];
    float a = 0.5f;
    for (int32_t i = 1; i <= in.octaves; ++i) {
        t = add_octave(t, F[2 * i + 1] - F[2 * i], a);
        a *= 0.5f;
    }
    bool cut;
    t = normalise(t, in.gain, &cut);
    blend(in, t, cut, result);
}

namespace {

// Calls finish(i, blend factor, cut) for every point, block by block.
template <class Finish>
void normalised_sums(const ShadingInputs& in, const Vector3* points, std::size_t count, Finish&& finish) {
    float t[kBlock];
    for (std::size_t first = 0; first < count; first += kBlock) {
        const std::size_t n = std::min(kBlock, count - first);
        octave_sums(in, points + first, n, t);
        for (std::size_t i = 0; i < n; ++i) {
            bool cut;
            const float value = normalise(t[i], in.gain, &cut);
            finish(first + i, value, cut);
        }
    }
}

}  // namespace

void shade_points(const ShadingInputs& in, const Vector3* points, std::size_t count, Color* results) {
    normalised_sums(in, points, count, [&](std::size_t i, float t, bool cut) { blend(in, t, cut, &results[i]); });
}

void blend_factors(const ShadingInputs& in, const Vector3* points, std::size_t count, float* values) {
    normalised_sums(in, points, count, [&](std::size_t i, float t, bool) { values[i] = t; });
}

}  // namespace tulo
