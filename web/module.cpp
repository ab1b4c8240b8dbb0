// The playground's WebAssembly module, for the page's Web Workers.
//
// One instance runs on one thread: the page starts one instance per Web
// Worker and never shares one.
#include "cellular/cellular_batch.h"

#if defined(__EMSCRIPTEN_PTHREADS__)
#    error "the playground's module is built without threads: each Web Worker runs an instance of its own"
#endif

extern "C" {

// The search kernel in use ("sse2": the portable kernel, in WebAssembly SIMD).
const char* tulo_playground_kernel() { return tulo::cellular_kernel_name(); }

}  // extern "C"
