// The stand-in renderer: library loading, record layout and mi_phen_eval.
#include "standin/standin_renderer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "standin/module.h"

namespace standin {
namespace {

// Renderer-private byte of the state record that holds the ShadingRecord*.
constexpr std::size_t kSelfPointer = 0;

template <class Fn>
Fn find_entry_point(void* handle, const char* name, std::string* missing) {
    void* address = find_symbol(handle, name);
    if (address == nullptr && missing->empty()) *missing = name;
    Fn fn = nullptr;
    std::memcpy(&fn, &address, sizeof(fn));
    return fn;
}

}  // namespace

std::unique_ptr<ShaderLibrary> ShaderLibrary::load(const std::string& path, std::string* error) {
    std::string why;
    void* handle = open_module(path, &why);
    if (handle == nullptr) {
        *error = "cannot load shader library '" + path + "': " + why;
        return nullptr;
    }
    std::unique_ptr<ShaderLibrary> lib(new ShaderLibrary());
    std::string missing;
    lib->version_ = find_entry_point<VersionFn>(handle, "tulo_cellulartexture_version", &missing);
    lib->shade_ = find_entry_point<ShadeFn>(handle, "tulo_cellulartexture", &missing);
    lib->set_module_handle_ = find_entry_point<SetModuleHandleFn>(handle, "miSetModuleHandle", &missing);
    if (!missing.empty()) {
        *error = "'" + path + "' is not the cellular texture shader: it lacks the entry point '" + missing + "'";
        return nullptr;  // the handle stays open, as a renderer never unloads
    }
    return lib;
}

const ShaderLibrary& load_or_exit(const std::string& path) {
    static const std::unique_ptr<ShaderLibrary> lib = [&path] {
        std::string error;
        auto loaded = ShaderLibrary::load(path, &error);
        if (!loaded) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        return loaded;
    }();
    return *lib;
}

void* renderer_module_handle() { return program_module(); }

ParameterStore::ParameterStore(int32_t tag_offset) : tag_offset_(tag_offset) {
    constexpr std::size_t kBlock = sizeof(CellularTextureParams);
    const std::size_t reach = tag_offset < 0 ? static_cast<std::size_t>(-static_cast<int64_t>(tag_offset))
                                             : static_cast<std::size_t>(tag_offset);
    if (tag_offset != 0 && (reach < kBlock || tag_offset % 4 != 0)) {
        throw std::invalid_argument("connection-tag offset must be 0 or a multiple of 4 of at least 56 bytes");
    }
    // Room for the block and, on the side the offset points to, its tags.
    const std::size_t before = tag_offset < 0 ? reach : 0;
    const std::size_t bytes = before + kBlock + (tag_offset > 0 ? reach : 0);
    storage_.assign((bytes + 7) / 8, 0);
    unsigned char* base = reinterpret_cast<unsigned char*>(storage_.data());
    block_ = new (base + before) CellularTextureParams{};
}

void ParameterStore::set_tag(Param param, int32_t tag) {
    if (tag_offset_ == 0) throw std::logic_error("this parameter block has no connection tags");
    unsigned char* field = reinterpret_cast<unsigned char*>(block_) + static_cast<std::size_t>(param);
    std::memcpy(field + tag_offset_, &tag, sizeof(tag));
}

Param ParameterStore::param_at(const void* address) const {
    // Addresses compared as integers: the one handed in may point into
    // another object (a host that lays out its own block).
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(block_);
    return static_cast<Param>(offset);
}

ShadingRecord::ShadingRecord(const ParameterStore& store, Connections* connections)
    : store_(&store), connections_(connections) {
    const ShadingRecord* self = this;
    std::memcpy(state_ + kSelfPointer, &self, sizeof(self));
    const unsigned char* shader_record = shader_;
    std::memcpy(state_ + tulo::state_layout::kShaderRecord, &shader_record, sizeof(shader_record));
    set_tag_offset(store.tag_offset());
}

void ShadingRecord::set_tag_offset(int32_t offset) {
    std::memcpy(shader_ + tulo::state_layout::kTagOffset, &offset, sizeof(offset));
}

void ShadingRecord::set_point(float x, float y, float z) {
    const tulo::Vector3 p{x, y, z};
    std::memcpy(state_ + tulo::state_layout::kPoint, &p, sizeof(p));
}

tulo::Vector3 ShadingRecord::point() const {
    tulo::Vector3 p;
    std::memcpy(&p, state_ + tulo::state_layout::kPoint, sizeof(p));
    return p;
}

}  // namespace standin

// The renderer operation the shader library looks up by name: computes the
// value of a connected parameter and returns its address (null when this
// record has nothing to compute it with).
extern "C" STANDIN_EXPORT void* mi_phen_eval(void* state, void* param) {
    const standin::ShadingRecord* record;
    std::memcpy(&record, static_cast<unsigned char*>(state) + standin::kSelfPointer, sizeof(record));
    if (record->connections() == nullptr) return nullptr;
    const void* value = record->connections()->evaluate(*record, record->store().param_at(param));
    return const_cast<void*>(value);
}
