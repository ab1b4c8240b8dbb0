// Per-sample cost of the shader, per search kernel: through the loaded
// library as a renderer calls it, through cellular_basis directly, and for
// the sequential reference (the baseline), on a fixed set of points spread
// over many cubes. After the runs a table gives each one's speed-up over the
// reference measured in the same run.
//
// Without --kernel the program runs itself once per kernel this CPU has
// (portable, avx2, avx512), with TULO_CELLULAR_MAX_ISA set for the child: the
// library reads the cap when it first chooses, so one process measures one
// kernel. Benchmark options (--benchmark_filter=...) pass through.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/points.h"
#include "cellular/cellular_basis.h"
#include "cellular/cellular_batch.h"
#include "cellular/kernels/kernel.h"
#include "reference/reference.h"
#include "cellular/float_environment.h"
#include "standin/standin_renderer.h"

namespace {

using tulo::Color;
using tulo::Vector3;

// The per-sample benchmarks' points (bench/points.h).
const std::vector<Vector3>& points() {
    static const std::vector<Vector3> pts = bench::sample_points();
    return pts;
}

// The weight sets measured: unit, uneven, and squares (Superquadratic's
// exponent 2).
const Vector3 kWeightSets[] = {{1.0f, 1.0f, 1.0f}, {0.3f, 2.0f, 1.0f}, {2.0f, 2.0f, 2.0f}};

tulo::CellularTextureParams params_for(int64_t metric, int64_t octaves, int64_t weights) {
    tulo::CellularTextureParams p{};
    p.color1 = {1.0f, 0.8f, 0.3f, 1.0f};
    p.color2 = {0.1f, 0.2f, 0.5f, 1.0f};
    p.metric = static_cast<int32_t>(metric);
    p.weights = kWeightSets[weights];
    p.octaves = static_cast<int32_t>(octaves);
    p.gain = 0.5f;
    return p;
}

const standin::ShaderLibrary& library() {
    static const standin::ShaderLibrary& lib = []() -> const standin::ShaderLibrary& {
        const standin::ShaderLibrary& l = standin::load_or_exit(TULO_LIBRARY_PATH);
        l.set_module_handle(standin::renderer_module_handle());
        return l;
    }();
    return lib;
}

// The exported entry point, one sample per iteration.
void BM_Shader(benchmark::State& state) {
    standin::ParameterStore store;
    store.params() = params_for(state.range(0), state.range(1), state.range(2));
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

// The exported entry point over samples in a renderer's order
// (bench::render_order: 0 a slice by rows, 1 the slice by 16 x 16 tiles,
// 2 a lit sphere's visible points by rows), one sample per iteration.
void BM_ShaderOrdered(benchmark::State& state) {
    standin::ParameterStore store;
    store.params() = params_for(state.range(0), state.range(1), state.range(2));
    standin::ShadingRecord record(store);
    const auto shade = library().shade_function();
    static const std::vector<Vector3> orders[3] = {bench::render_order(0), bench::render_order(1),
                                                   bench::render_order(2)};
    const auto& pts = orders[state.range(3)];
    size_t i = 0;
    for (auto _ : state) {
        const Vector3& p = pts[i];
        i = i + 1 == pts.size() ? 0 : i + 1;
        record.set_point(p.x, p.y, p.z);
        Color c{0, 0, 0, 1};
        benchmark::DoNotOptimize(shade(&c, record.state(), &store.params()));
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}

// The sequential reference of the same per-sample computation.
void BM_ReferenceShader(benchmark::State& state) {
    const auto params = params_for(state.range(0), state.range(1), state.range(2));
    const auto& pts = points();
    size_t i = 0;
    for (auto _ : state) {
        Color c = reference::shade(params, pts[i++ & (pts.size() - 1)], Color{0, 0, 0, 1});
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}

// The reference over the same samples in a renderer's order.
void BM_ReferenceShaderOrdered(benchmark::State& state) {
    const auto params = params_for(state.range(0), state.range(1), state.range(2));
    const std::vector<Vector3> pts = bench::render_order(static_cast<int>(state.range(3)));
    size_t i = 0;
    for (auto _ : state) {
        Color c = reference::shade(params, pts[i], Color{0, 0, 0, 1});
        i = i + 1 == pts.size() ? 0 : i + 1;
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}

// One basis evaluation (N = 2) at octave 0, directly and by the reference.
template <bool kReference>
void BM_Basis(benchmark::State& state) {
    const tulo::DistType* metric = &tulo::metric_by_number(static_cast<int32_t>(state.range(0)));
    const Vector3 w = kWeightSets[state.range(1)];
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

// The array benchmarks' layouts (bench/points.h): an image slice, and random
// points.
const std::vector<Vector3>& slice_points() {
    static const std::vector<Vector3> pts = bench::slice_points();
    return pts;
}

const std::vector<Vector3>& many_points() {
    static const std::vector<Vector3> pts = bench::many_points();
    return pts;
}

const std::vector<Vector3>& layout_points(int64_t layout) { return layout == 0 ? many_points() : slice_points(); }

// The per-point basis over a layout of points (0 random, 1 image slice),
// one point per iteration: the baseline of the array call.
void BM_PointBasis(benchmark::State& state) {
    const tulo::DistType* metric = &tulo::metric_by_number(static_cast<int32_t>(state.range(0)));
    const Vector3 w = kWeightSets[state.range(1)];
    const auto& pts = layout_points(state.range(2));
    size_t i = 0;
    for (auto _ : state) {
        const Vector3& p = pts[i++ % pts.size()];
        float F[2];
        tulo::cellular_basis(metric, &w, p.x, p.y, p.z, 2, F, nullptr, nullptr);
        benchmark::DoNotOptimize(F);
    }
    state.SetItemsProcessed(state.iterations());
}

// The array call on one thread over the same points, all of them per iteration.
void BM_BatchBasis(benchmark::State& state) {
    const tulo::DistType* metric = &tulo::metric_by_number(static_cast<int32_t>(state.range(0)));
    const Vector3 w = kWeightSets[state.range(1)];
    const auto& pts = layout_points(state.range(2));
    std::vector<float> F(2 * pts.size());
    tulo::BatchOptions one;
    one.threads = 1;
    for (auto _ : state) {
        tulo::cellular_basis_batch(metric, &w, pts.data(), pts.size(), 2, F.data(), nullptr, nullptr, one);
        benchmark::DoNotOptimize(F.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pts.size()));
}

// The array call on a million random points with 1 or 2 threads.
void BM_BatchThreads(benchmark::State& state) {
    const std::vector<Vector3>& many = many_points();
    std::vector<float> F(2 * many.size());
    tulo::BatchOptions options;
    options.threads = static_cast<int32_t>(state.range(1));
    for (auto _ : state) {
        tulo::cellular_basis_batch(&tulo::metric_by_number(static_cast<int32_t>(state.range(0))), &kWeightSets[0],
                                   many.data(), many.size(), 2, F.data(), nullptr, nullptr, options);
        benchmark::DoNotOptimize(F.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(many.size()));
}

// The entry point called from a thread in the default floating-point
// environment (mode 0) and from one with flush-to-zero and
// denormals-are-zero set (mode 1), which the library replaces by the
// default for the call and restores afterwards.
void BM_ShaderFloatMode(benchmark::State& state) {
    const unsigned saved = _mm_getcsr();
    if (state.range(3) == 1) _mm_setcsr(saved | 0x8040u);
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

// Throughput of the entry point with one and two threads shading at once.
void BM_ShaderThreads(benchmark::State& state) { BM_Shader(state); }

void shader_args(benchmark::internal::Benchmark* b) {
    for (int m = 1; m <= 5; ++m)
        for (int o : {0, 5})
            for (int w : {0, 1, 2}) {
                if (w == 2 && m != 5) continue;  // squares matter to Superquadratic only
                b->Args({m, o, w});
            }
    b->ArgNames({"metric", "octaves", "weights"});
}

BENCHMARK(BM_Shader)->Apply(shader_args);
BENCHMARK(BM_ReferenceShader)->Apply(shader_args);
BENCHMARK(BM_ShaderOrdered)
    ->ArgsProduct({{1, 2, 3}, {0, 5}, {0, 1}, {0, 1, 2}})
    ->ArgNames({"metric", "octaves", "weights", "order"});
BENCHMARK(BM_ReferenceShaderOrdered)
    ->ArgsProduct({{1, 2, 3}, {0, 5}, {0, 1}, {0, 1, 2}})
    ->ArgNames({"metric", "octaves", "weights", "order"});
BENCHMARK_TEMPLATE(BM_Basis, false)
    ->Name("BM_Basis")
    ->ArgsProduct({{1, 2, 3, 4, 5}, {0}})
    ->ArgNames({"metric", "weights"});
BENCHMARK_TEMPLATE(BM_Basis, true)
    ->Name("BM_ReferenceBasis")
    ->ArgsProduct({{1, 2, 3, 4, 5}, {0}})
    ->ArgNames({"metric", "weights"});
BENCHMARK(BM_PointBasis)->ArgsProduct({{1, 2, 3}, {0, 1}, {0, 1}})->ArgNames({"metric", "weights", "layout"});
BENCHMARK(BM_BatchBasis)->ArgsProduct({{1, 2, 3}, {0, 1}, {0, 1}})->ArgNames({"metric", "weights", "layout"});
BENCHMARK(BM_BatchThreads)
    ->ArgsProduct({{1}, {1, 2}})
    ->ArgNames({"metric", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShaderFloatMode)
    ->Args({1, 0, 0, 0})
    ->Args({1, 0, 0, 1})
    ->ArgNames({"metric", "octaves", "weights", "mode"});
BENCHMARK(BM_FloatEnvironmentGuard)->Arg(0)->Arg(1)->ArgName("mode");
BENCHMARK(BM_ShaderThreads)
    ->Args({1, 0, 0})
    ->Args({3, 5, 0})
    ->Args({4, 0, 0})
    ->ArgNames({"metric", "octaves", "weights"})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// Prints the usual table, then the speed-up of each run over its reference
// twin, and of two threads over one.
class SpeedupReporter : public benchmark::ConsoleReporter {
public:
    explicit SpeedupReporter(std::string kernel)
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), kernel_(std::move(kernel)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            // Medians when repetitions are asked for, single runs otherwise.
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if ((r.run_type == Run::RT_Iteration && r.repetitions <= 1) || median) {
                ns_[r.run_name.str()] = r.GetAdjustedRealTime();
                if (r.counters.count("items_per_second")) rate_[r.run_name.str()] = r.counters.at("items_per_second");
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nkernel %s: speed-up over the sequential reference (same run)\n", kernel_.c_str());
        std::printf("  %-44s %10s %10s %8s\n", "benchmark", "ns", "ref ns", "speed-up");
        for (const auto& [name, ns] : ns_) {
            for (const char* prefix : {"BM_Shader/", "BM_Basis/"}) {
                if (name.rfind(prefix, 0) != 0) continue;
                const auto twin = ns_.find("BM_Reference" + name.substr(3));
                if (twin == ns_.end()) continue;
                std::printf("  %-44s %10.1f %10.1f %7.2fx\n", name.c_str(), ns, twin->second, twin->second / ns);
            }
        }
        for (const auto& [name, rate] : rate_) {
            if (name.rfind("BM_BatchBasis/", 0) != 0) continue;
            const auto twin = rate_.find("BM_PointBasis/" + name.substr(14));
            if (twin == rate_.end()) continue;
            std::printf("  %-44s %10.1f ns/point  %.2fx the per-point basis\n", name.c_str(), 1e9 / rate,
                        rate / twin->second);
        }
        for (const auto& [name, rate] : rate_) {
            if (name.rfind("BM_BatchThreads/", 0) == 0) {
                const auto one = name.find("threads:1/");
                if (one == std::string::npos) continue;
                std::string two_name = name;
                two_name.replace(one, 10, "threads:2/");
                const auto two = rate_.find(two_name);
                if (two == rate_.end()) continue;
                std::printf("  %-44s %.1f ms per million points, two threads %.2fx one\n", name.c_str(), 1e9 / rate,
                            two->second / rate);
                continue;
            }
            const auto at = name.find("/threads:1");
            if (at == std::string::npos) continue;
            const auto two = rate_.find(name.substr(0, at) + "/threads:2");
            if (two == rate_.end()) continue;
            std::printf("  %-44s two threads %.2fx one thread\n", name.substr(0, at).c_str(), two->second / rate);
        }
    }

private:
    std::string kernel_;
    std::map<std::string, double> ns_;
    std::map<std::string, double> rate_;
};

// The search's work per sample, by the reference's count: the same for
// every kernel, since each visits the same cubes.
void print_work_per_sample() {
    std::printf("work per sample, octave 0, unit weights (%zu points):\n", points().size());
    std::printf("  %-8s %14s %22s\n", "metric", "cubes visited", "distance evaluations");
    for (int m = 1; m <= 5; ++m) {
        reference::Counts counts;
        for (const Vector3& p : points()) {
            float F[2];
            reference::cellular_basis(&tulo::metric_by_number(m), &kWeightSets[0], p.x, p.y, p.z, 2, F, nullptr,
                                      nullptr, &counts);
        }
        const double n = static_cast<double>(points().size());
        std::printf("  %-8d %14.2f %22.2f\n", m, static_cast<double>(counts.cubes) / n,
                    static_cast<double>(counts.evaluations) / n);
    }
    std::printf("\n");
}

// Runs this program for one kernel with the cap set; false if it failed.
bool run_for_kernel(int argc, char** argv, const char* isa) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("TULO_CELLULAR_MAX_ISA", isa, 1);
        std::vector<std::string> args(argv, argv + argc);
        args.push_back(std::string("--kernel=") + isa);
        std::vector<char*> raw;
        for (auto& a : args) raw.push_back(a.data());
        raw.push_back(nullptr);
        execv("/proc/self/exe", raw.data());
        std::perror("shader_bench: exec");
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* kernel = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--kernel=", 9) == 0) kernel = argv[i] + 9;
    }
    if (kernel == nullptr) {
        print_work_per_sample();
        bool ok = true;
        for (const tulo::kernels::Isa isa :
             {tulo::kernels::Isa::portable, tulo::kernels::Isa::avx2, tulo::kernels::Isa::avx512}) {
            const char* name = tulo::kernels::isa_name(isa);
            if (!tulo::kernels::kernel_available(isa)) {
                std::printf("kernel %s: skipped, this CPU or build lacks it\n\n", name);
                continue;
            }
            std::printf("=== kernel %s ===\n", name);
            std::fflush(stdout);
            ok = run_for_kernel(argc, argv, name) && ok;
            std::printf("\n");
        }
        return ok ? 0 : 1;
    }
    // The kernel the library chose must be the one asked for.
    if (std::strcmp(tulo::kernels::isa_name(tulo::kernels::kernel_isa()), kernel) != 0) {
        std::fprintf(stderr, "shader_bench: kernel %s asked for, %s chosen\n", kernel,
                     tulo::kernels::isa_name(tulo::kernels::kernel_isa()));
        return 1;
    }
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--kernel=", 9) != 0) rest.push_back(argv[i]);
    }
    int rest_argc = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data())) return 1;
    SpeedupReporter reporter(kernel);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
