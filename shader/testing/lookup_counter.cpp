// A small host module for the binding tests: it exports mi_phen_eval as a
// GNU indirect function, whose resolver the dynamic loader runs at every
// dlsym of the name, so the module can count how often the shader library
// looks the operation up. Calls are forwarded to the renderer's own
// mi_phen_eval, set with counter_set_target. Built only where the toolchain
// and loader support indirect functions.
#include <atomic>

namespace {
using PhenEvalFn = void* (*)(void*, void*);
PhenEvalFn target = nullptr;
std::atomic<int> lookups{0};

void* forward(void* state, void* param) { return target(state, param); }
}  // namespace

extern "C" {

__attribute__((visibility("default"))) void counter_set_target(PhenEvalFn fn) { target = fn; }
__attribute__((visibility("default"))) int counter_lookups() { return lookups.load(); }

__attribute__((visibility("hidden"))) PhenEvalFn resolve_mi_phen_eval() {
    lookups.fetch_add(1);
    return forward;
}

__attribute__((visibility("default"))) void* mi_phen_eval(void*, void*) __attribute__((ifunc("resolve_mi_phen_eval")));
}
