// A stand-in renderer: the host side of the shader library's contract, for
// tests and tools that need to run the shader without a production renderer.
//
// It does what a renderer does: loads the library file by path, hands over
// its own module handle with miSetModuleHandle, lays out the 64-bit
// shading-state record (point at byte 196, shader-record pointer at 312) and
// a shader record (connection-tag offset at byte 96), keeps connection tags
// beside the parameter block, and exports mi_phen_eval so that the library
// finds it by name. Programs that use it must export their symbols
// (ENABLE_EXPORTS in CMake), as a renderer executable does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tulo/tulo_cellulartexture.h"

namespace standin {

using tulo::CellularTextureParams;
using tulo::Color;

// The shader library, loaded by path. It is never unloaded: a renderer keeps
// shader libraries for the life of the process.
class ShaderLibrary {
public:
    using VersionFn = int32_t (*)();
    using ShadeFn = int32_t (*)(Color*, tulo::ShadingState*, CellularTextureParams*);
    using SetModuleHandleFn = void (*)(void*);

    // Loads the library and finds its three entry points; on failure returns
    // null and says why in *error.
    static std::unique_ptr<ShaderLibrary> load(const std::string& path, std::string* error);

    int32_t version() const { return version_(); }
    void set_module_handle(void* handle) const { set_module_handle_(handle); }
    ShadeFn shade_function() const { return shade_; }

private:
    ShaderLibrary() = default;
    VersionFn version_ = nullptr;
    ShadeFn shade_ = nullptr;
    SetModuleHandleFn set_module_handle_ = nullptr;
};

// The module handle of the running program, which exports mi_phen_eval.
// The library at `path` for a program that cannot run without it: loaded
// on the first call and kept; on failure says why on standard error and
// exits with 1.
const ShaderLibrary& load_or_exit(const std::string& path);

void* renderer_module_handle();

// Field offsets of the parameter block, as the renderer names them.
enum class Param : std::size_t {
    color1 = offsetof(CellularTextureParams, color1),
    color2 = offsetof(CellularTextureParams, color2),
    metric = offsetof(CellularTextureParams, metric),
    weights = offsetof(CellularTextureParams, weights),
    octaves = offsetof(CellularTextureParams, octaves),
    gain = offsetof(CellularTextureParams, gain),
};

// The parameter block with a connection tag for each parameter, at a fixed
// byte offset from it (before or after the block), in one buffer.
class ParameterStore {
public:
    // tag_offset 0: nothing can be connected. Otherwise a multiple of 4 whose
    // size is at least that of the block, so tags and block never overlap.
    explicit ParameterStore(int32_t tag_offset = 0);
    // The block lives in the store's own buffer: a copy would point into
    // the original's.
    ParameterStore(const ParameterStore&) = delete;
    ParameterStore& operator=(const ParameterStore&) = delete;

    CellularTextureParams& params() { return *block_; }
    const CellularTextureParams& params() const { return *block_; }
    int32_t tag_offset() const { return tag_offset_; }

    // Sets the connection tag of `param` (0 means read directly).
    void set_tag(Param param, int32_t tag);
    void connect(Param param) { set_tag(param, 1); }

    // Which parameter an address handed to mi_phen_eval names.
    Param param_at(const void* address) const;

private:
    std::vector<std::uint64_t> storage_;  // 8-byte aligned
    CellularTextureParams* block_ = nullptr;
    int32_t tag_offset_ = 0;
};

class ShadingRecord;

// Computes connected parameters; mi_phen_eval calls it. The returned address
// must stay valid until the shader has copied the value.
class Connections {
public:
    virtual const void* evaluate(const ShadingRecord& record, Param param) = 0;

protected:
    ~Connections() = default;
};

// One thread's shading-state record and shader record, as the renderer lays
// them out. Renderer-private fields (outside the bytes the shader reads)
// point back to this object so that mi_phen_eval can find the connections.
class ShadingRecord {
public:
    explicit ShadingRecord(const ParameterStore& store, Connections* connections = nullptr);
    ShadingRecord(const ShadingRecord&) = delete;
    ShadingRecord& operator=(const ShadingRecord&) = delete;

    void set_point(float x, float y, float z);
    tulo::Vector3 point() const;
    // Overrides the connection-tag offset the shader record carries (by
    // default the store's), for hosts that lay out their own tags.
    void set_tag_offset(int32_t offset);
    const ParameterStore& store() const { return *store_; }
    Connections* connections() const { return connections_; }
    tulo::ShadingState* state() { return reinterpret_cast<tulo::ShadingState*>(state_); }

    // Size of the renderer's 64-bit state and shader records.
    static constexpr std::size_t kStateBytes = 320;
    static constexpr std::size_t kShaderRecordBytes = 104;

private:
    alignas(8) unsigned char state_[kStateBytes] = {};
    alignas(8) unsigned char shader_[kShaderRecordBytes] = {};
    const ParameterStore* store_;
    Connections* connections_;
};

// Shades one sample at the record's point: the renderer's per-sample call.
inline int32_t shade(const ShaderLibrary& lib, ShadingRecord& record, ParameterStore& store, Color* result) {
    return lib.shade_function()(result, record.state(), &store.params());
}

}  // namespace standin

// Marks the stand-in's mi_phen_eval for export from the program (a test
// builds the stand-in with STANDIN_NO_EXPORT to play a renderer that does not).
#if defined(STANDIN_NO_EXPORT)
#    define STANDIN_EXPORT
#elif defined(_WIN32)
#    define STANDIN_EXPORT __declspec(dllexport)
#else
#    define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

// The renderer operation the shader library looks up by name (defined by
// the stand-in and exported from the program).
extern "C" STANDIN_EXPORT void* mi_phen_eval(void* state, void* param);
