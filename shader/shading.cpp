// The shader's computation of one sample; see shading.h.
#include "shader/shading.h"

#include <cstring>

#include "cellular/cellular_basis.h"

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

// F2 - F1 at (x, y, z).
float basis_difference(const ShadingInputs& in, float x, float y, float z) {
    float F[kKeptDistances];
    cellular_basis(in.metric, &in.weights, x, y, z, kKeptDistances, F, nullptr, nullptr);
    return F[1] - F[0];
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
    in.metric = &metric_by_number(clamp_int(fetched.metric, kFirstMetric, kLastMetric));
    // All-zero weights (either sign of zero; not NaN) mean unweighted.
    in.weights = fetched.weights;
    if (is_zero(in.weights.x) && is_zero(in.weights.y) && is_zero(in.weights.z)) in.weights = {1.0f, 1.0f, 1.0f};
    in.octaves = clamp_int(fetched.octaves, kMinOctaves, kMaxOctaves);
    in.gain = fetched.gain;
    return in;
}

void shade_sample(const ShadingInputs& in, const Vector3& point, Color* result) {
    // F2 - F1 at the point, plus halving shares of it at doubling frequencies.
    Vector3 p = point;
    float t = basis_difference(in, p.x, p.y, p.z);
    float a = 0.5f;
    for (int32_t i = 1; i <= in.octaves; ++i) {
        p.x *= 2.0f;
        p.y *= 2.0f;
        p.z *= 2.0f;
        const float share = basis_difference(in, p.x, p.y, p.z) * a;
        a *= 0.5f;
        t = t + share;
    }

    // Normalise by the gain: a positive gain g limits t to 1/g and scales by g.
    float k = in.gain;
    if (k > 0.0f) k = 1.0f / k;
    if (t > k) {
        // Beyond the limit: color2 with every component, alpha too, zeroed first.
        *result = Color{0.0f, 0.0f, 0.0f, 0.0f};
        t = 0.0f;
    } else {
        t = t / k;  // NaN stays NaN; gain 0 with t 0 gives NaN
    }

    // Blend; alpha keeps what the caller (or the branch above) left there.
    const float s = 1.0f - t;
    result->r = in.color2.r * s + in.color1.r * t;
    result->g = in.color2.g * s + in.color1.g * t;
    result->b = in.color2.b * s + in.color1.b * t;
}

}  // namespace tulo
