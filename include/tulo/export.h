// Export macro of the shader library.
//
// The library is built with hidden default visibility; only symbols marked
// TULO_API are exported, under their plain C names. CMake defines
// tulo_cellulartexture_EXPORTS while it builds the library itself.
#pragma once

#if defined(_WIN32)
#    if defined(tulo_cellulartexture_EXPORTS)
#        define TULO_API __declspec(dllexport)
#    else
#        define TULO_API __declspec(dllimport)
#    endif
#elif defined(__GNUC__)
#    define TULO_API __attribute__((visibility("default")))
#else
#    define TULO_API
#endif
