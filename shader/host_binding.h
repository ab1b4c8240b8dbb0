// Late binding of renderer operations through the renderer's module handle.
//
// The library does not link against the renderer. miSetModuleHandle stores
// the renderer's module handle; each renderer operation is looked up by name
// in that module the first time it is needed and cached in a table slot. The
// only operation used is mi_phen_eval, which computes a connected parameter.
//
// Diagnostics (standard error, the library's only output):
//   "DYNLOAD: dl_handle null\n"  a lookup with no handle set; it is made
//   anyway, in the main program (as GetProcAddress does with a null module);
//   "dlsym failed on \"mi_phen_eval\" (handle: %08x error: %d)\n"  a failed
//   lookup, with the low 32 bits of the handle and the platform's error code:
//   GetLastError() on Windows; on other platforms, whose lookup gives no
//   code, kNoErrorCode.
#pragma once

#include <cstdint>

namespace tulo {

struct ShadingState;

namespace binding {

// Slots in the renderer-operation table, and the slot of mi_phen_eval.
constexpr int kEntryPointSlots = 668;
constexpr int kPhenEvalSlot = 115;

// Error code printed for a failed lookup where the platform reports none.
constexpr int kNoErrorCode = -1;

// Stores the module handle and clears every slot. Not to be called while a
// shader call is running.
void set_module_handle(void* handle);

// Calls the renderer's mi_phen_eval(state, address), resolving it first if
// needed, and returns what it returns. Returns null without calling anything
// when mi_phen_eval cannot be resolved.
const void* call_phen_eval(ShadingState* state, const void* address);

}  // namespace binding
}  // namespace tulo
