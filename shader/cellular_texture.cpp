// The shader entry points: parameter fetch, then the computation of the
// sample in the default floating-point environment.
#include "tulo/tulo_cellulartexture.h"

#include <cstring>

#include "cellular/float_environment.h"
#include "shader/host_binding.h"
#include "shader/shading.h"

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
void eval_param(ShadingState* state, const T* address, T* out, bool* called_renderer) {
    const void* source = address;
    const int32_t offset = connection_tag_offset(state);
    if (offset != 0) {
        // The tag lies beside the block, at a sign-extended byte offset from
        // the parameter; the address is formed in unsigned arithmetic.
        const std::uintptr_t tag_address =
            reinterpret_cast<std::uintptr_t>(address) + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(offset));
        int32_t tag;
        std::memcpy(&tag, reinterpret_cast<const void*>(tag_address), sizeof(tag));
        if (tag != 0) {
            *called_renderer = true;
            const void* computed = binding::call_phen_eval(state, address);
            if (computed != nullptr) source = computed;
        }
    }
    std::memcpy(out, source, sizeof(T));
}

// Every parameter, fetched once each in the renderer's order: color1,
// color2, metric, weights, octaves, gain. Nothing here is float arithmetic,
// and mi_phen_eval runs in the renderer's own floating-point mode.
// *called_renderer tells whether mi_phen_eval ran.
CellularTextureParams fetch_parameters(ShadingState* state, const CellularTextureParams* params,
                                       bool* called_renderer) {
    CellularTextureParams fetched;
    eval_param(state, &params->color1, &fetched.color1, called_renderer);
    eval_param(state, &params->color2, &fetched.color2, called_renderer);
    eval_param(state, &params->metric, &fetched.metric, called_renderer);
    eval_param(state, &params->weights, &fetched.weights, called_renderer);
    eval_param(state, &params->octaves, &fetched.octaves, called_renderer);
    eval_param(state, &params->gain, &fetched.gain, called_renderer);
    return fetched;
}

}  // namespace
}  // namespace tulo

using namespace tulo;

extern "C" TULO_API int32_t tulo_cellulartexture_version() { return 1; }

extern "C" TULO_API void miSetModuleHandle(void* handle) { binding::set_module_handle(handle); }

extern "C" TULO_API int32_t tulo_cellulartexture(Color* result, ShadingState* state, CellularTextureParams* params) {
    // The floating-point mode is read first, so that the read's latency
    // passes during the fetch; read again if the renderer ran meanwhile.
    const FloatState entry_state = read_float_state();
    // The metric objects are constant-initialised at load, so they exist
    // before the metric number is fetched.
    bool called_renderer = false;
    const ShadingInputs inputs = resolve_parameters(fetch_parameters(state, params, &called_renderer));
    const Vector3 point = read_at<Vector3>(state, state_layout::kPoint);
    // shade_sample is a call no compiler sees into (TULO_GUARDED_WORK) and
    // writes *result, so its arithmetic stays in the guarded stretch.
    const DefaultFloatEnvironment environment(called_renderer ? read_float_state() : entry_state);
    shade_sample(inputs, point, result);
    return 1;
}
