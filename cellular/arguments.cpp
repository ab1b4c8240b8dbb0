// Checks of the public C++ entries' arguments; see arguments.h.
#include "cellular/arguments.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace tulo {
namespace detail {
namespace {

[[noreturn]] void reject(const char* entry, const std::string& what) {
    throw std::invalid_argument(std::string(entry) + ": " + what);
}

}  // namespace

void check_basis_arguments(const char* entry, const DistType* metric, const Vector3* weights, int32_t N) {
    if (metric == nullptr) reject(entry, "metric is null (use tulo::euclidian or metric_by_number)");
    if (weights == nullptr) reject(entry, "weights is null (pass a Vector3, {1, 1, 1} for unweighted)");
    if (N < 1) reject(entry, "N must be at least 1, got " + std::to_string(N));
}

void check_array(const char* entry, const char* name, const void* pointer, std::size_t count) {
    if (pointer == nullptr && count > 0) {
        reject(entry, std::string(name) + " is null" + (count > 1 ? " for " + std::to_string(count) + " points" : ""));
    }
}

void check_array_size(const char* entry, std::size_t count, std::size_t per_point, std::size_t element_size) {
    if (per_point != 0 && count > std::numeric_limits<std::size_t>::max() / per_point / element_size) {
        reject(entry, "count " + std::to_string(count) + " times " + std::to_string(per_point) +
                          " outputs a point exceeds the address space");
    }
}

}  // namespace detail
}  // namespace tulo
