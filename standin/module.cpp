// Module loading with dlopen/dlsym, or LoadLibrary/GetProcAddress on Windows.
#include "standin/module.h"

#if defined(_WIN32)
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <dlfcn.h>
#endif

namespace standin {

#if defined(_WIN32)

void* open_module(const std::string& path, std::string* error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) *error = "Windows error " + std::to_string(GetLastError());
    return module;
}

void* find_symbol(void* module, const char* name) {
    const FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    return reinterpret_cast<void*>(proc);
}

void* program_module() { return GetModuleHandleA(nullptr); }

#else

void* open_module(const std::string& path, std::string* error) {
    // A bare file name is a file in the current folder, not a name for the
    // loader to search its library path with.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // RTLD_LOCAL: the library's own symbols stay out of the global scope,
    // as a renderer loads shader plug-ins.
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = dlerror();
        *error = why ? why : "unknown error";
    }
    return module;
}

void* find_symbol(void* module, const char* name) { return dlsym(module, name); }

void* program_module() {
    static void* const module = dlopen(nullptr, RTLD_NOW);
    return module;
}

#endif

}  // namespace standin
