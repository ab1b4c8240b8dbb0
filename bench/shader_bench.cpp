// Per-sample cost of the shader: through the loaded library as a renderer
// calls it, through cellular_basis directly, and for the sequential reference,
// on a fixed set of points spread over many cubes. After the runs a table
// gives the speed-up of each over the baseline, and the work per sample.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <xmmintrin.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "reference/reference.h"
#include "cellular/cellular_basis.h"
#include "shader/float_environment.h"
#include "standin/standin_renderer.h"

namespace {

using tulo::Color;
using tulo::Vector3;

// Pseudo-random points over [-64, 64)^3: about 50^3 cubes of the lattice.
const std::vector<Vector3>& points() {
    static const std::vector<Vector3> pts = [] {
        std::vector<Vector3> v;
        uint32_t s = 2463534242u;
        auto next = [&] {
            s ^= s << 13;
            s ^= s >> 17;
            s ^= s << 5;
            return static_cast<float>(s >> 8) * 0x1p-24f * 128.0f - 64.0f;
        };
        for (int i = 0; i < 4096; ++i) v.push_back({next(), next(), next()});
        return v;
    }();
    return pts;
}

tulo::CellularTextureParams params_for(int metric, int octaves) {
    tulo::CellularTextureParams p{};
    p.color1 = {1.0f, 0.8f, 0.3f, 1.0f};
    p.color2 = {0.1f, 0.2f, 0.5f, 1.0f};
    p.metric = metric;
    p.weights = {1.0f, 1.0f, 1.0f};
    p.octaves = octaves;
    p.gain = 0.5f;
    return p;
}

const standin::ShaderLibrary& library() {
    static const std::unique_ptr<standin::ShaderLibrary> lib = [] {
        std::string error;
        auto l = standin::ShaderLibrary::load(TULO_LIBRARY_PATH, &error);
        if (!l) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        l->set_module_handle(standin::renderer_module_handle());
        return l;
    }();
    return *lib;
}

// The exported entry point, one sample per iteration.
void BM_Shader(benchmark::State& state) {
    standin::ParameterStore store;
    store.params() = params_for(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    standin::ShadingRecord record(store);
    const auto shade = library().shade_function();
    const auto& pts = points();
    size_t i = 0;
    for (auto _ : state) {
        const Vector3& p = pts[i++ & (pts.size() - 1)];
        record.set_point(p.x, p.y, p.z);
        Color c{0, 0, 0, 1};
        benchmark::DoNotOptimize(shade(&c, record.state(), &store.params()));
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}

// The entry point called from a thread in the default floating-point
// environment (mode 0) and from one with flush-to-zero and
// denormals-are-zero set (mode 1), which the library replaces by the
// default for the call and restores afterwards.
void BM_ShaderFloatMode(benchmark::State& state) {
    const unsigned saved = _mm_getcsr();
    if (state.range(2) == 1) _mm_setcsr(saved | 0x8040u);
    BM_Shader(state);
    _mm_setcsr(saved);
}

// The guard alone: what the entry point pays to check (mode 0) or to
// replace and restore (mode 1) the caller's floating-point environment.
void BM_FloatEnvironmentGuard(benchmark::State& state) {
    const unsigned saved = _mm_getcsr();
    if (state.range(0) == 1) _mm_setcsr(saved | 0x8040u);
    for (auto _ : state) {
        const tulo::DefaultFloatEnvironment guard;
        benchmark::DoNotOptimize(&guard);
        benchmark::ClobberMemory();
    }
    _mm_setcsr(saved);
}

// The sequential reference of the same per-sample computation.
void BM_ReferenceShader(benchmark::State& state) {
    const auto params = params_for(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const auto& pts = points();
    size_t i = 0;
    for (auto _ : state) {
        Color c = reference::shade(params, pts[i++ & (pts.size() - 1)], Color{0, 0, 0, 1});
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}

// One basis evaluation (N = 2) at octave 0, directly and by the reference.
template <bool kReference>
void BM_Basis(benchmark::State& state) {
    const tulo::DistType* metric = &tulo::metric_by_number(static_cast<int32_t>(state.range(0)));
    const Vector3 w{1.0f, 1.0f, 1.0f};
    const auto& pts = points();
    size_t i = 0;
    for (auto _ : state) {
        const Vector3& p = pts[i++ & (pts.size() - 1)];
        float F[2];
        if (kReference) {
            reference::cellular_basis(metric, &w, p.x, p.y, p.z, 2, F, nullptr, nullptr);
        } else {
            tulo::cellular_basis(metric, &w, p.x, p.y, p.z, 2, F, nullptr, nullptr);
        }
        benchmark::DoNotOptimize(F);
    }
    state.SetItemsProcessed(state.iterations());
}

// Throughput of the entry point with one and two threads shading at once.
void BM_ShaderThreads(benchmark::State& state) {
    BM_Shader(state);
}

void metric_octave_args(benchmark::internal::Benchmark* b) {
    for (int m = 1; m <= 5; ++m)
        for (int o : {0, 5}) b->Args({m, o});
    b->ArgNames({"metric", "octaves"});
}

BENCHMARK(BM_Shader)->Apply(metric_octave_args);
BENCHMARK(BM_ReferenceShader)->Apply(metric_octave_args);
BENCHMARK_TEMPLATE(BM_Basis, false)->Name("BM_Basis")->DenseRange(1, 5)->ArgName("metric");
BENCHMARK_TEMPLATE(BM_Basis, true)->Name("BM_ReferenceBasis")->DenseRange(1, 5)->ArgName("metric");
BENCHMARK(BM_ShaderFloatMode)->Args({1, 0, 0})->Args({1, 0, 1})->Args({2, 5, 0})->Args({2, 5, 1})
    ->ArgNames({"metric", "octaves", "mode"});
BENCHMARK(BM_FloatEnvironmentGuard)->Arg(0)->Arg(1)->ArgName("mode");
BENCHMARK(BM_ShaderThreads)->Args({1, 0})->Args({3, 5})->ArgNames({"metric", "octaves"})->Threads(1)->Threads(2)->UseRealTime();

// Prints the usual table, then the speed-up of each fast run over its
// reference twin and the mean work per sample of every metric.
class SpeedupReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that saved output stays plain text.
    SpeedupReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                ns_[r.benchmark_name()] = r.GetAdjustedRealTime();
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nspeed-up over the sequential reference (same run):\n");
        std::printf("  %-34s %10s %10s %8s\n", "benchmark", "ns", "ref ns", "speed-up");
        for (const auto& [name, ns] : ns_) {
            for (const char* prefix : {"BM_Shader/", "BM_Basis/"}) {
                if (name.rfind(prefix, 0) != 0) continue;
                const std::string twin = "BM_Reference" + name.substr(3);
                const auto it = ns_.find(twin);
                if (it == ns_.end()) continue;
                std::printf("  %-34s %10.1f %10.1f %7.2fx\n", name.c_str(), ns, it->second, it->second / ns);
            }
        }
        std::printf("\nwork per sample, octave 0 (unit weights, %zu points):\n", points().size());
        std::printf("  %-8s %14s %22s\n", "metric", "cubes visited", "distance evaluations");
        for (int m = 1; m <= 5; ++m) {
            reference::Counts counts;
            for (const Vector3& p : points()) {
                float F[2];
                const Vector3 w{1.0f, 1.0f, 1.0f};
                reference::cellular_basis(&tulo::metric_by_number(m), &w, p.x, p.y, p.z, 2, F, nullptr, nullptr,
                                        &counts);
            }
            const double n = static_cast<double>(points().size());
            std::printf("  %-8d %14.2f %22.2f\n", m, static_cast<double>(counts.cubes) / n,
                        static_cast<double>(counts.evaluations) / n);
        }
    }

private:
    std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SpeedupReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
