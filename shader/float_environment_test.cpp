// The shader gives the same bits, and never traps, whatever floating-point
// mode the renderer's thread runs in, and it hands the thread back in the
// state it found it: control bits and status flags alike. On x86-64 the
// state is MXCSR; on aarch64 FPCR and FPSR.
#if defined(__x86_64__) || defined(_M_X64)
#    include <xmmintrin.h>
#    define TULO_TEST_MXCSR 1
#endif

#if defined(_WIN32)
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "shader/testing/shader_test_support.h"
#include "shader/shading.h"
#include "shader/texture_batch.h"

namespace shader_test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

#if TULO_TEST_MXCSR

// MXCSR as the hardware defines it: status flags in bits 0-5, then DAZ (6),
// the six exception masks (7-12), rounding (13-14) and FTZ (15).
using FloatState = unsigned;
constexpr unsigned kDefault = 0x1F80;  // everything masked, nearest
constexpr unsigned kDaz = 1u << 6;
constexpr unsigned kFtz = 1u << 15;
constexpr unsigned kRoundDown = 1u << 13, kRoundUp = 2u << 13, kRoundToZero = 3u << 13;
constexpr unsigned kInvalidMask = 1u << 7, kDivideByZeroMask = 1u << 9, kOverflowMask = 1u << 10;
// Sticky status flags a caller may have raised before the call.
const FloatState kFlagSets[] = {0x00, 0x30 /* inexact, underflow */, 0x3F};
// The mode a renderer that flushes subnormals sets.
constexpr unsigned kFlushing = kDefault | kFtz | kDaz;

void set_state(FloatState s) { _mm_setcsr(s); }
FloatState get_state() { return _mm_getcsr(); }
FloatState with_flags(unsigned control, FloatState flags) { return control | flags; }
unsigned control_of(FloatState s) { return s & 0xFFC0u; }

struct Mode {
    const char* name;
    unsigned control;
};
const Mode kModes[] = {
    {"FTZ+DAZ", kDefault | kFtz | kDaz},
    {"FTZ", kDefault | kFtz},
    {"DAZ", kDefault | kDaz},
    {"round down", kDefault | kRoundDown},
    {"round up", kDefault | kRoundUp},
    {"round to zero", kDefault | kRoundToZero},
    {"FTZ+DAZ, round up", kDefault | kFtz | kDaz | kRoundUp},
};

#else  // aarch64

// FPCR: rounding in bits 22-23, flush-to-zero (24), default NaN (25); FPSR:
// the cumulative flags IOC, DZC, OFC, UFC, IXC (bits 0-4) and IDC (7).
struct FloatState {
    uint64_t fpcr;
    uint64_t fpsr;
    bool operator==(const FloatState& o) const { return fpcr == o.fpcr && fpsr == o.fpsr; }
};
std::ostream& operator<<(std::ostream& os, const FloatState& s) {
    return os << "FPCR " << std::hex << s.fpcr << " FPSR " << s.fpsr << std::dec;
}
constexpr unsigned kDefault = 0;
constexpr unsigned kRoundUp = 1u << 22, kRoundDown = 2u << 22, kRoundToZero = 3u << 22;
constexpr unsigned kFz = 1u << 24, kDn = 1u << 25;
const FloatState kFlagSets[] = {{0, 0x00}, {0, 0x18 /* inexact, underflow */}, {0, 0x9F}};
constexpr unsigned kFlushing = kFz;

void set_state(FloatState s) {
    __asm__ __volatile__("msr fpcr, %0" : : "r"(s.fpcr) : "memory");
    __asm__ __volatile__("msr fpsr, %0" : : "r"(s.fpsr) : "memory");
}
FloatState get_state() {
    FloatState s;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(s.fpcr) : : "memory");
    __asm__ __volatile__("mrs %0, fpsr" : "=r"(s.fpsr) : : "memory");
    return s;
}
FloatState with_flags(unsigned control, FloatState flags) { return FloatState{control, flags.fpsr}; }
unsigned control_of(FloatState s) { return static_cast<unsigned>(s.fpcr); }

struct Mode {
    const char* name;
    unsigned control;
};
// FEAT_AFP (Armv8.7): FIZ flushes subnormal inputs, AH selects the
// alternative handling, NEP the element preservation; a processor without
// it ignores the bits.
constexpr unsigned kFiz = 1u << 0, kAh = 1u << 1, kNep = 1u << 2;
const Mode kModes[] = {
    {"FZ", kFz},
    {"round down", kRoundDown},
    {"round up", kRoundUp},
    {"round to zero", kRoundToZero},
    {"FZ, round up", kFz | kRoundUp},
    {"FZ, default NaN", kFz | kDn},
    {"FIZ", kFiz},
    {"FIZ, AH, NEP, FZ", kFiz | kAh | kNep | kFz},
};

#endif

// Inputs whose arithmetic meets subnormal numbers: tiny weights (their
// products with offsets leave the normal range) and points near the origin.
struct Sample {
    CellularTextureParams params;
    Vector3 point;
};

std::vector<Sample> subnormal_samples(int count) {
    std::mt19937 rng(77);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> metric(1, 5), octaves(0, 3), exponent(-149, -100);
    auto tiny = [&] { return std::ldexp(unit(rng), exponent(rng)); };
    std::vector<Sample> samples;
    for (int i = 0; i < count; ++i) {
        Sample s;
        s.params = typical_params();
        s.params.metric = metric(rng);
        s.params.octaves = octaves(rng);
        s.params.weights = {std::fabs(tiny()), std::fabs(tiny()) + (i % 3 == 0 ? 1.0f : 0.0f), std::fabs(tiny())};
        // A huge gain magnifies t, so that differences in tiny distances
        // reach the colour.
        s.params.gain = i % 4 != 0 ? std::ldexp(1.0f, 50 + i % 60) : 0.25f + 0.5f * std::fabs(unit(rng));
        const float spread = i % 2 == 0 ? 4.0f : std::ldexp(1.0f, -120);
        s.point = {unit(rng) * spread, unit(rng) * spread, tiny()};
        samples.push_back(s);
    }
    return samples;
}

// Runs fn with the thread's floating-point state set to `state`; returns the
// state found right after fn and puts the default back.
template <class Fn>
FloatState run_with_state(FloatState state, Fn fn) {
    set_state(state);
    fn();
    const FloatState after = get_state();
    set_state(with_flags(kDefault, kFlagSets[0]));
    return after;
}

// Whether this processor keeps the mode's control bits (the FEAT_AFP bits
// read back as zero where the feature is absent).
bool mode_supported(const Mode& mode) {
    const FloatState state = with_flags(mode.control, kFlagSets[0]);
    const FloatState after = run_with_state(state, [] {});
    if (after == state) return true;
    std::printf("%-20s not on this processor: skipped\n", mode.name);
    return false;
}

using FloatEnvironment = ShaderTest;

TEST_F(FloatEnvironment, EveryModeGivesTheDefaultBitsAndLeavesTheCallersStateAsItWas) {
    const auto samples = subnormal_samples(1500);
    const Color initial{0.0f, 0.0f, 0.0f, 0.5f};
    standin::ParameterStore store;
    standin::ShadingRecord record(store);

    std::vector<Color> reference;
    for (const Sample& s : samples) {
        store.params() = s.params;
        reference.push_back(shade(store, s.point, initial));
    }

    for (const Mode& mode : kModes) {
        if (!mode_supported(mode)) continue;
        int unguarded_differences = 0;
        for (const FloatState& flags : kFlagSets) {
            const FloatState state = with_flags(mode.control, flags);
            for (size_t i = 0; i < samples.size(); ++i) {
                store.params() = samples[i].params;
                record.set_point(samples[i].point.x, samples[i].point.y, samples[i].point.z);
                Color got = initial;
                const FloatState after = run_with_state(state, [&] { standin::shade(library(), record, store, &got); });
                ASSERT_EQ(state, after) << mode.name << ": the caller's state was not restored exactly";
                expect_same_color(reference[i], got, mode.name);
                if (HasFailure()) FAIL() << mode.name << ", sample " << i;
            }
        }
        // The same computation without the library's guard: these inputs
        // must really be sensitive to the mode, or the test shows nothing.
        for (size_t i = 0; i < samples.size(); ++i) {
            const tulo::ShadingInputs inputs = tulo::resolve_parameters(samples[i].params);
            Color raw = initial;
            run_with_state(with_flags(mode.control, kFlagSets[0]),
                           [&] { tulo::shade_sample(inputs, samples[i].point, &raw); });
            if (std::memcmp(&raw, &reference[i], sizeof(Color)) != 0) ++unguarded_differences;
        }
        EXPECT_GT(unguarded_differences, 0) << mode.name << ": no sample depends on the mode";
        std::printf("%-20s %4d of %zu samples differ without the guard\n", mode.name, unguarded_differences,
                    samples.size());
    }
}

// AArch64's rule, checked on every platform: which FPCR values the guard
// replaces, and by what.
struct FpcrCase {
    const char* name;
    uint64_t fpcr;
    bool is_default;
};
const FpcrCase kFpcrCases[] = {
    {"AllClear", 0, true},
    {"Len", 7u << 16, true},
    {"Stride", 3u << 20, true},
    {"AHP", 1u << 26, true},
    {"FIZ", 1u << 0, false},
    {"AH", 1u << 1, false},
    {"NEP", 1u << 2, false},
    {"TrapEnables", 0x1Fu << 8, false},
    {"IDE", 1u << 15, false},
    {"FZ16", 1u << 19, false},
    {"RMode", 3u << 22, false},
    {"FZ", 1u << 24, false},
    {"DN", 1u << 25, false},
    {"ABitDefinedLater", 1u << 27, false},
    {"TheTopBit", uint64_t{1} << 63, false},
    {"FIZWithAHP", (1u << 0) | (1u << 26), false},
};

void PrintTo(const FpcrCase& c, std::ostream* os) { *os << c.name; }

class FpcrRule : public ::testing::TestWithParam<FpcrCase> {};

TEST_P(FpcrRule, EveryBitButTheResultFreeOnesIsControl) {
    const FpcrCase& c = GetParam();
    EXPECT_EQ(c.is_default, tulo::detail::fpcr_is_default(c.fpcr));
    const uint64_t replaced = tulo::detail::default_fpcr(c.fpcr);
    EXPECT_TRUE(tulo::detail::fpcr_is_default(replaced));
    if (c.is_default) {
        EXPECT_EQ(c.fpcr, replaced);  // nothing to replace
    }
}

INSTANTIATE_TEST_SUITE_P(Bits, FpcrRule, ::testing::ValuesIn(kFpcrCases),
                         [](const testing::TestParamInfo<FpcrCase>& info) { return std::string(info.param.name); });

// The C++ entries keep the plugin's promise: each computes in the default
// mode whatever the caller's, and hands the caller's state back as it was.
struct CppEntry {
    const char* name;
    // Every output's bits for the samples, in the calling thread's mode.
    std::vector<uint32_t> (*outputs)(const std::vector<Sample>& samples);
};

template <class T>
void append_bits(std::vector<uint32_t>* out, const T* values, size_t count) {
    const size_t words = count * sizeof(T) / sizeof(uint32_t);
    const size_t at = out->size();
    out->resize(at + words);
    std::memcpy(out->data() + at, values, words * sizeof(uint32_t));
}

const CppEntry kCppEntries[] = {
    {"cellular_basis",
     [](const std::vector<Sample>& samples) {
         std::vector<uint32_t> out;
         for (const Sample& s : samples) {
             float F[3];
             Vector3 delta[3];
             uint32_t id[3];
             const tulo::DistType* metric = &tulo::metric_by_number(s.params.metric);
             tulo::cellular_basis(metric, &s.params.weights, s.point.x, s.point.y, s.point.z, 2, F, nullptr, nullptr);
             append_bits(&out, F, 2);
             tulo::cellular_basis(metric, &s.params.weights, s.point.x, s.point.y, s.point.z, 3, F, delta, id);
             append_bits(&out, F, 3);
             append_bits(&out, delta, 3);
         }
         return out;
     }},
    {"cellular_basis_batch",
     [](const std::vector<Sample>& samples) {
         std::vector<uint32_t> out;
         tulo::BatchOptions two;
         two.threads = 2;
         for (int32_t m = 1; m <= 5; ++m) {
             std::vector<Vector3> points;
             for (const Sample& s : samples) points.push_back(s.point);
             const Vector3 w = samples[static_cast<size_t>(m)].params.weights;
             std::vector<float> F(2 * points.size());
             tulo::cellular_basis_batch(&tulo::metric_by_number(m), &w, points.data(), points.size(), 2, F.data(),
                                        nullptr, nullptr, two);
             append_bits(&out, F.data(), F.size());
         }
         return out;
     }},
    {"texture_batch",
     [](const std::vector<Sample>& samples) {
         std::vector<uint32_t> out;
         for (const Sample& s : samples) {
             Color c{0.0f, 0.0f, 0.0f, 0.5f};
             tulo::texture_batch(s.params, &s.point, 1, &c);
             append_bits(&out, &c, 1);
         }
         return out;
     }},
};

void PrintTo(const CppEntry& e, std::ostream* os) { *os << e.name; }

class CppEntryFloatEnvironment : public ::testing::TestWithParam<CppEntry> {};

TEST_P(CppEntryFloatEnvironment, EveryModeGivesTheDefaultBitsAndLeavesTheCallersStateAsItWas) {
    const auto samples = subnormal_samples(400);
    const std::vector<uint32_t> expected = GetParam().outputs(samples);
    for (const Mode& mode : kModes) {
        if (!mode_supported(mode)) continue;
        for (const FloatState& flags : kFlagSets) {
            const FloatState state = with_flags(mode.control, flags);
            std::vector<uint32_t> got;
            const FloatState after = run_with_state(state, [&] { got = GetParam().outputs(samples); });
            ASSERT_EQ(state, after) << mode.name << ": the caller's state was not restored exactly";
            ASSERT_EQ(expected.size(), got.size());
            size_t differing = 0;
            for (size_t i = 0; i < got.size(); ++i) differing += expected[i] != got[i] ? 1 : 0;
            ASSERT_EQ(0u, differing) << mode.name << ": outputs differ from the default mode's";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, CppEntryFloatEnvironment, ::testing::ValuesIn(kCppEntries),
                         [](const testing::TestParamInfo<CppEntry>& info) { return std::string(info.param.name); });

TEST_F(FloatEnvironment, ADefaultCallerSeesNoChangeOfControlBits) {
    standin::ParameterStore store;
    store.params() = typical_params();
    Color c{0, 0, 0, 1};
    const FloatState after = run_with_state(with_flags(kDefault, kFlagSets[0]), [&] {
        c = shade(store, {1.0f, 2.0f, 3.0f}, c);
    });
    EXPECT_EQ(kDefault, control_of(after));
}

// A renderer whose mi_phen_eval switches its thread to flushing subnormals,
// and leaves it so.
class ModeSwitchingConnections final : public standin::Connections {
public:
    float gain = 0.0f;
    const void* evaluate(const standin::ShadingRecord&, Param) override {
        set_state(with_flags(kFlushing, get_state()));
        return &gain;
    }
};

TEST_F(FloatEnvironment, AModeSetByTheRendererDuringTheCallIsHonouredAndKept) {
    // The mode is read on entry, but the renderer ran since: the library
    // must see the new mode, compute in the default one and leave the
    // renderer's new mode in place.
    const auto samples = subnormal_samples(300);
    standin::ParameterStore store(64);
    store.connect(Param::gain);
    ModeSwitchingConnections connections;
    standin::ShadingRecord record(store, &connections);
    int compared = 0;
    for (const Sample& s : samples) {
        store.params() = s.params;
        connections.gain = s.params.gain;
        record.set_point(s.point.x, s.point.y, s.point.z);
        Color got{0.0f, 0.0f, 0.0f, 0.5f};
        const FloatState after =
            run_with_state(with_flags(kDefault, kFlagSets[0]), [&] { standin::shade(library(), record, store, &got); });
        EXPECT_EQ(kFlushing, control_of(after));
        expect_same_color(expected_color(s.params, s.point, Color{0.0f, 0.0f, 0.0f, 0.5f}), got);
        ++compared;
        if (HasFailure()) FAIL() << "sample " << compared;
    }
}

#if TULO_TEST_MXCSR
// Inputs that raise invalid-operation, divide-by-zero and overflow: NaN,
// infinite and huge points, negative Euclidian weights, gain 0, every metric.
void shade_trapping_inputs(bool through_library) {
    const float points[] = {kNaN, kInf, -kInf, 3e38f, -3e38f, 1e30f, 0.0f, 1.5f};
    const Vector3 weights[] = {{-1.0f, -1.0f, -1.0f}, {kInf, 1.0f, 0.0f}, {1e38f, 1e38f, 1e38f}, {-0.5f, 2.0f, kNaN}};
    standin::ParameterStore store;
    standin::ShadingRecord record(store);
    for (int32_t metric = 1; metric <= 5; ++metric) {
        for (const Vector3& w : weights) {
            for (float gain : {0.0f, 1.0f, kNaN, -kInf}) {
                for (float e : points) {
                    store.params() = typical_params();
                    store.params().metric = metric;
                    store.params().weights = w;
                    store.params().gain = gain;
                    store.params().octaves = 5;
                    record.set_point(e, -e, 0.25f);
                    Color c{0, 0, 0, 1};
                    if (through_library) {
                        standin::shade(library(), record, store, &c);
                    } else {
                        tulo::shade_sample(tulo::resolve_parameters(store.params()), Vector3{e, -e, 0.25f}, &c);
                    }
                }
            }
        }
    }
}

constexpr unsigned kTrapping = kDefault & ~(kInvalidMask | kDivideByZeroMask | kOverflowMask);

// On Windows an unhandled exception would start a crash debugger; the
// child exits with a code of its own instead.
void exit_quietly_on_a_crash() {
#    if defined(_WIN32)
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { ExitProcess(4); });
#    endif
}

bool exited_abnormally(int status) { return !::testing::ExitedWithCode(0)(status); }

TEST_F(FloatEnvironment, UnmaskedTrapsNeverFire) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process, so that a trap is reported rather than fatal.
    EXPECT_EXIT(
        {
            library().set_module_handle(standin::renderer_module_handle());
            _mm_setcsr(kTrapping);
            shade_trapping_inputs(true);
            const unsigned after = _mm_getcsr();
            _mm_setcsr(kDefault);
            std::exit(after == kTrapping ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    // The same inputs without the library's guard do trap: the inputs are
    // the ones that matter.
    EXPECT_EXIT(
        {
            exit_quietly_on_a_crash();
            _mm_setcsr(kTrapping);
            shade_trapping_inputs(false);
            _mm_setcsr(kDefault);
            std::exit(0);
        },
        exited_abnormally, "");
}
#endif  // traps: aarch64 processors need not support them

}  // namespace
}  // namespace shader_test
