# Builds the playground's WebAssembly module with Debian's Emscripten.
#
# Emscripten keeps its C and C++ runtimes, prebuilt by Debian, in a cache
# that it also writes to. The wasm preset points EM_CACHE at a folder inside
# the build folder; this file makes it on first use, with Debian's prebuilt
# sysroot linked in (Debian's configuration freezes the cache, so nothing is
# ever built into it). Emscripten's tools then run with that cache, and with
# NODE_PATH=/usr/share/nodejs (set by the preset), where its optimiser finds
# Debian's acorn whichever node comes first on PATH.
set(tulo_emscripten_root /usr/share/emscripten)
set(tulo_em_cache "$ENV{EM_CACHE}")
if(tulo_em_cache STREQUAL "")
  message(FATAL_ERROR "EM_CACHE is not set: configure with the wasm preset (cmake --preset wasm)")
endif()
if(NOT EXISTS "${tulo_em_cache}/sysroot")
  file(MAKE_DIRECTORY "${tulo_em_cache}")
  file(CREATE_LINK "${tulo_emscripten_root}/cache/sysroot" "${tulo_em_cache}/sysroot" SYMBOLIC)
  file(COPY "${tulo_emscripten_root}/cache/sysroot_install.stamp" DESTINATION "${tulo_em_cache}")
endif()
include("${tulo_emscripten_root}/cmake/Modules/Platform/Emscripten.cmake")
