// The texture for arrays of points, as the plugin computes it for one
// sample: for every point, r, g and b have the bits that the entry point
// tulo_cellulartexture writes for a state at that point and this parameter
// block (nothing connected), and alpha is zeroed where the entry point
// zeroes it and otherwise kept as the caller left it.
//
// Threads, chunks, stopping, exceptions and the floating-point environment
// as for cellular_basis_batch (cellular/cellular_batch.h); the parameters
// are resolved as the plugin resolves them (clamped or replaced, never
// refused). Null points or results for a non-empty array, or a thread count
// outside 0..kMaxBatchThreads, throw std::invalid_argument.
#pragma once

#include <cstddef>

#include "cellular/cellular_batch.h"
#include "tulo/tulo_cellulartexture.h"

namespace tulo {

// Colours of `count` points into results (read for alpha, then written).
// Returns false only when options.keep_going stopped the call.
bool texture_batch(const CellularTextureParams& params, const Vector3* points, std::size_t count, Color* results,
                   const BatchOptions& options = {});

// The blend factor t of each point (see blend_factors in shading.h).
bool texture_values_batch(const CellularTextureParams& params, const Vector3* points, std::size_t count, float* values,
                          const BatchOptions& options = {});

// Both on another lattice (cellular_basis.h, Lattice): its periods double
// with each octave, so the texture repeats after the periods at every
// octave.
bool texture_batch(const CellularTextureParams& params, const Lattice& lattice, const Vector3* points,
                   std::size_t count, Color* results, const BatchOptions& options = {});
bool texture_values_batch(const CellularTextureParams& params, const Lattice& lattice, const Vector3* points,
                          std::size_t count, float* values, const BatchOptions& options = {});

}  // namespace tulo
