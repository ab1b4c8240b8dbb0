// Checks of the public C++ entries' arguments, made in every build (unlike
// TULO_PRECONDITION, which guards internal functions in checked builds
// only). A failed check throws std::invalid_argument whose message names the
// entry, the argument and what it accepts, before the entry writes
// anything. The plugin's entry point never comes here: it clamps or
// replaces every value it fetches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cellular/dist_type.h"
#include "cellular/vector3.h"

namespace tulo {
namespace detail {

// metric and weights not null, N >= 1.
void check_basis_arguments(const char* entry, const DistType* metric, const Vector3* weights, int32_t N);

// `pointer` not null when count > 0 (an empty array may be null).
void check_array(const char* entry, const char* name, const void* pointer, std::size_t count);

// count * per_point elements of `element_size` bytes fit in memory's range.
void check_array_size(const char* entry, std::size_t count, std::size_t per_point, std::size_t element_size);

}  // namespace detail
}  // namespace tulo
