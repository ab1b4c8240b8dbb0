// The texture for arrays: chunks across the basis's pool, each shaded in the
// default floating-point environment; see texture_batch.h.
#include "shader/texture_batch.h"

#include "cellular/arguments.h"
#include "cellular/float_environment.h"
#include "cellular/lattice.h"
#include "cellular/parallel.h"
#include "shader/shading.h"

namespace tulo {
namespace {

struct TextureCall {
    ShadingInputs inputs;
    const Vector3* points;
    Color* results;  // colours, or
    float* values;   // blend factors
};

void texture_chunk(void* context, std::size_t begin, std::size_t end) {
    const TextureCall& c = *static_cast<const TextureCall*>(context);
    // shade_points and blend_factors are calls no compiler sees into
    // (TULO_GUARDED_WORK): their arithmetic stays inside the guard.
    const DefaultFloatEnvironment environment;
    if (c.results != nullptr) {
        shade_points(c.inputs, c.points + begin, end - begin, c.results + begin);
    } else {
        blend_factors(c.inputs, c.points + begin, end - begin, c.values + begin);
    }
}

}  // namespace

bool texture_batch(const CellularTextureParams& params, const Vector3* points, std::size_t count, Color* results,
                   const BatchOptions& options) {
    constexpr const char* kEntry = "texture_batch";
    detail::check_array(kEntry, "points", points, count);
    detail::check_array(kEntry, "results", results, count);
    TextureCall call{resolve_parameters(params), points, results, nullptr};
    return detail::run_batch(kEntry, texture_chunk, &call, count, kBatchChunk, options);
}

bool texture_values_batch(const CellularTextureParams& params, const Vector3* points, std::size_t count, float* values,
                          const BatchOptions& options) {
    constexpr const char* kEntry = "texture_values_batch";
    detail::check_array(kEntry, "points", points, count);
    detail::check_array(kEntry, "values", values, count);
    TextureCall call{resolve_parameters(params), points, nullptr, values};
    return detail::run_batch(kEntry, texture_chunk, &call, count, kBatchChunk, options);
}

namespace {

ShadingInputs inputs_on(const char* entry, const CellularTextureParams& params, const Lattice& lattice) {
    detail::check_lattice(entry, lattice);
    ShadingInputs in = resolve_parameters(params);
    in.other_lattice = !detail::is_plugin_lattice(lattice);
    in.lattice = lattice::lattice_hash(lattice);
    return in;
}

}  // namespace

bool texture_batch(const CellularTextureParams& params, const Lattice& lattice, const Vector3* points,
                   std::size_t count, Color* results, const BatchOptions& options) {
    constexpr const char* kEntry = "texture_batch";
    detail::check_array(kEntry, "points", points, count);
    detail::check_array(kEntry, "results", results, count);
    TextureCall call{inputs_on(kEntry, params, lattice), points, results, nullptr};
    return detail::run_batch(kEntry, texture_chunk, &call, count, kBatchChunk, options);
}

bool texture_values_batch(const CellularTextureParams& params, const Lattice& lattice, const Vector3* points,
                          std::size_t count, float* values, const BatchOptions& options) {
    constexpr const char* kEntry = "texture_values_batch";
    detail::check_array(kEntry, "points", points, count);
    detail::check_array(kEntry, "values", values, count);
    TextureCall call{inputs_on(kEntry, params, lattice), points, nullptr, values};
    return detail::run_batch(kEntry, texture_chunk, &call, count, kBatchChunk, options);
}

}  // namespace tulo
