// The shader entry points: parameter fetch, octave sum and colour blend.
#include "shader/tulo_cellulartexture.h"

#include <cstring>

#include "cellular/cellular_basis.h"
#include "cellular/dist_type.h"
#include "shader/host_binding.h"

namespace tulo {
namespace {

// Bytes of the renderer's records at `offset`, copied into a T.
template <class T>
T read_at(const void* record, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof(T));
    return value;
}

// The connection-tag offset of the shader being run (0: nothing connected).
int32_t connection_tag_offset(const ShadingState* state) {
    const void* shader_record = read_at<const void*>(state, state_layout::kShaderRecord);
    return read_at<int32_t>(shader_record, state_layout::kTagOffset);
}

// Fetches one parameter: the value stored in the block, unless the renderer
// marks it connected, in which case it is the value mi_phen_eval computes.
// The offset is read afresh for every parameter, and the value is copied
// before anything else is fetched (the renderer may reuse its buffer).
//
// A connected parameter whose value cannot be computed (mi_phen_eval cannot
// be resolved, or returns null) takes the value stored in the block.
template <class T>
T eval_param(ShadingState* state, const T* address) {
    const void* source = address;
    const int32_t offset = connection_tag_offset(state);
    if (offset != 0) {
        // The tag lies beside the block, at a sign-extended byte offset from
        // the parameter; the address is formed in unsigned arithmetic.
        const std::uintptr_t tag_address = reinterpret_cast<std::uintptr_t>(address) +
                                           static_cast<std::uintptr_t>(static_cast<std::intptr_t>(offset));
        int32_t tag;
        std::memcpy(&tag, reinterpret_cast<const void*>(tag_address), sizeof(tag));
        if (tag != 0) {
            const void* computed = binding::call_phen_eval(state, address);
            if (computed != nullptr) source = computed;
        }
    }
    T value;
    std::memcpy(&value, source, sizeof(T));
    return value;
}

int32_t clamp_int(int32_t value, int32_t lo, int32_t hi) {
    if (value < lo) return lo;
    if (value > hi) return hi;
    return value;
}

// Octave counts the shader accepts (each one doubles the frequency).
constexpr int32_t kMinOctaves = 0;
constexpr int32_t kMaxOctaves = 5;

// Nearest feature points the shader asks the basis for: F1 and F2.
constexpr int32_t kKeptDistances = 2;

}  // namespace
}  // namespace tulo

using namespace tulo;

extern "C" TULO_API int32_t tulo_cellulartexture_version() { return 1; }

extern "C" TULO_API void miSetModuleHandle(void* handle) { binding::set_module_handle(handle); }

extern "C" TULO_API int32_t tulo_cellulartexture(Color* result, ShadingState* state,
                                                 CellularTextureParams* params) {
    const Color color1 = eval_param(state, &params->color1);
    const Color color2 = eval_param(state, &params->color2);

    // The metric objects are constant-initialised at load, so they already exist.
    const int32_t m = clamp_int(eval_param(state, &params->metric), kFirstMetric, kLastMetric);
    const DistType* metric = &metric_by_number(m);

    // All-zero weights (either sign of zero; not NaN) mean unweighted.
    Vector3 weights = eval_param(state, &params->weights);
    if (weights.x == 0.0f && weights.y == 0.0f && weights.z == 0.0f) weights = {1.0f, 1.0f, 1.0f};

    Vector3 p = read_at<Vector3>(state, state_layout::kPoint);

    // F2 - F1 at the point, plus halving shares of it at doubling frequencies.
    float F[kKeptDistances];
    cellular_basis(metric, &weights, p.x, p.y, p.z, kKeptDistances, F, nullptr, nullptr);
    float t = F[1] - F[0];

    const int32_t n = clamp_int(eval_param(state, &params->octaves), kMinOctaves, kMaxOctaves);
    float a = 0.5f;
    for (int32_t i = 1; i <= n; ++i) {
        p.x *= 2.0f;
        p.y *= 2.0f;
        p.z *= 2.0f;
        cellular_basis(metric, &weights, p.x, p.y, p.z, kKeptDistances, F, nullptr, nullptr);
        const float share = (F[1] - F[0]) * a;
        a *= 0.5f;
        t = t + share;
    }

    // Normalise by the gain: a positive gain g limits t to 1/g and scales by g.
    float k = eval_param(state, &params->gain);
    if (k > 0.0f) k = 1.0f / k;
    if (t > k) {
        // Beyond the limit: colour2 with every component, alpha too, zeroed first.
        *result = Color{0.0f, 0.0f, 0.0f, 0.0f};
        t = 0.0f;
    } else {
        t = t / k;  // NaN stays NaN; gain 0 with t 0 gives NaN
    }

    // Blend; alpha keeps what the renderer (or the branch above) left there.
    const float s = 1.0f - t;
    result->r = color2.r * s + color1.r * t;
    result->g = color2.g * s + color1.g * t;
    result->b = color2.b * s + color1.b * t;
    return 1;
}
