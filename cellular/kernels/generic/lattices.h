// How a search hashes a cube, per target (see generic/target.h): on the
// plugin's lattice, or on another one with periods and a seed
// (cellular_basis.h, Lattice). The searches take either as a template
// argument, so that the plugin's costs nothing more.
#pragma once

#include <cstdint>

#include "cellular/kernels/generic/target.h"
#include "cellular/lattice.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

// hash(c, d): the hash of the cube d cells from cube c (c's own with d 0).
struct PluginLattice {
    static constexpr bool kPlugin = true;
    uint32_t hash(const int32_t* c, const int32_t* d) const {
        return lattice::cube_hash(lattice::wrap_add(c[0], d[0]), lattice::wrap_add(c[1], d[1]),
                                  lattice::wrap_add(c[2], d[2]));
    }
};

struct OtherLattice {
    static constexpr bool kPlugin = false;
    lattice::LatticeHash l;
    uint32_t hash(const int32_t* c, const int32_t* d) const {
        return lattice::lattice_cube_hash(l, c[0], c[1], c[2], d[0], d[1], d[2]);
    }
};

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo
