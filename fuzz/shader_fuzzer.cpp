// libFuzzer target: arbitrary bytes as the parameter block, the sample
// point, the connection-tag offset and tags, and the values the renderer's
// mi_phen_eval answers with (or a null answer). The shader must return 1 and
// write nothing but the result colour: r, g, b, and alpha only to 0.
//
// Input layout (missing bytes read as zero):
//   56  parameter block
//   12  sample point
//    4  connection-tag offset (folded into the tag area, see below)
//    1  control: bit 0 null module handle, bit 1 a module without
//       mi_phen_eval, bit 2 mi_phen_eval answers null
//   ... tag area and mi_phen_eval answers, repeated as needed
//
// Run: shader_fuzzer -close_fd_mask=2 -max_total_time=60 CORPUS_COPY
#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "standin/standin_renderer.h"

namespace {

// Tags may lie up to this many bytes before or after a parameter.
constexpr int32_t kTagReach = 1024;
constexpr size_t kBlock = sizeof(tulo::CellularTextureParams);
constexpr size_t kArea = kTagReach + kBlock + kTagReach;

const standin::ShaderLibrary* library = nullptr;
void* module_without_op = nullptr;

// Where mi_phen_eval's answers come from, and whether it answers null.
const uint8_t* answer_bytes = nullptr;
size_t answer_size = 0;
size_t answer_next = 0;
bool answer_null = false;
alignas(16) unsigned char answer[16];

// The stand-in's connections: each answer is the next 16 input bytes.
class FuzzConnections final : public standin::Connections {
public:
    const void* evaluate(const standin::ShadingRecord&, standin::Param) override {
        if (answer_null) return nullptr;
        for (unsigned char& b : answer) b = answer_size ? answer_bytes[answer_next++ % answer_size] : 0;
        return answer;
    }
};

void fill(unsigned char* out, size_t n, const uint8_t*& data, size_t& size) {
    const size_t k = n < size ? n : size;
    std::memcpy(out, data, k);
    std::memset(out + k, 0, n - k);
    data += k;
    size -= k;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    library = &standin::load_or_exit(TULO_LIBRARY_PATH);
    module_without_op = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    // The binding's diagnostics flood standard error: run with
    // -close_fd_mask=2 (libFuzzer keeps its own output).
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parameter block inside a tag area the offset cannot leave.
    alignas(16) unsigned char block_bytes[kBlock];
    fill(block_bytes, kBlock, data, size);
    unsigned char point[12];
    fill(point, sizeof(point), data, size);
    unsigned char raw_offset[4];
    fill(raw_offset, 4, data, size);
    unsigned char control = 0;
    fill(&control, 1, data, size);

    uint32_t u;
    std::memcpy(&u, raw_offset, 4);
    const int32_t offset = u == 0 ? 0 : static_cast<int32_t>(u % (2 * kTagReach + 1)) - kTagReach;

    standin::ParameterStore store(0);
    alignas(16) static unsigned char area[kArea];
    for (size_t i = 0; i < kArea; ++i) area[i] = size ? data[i % size] : 0;
    std::memcpy(area + kTagReach, block_bytes, kBlock);
    auto* params = reinterpret_cast<tulo::CellularTextureParams*>(area + kTagReach);

    answer_bytes = data;
    answer_size = size;
    answer_next = kArea;
    answer_null = control & 4;

    if (control & 1)
        library->set_module_handle(nullptr);
    else if (control & 2)
        library->set_module_handle(module_without_op);
    else
        library->set_module_handle(standin::renderer_module_handle());

    // The stand-in's records, with the fuzzed offset in the shader record.
    FuzzConnections connections;
    standin::ShadingRecord record(store, &connections);
    record.set_tag_offset(offset);
    float p[3];
    std::memcpy(p, point, sizeof(p));
    record.set_point(p[0], p[1], p[2]);

    // Guards around the result; copies of everything the shader may read.
    alignas(16) unsigned char result_area[48];
    std::memset(result_area, 0xC3, sizeof(result_area));
    auto* result = reinterpret_cast<tulo::Color*>(result_area + 16);
    *result = {0.25f, 0.5f, 0.75f, 0.125f};
    static unsigned char area_before[kArea];
    std::memcpy(area_before, area, kArea);
    unsigned char state_before[standin::ShadingRecord::kStateBytes];
    std::memcpy(state_before, record.state(), sizeof(state_before));

    const int32_t status = library->shade_function()(result, record.state(), params);

    if (status != 1) __builtin_trap();
    for (int i = 0; i < 16; ++i)
        if (result_area[i] != 0xC3 || result_area[32 + i] != 0xC3) __builtin_trap();
    if (!(result->a == 0.125f || (result->a == 0.0f && !std::signbit(result->a)))) __builtin_trap();
    if (std::memcmp(area_before, area, kArea) != 0) __builtin_trap();
    if (std::memcmp(state_before, record.state(), sizeof(state_before)) != 0) __builtin_trap();
    return 0;
}
