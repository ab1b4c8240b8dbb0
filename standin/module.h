// Loading modules and finding symbols in them, for the stand-in renderer:
// the only platform-specific code of the stand-in.
#pragma once

#include <string>

namespace standin {

// Loads a shared library by path; null on failure, with the reason in *error.
void* open_module(const std::string& path, std::string* error);

// The address of an exported symbol of a module, or null.
void* find_symbol(void* module, const char* name);

// The running program's own module, whose exports include mi_phen_eval.
void* program_module();

}  // namespace standin
