// The basis for arrays against the sequential reference, point by point and
// bit for bit, with every search kernel this CPU can run forced in turn; and
// what the array call adds: threads, chunk edges, stopping, the caller's
// floating-point mode, calls from several threads at once.
#include <gtest/gtest.h>

#if defined(__SSE2__) || defined(_M_X64)
#    include <xmmintrin.h>
#    define TULO_TEST_MXCSR 1
#endif

#if defined(__unix__)
#    include <signal.h>
#    include <sys/wait.h>
#    include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cellular/cellular_batch.h"
#include "cellular/kernels/kernel.h"
#include "cellular/parallel.h"
#include "cellular/testing/float_bits.h"
#include "cellular/testing/forced_kernel.h"
#include "cellular/testing/search_cases.h"
#include "reference/reference.h"

namespace tulo {
namespace {

using kernels::Isa;
using tulo_test::bits;
using tulo_test::Case;

const Vector3 kUnitWeights{1.0f, 1.0f, 1.0f};

// The reference's F for each point.
std::vector<float> reference_F(int32_t m, const Vector3& w, const std::vector<Vector3>& points, int32_t N) {
    std::vector<float> F(points.size() * static_cast<std::size_t>(N));
    for (std::size_t i = 0; i < points.size(); ++i) {
        reference::cellular_basis(&metric_by_number(m), &w, points[i].x, points[i].y, points[i].z, N, &F[i * N],
                                  nullptr, nullptr);
    }
    return F;
}

// Every point of `cases` (grouped by weights) through the array call and
// through the reference; the first difference is reported.
void expect_same_as_reference(const std::vector<Case>& cases, int32_t m, int32_t N, const char* group) {
    std::size_t first = 0;
    while (first < cases.size()) {
        std::size_t end = first;
        std::vector<Vector3> points;
        while (end < cases.size() && std::memcmp(&cases[end].w, &cases[first].w, sizeof(Vector3)) == 0) {
            points.push_back(cases[end++].p);
        }
        const Vector3 w = cases[first].w;
        std::vector<float> F(points.size() * static_cast<std::size_t>(N), -1.0f);
        ASSERT_TRUE(cellular_basis_batch(&metric_by_number(m), &w, points.data(), points.size(), N, F.data(), nullptr,
                                         nullptr));
        const std::vector<float> R = reference_F(m, w, points, N);
        for (std::size_t i = 0; i < F.size(); ++i) {
            const Vector3& p = points[i / N];
            ASSERT_EQ(bits(R[i]), bits(F[i]))
                << group << ": metric " << m << " N " << N << " slot " << i % N << " at (" << p.x << ", " << p.y << ", "
                << p.z << ") w (" << w.x << ", " << w.y << ", " << w.z << ")";
        }
        first = end;
    }
}

std::vector<Vector3> random_points(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-300.0f, 300.0f);
    std::vector<Vector3> p(n);
    for (Vector3& v : p) v = {coord(rng), coord(rng), coord(rng)};
    return p;
}

using BatchAgainstReference = tulo_test::ForcedKernel;

TEST_P(BatchAgainstReference, EveryMetricAndCaseBitForBit) {
    const std::vector<Case> cases = tulo_test::cases();
    for (int32_t m = kFirstMetric; m <= kLastMetric; ++m) {
        expect_same_as_reference(cases, m, 2, "cases");
        if (HasFatalFailure()) return;
    }
    // Other N go point by point; a few cases suffice there.
    const std::vector<Case> some(cases.begin(), cases.begin() + 300);
    for (int32_t N : {1, 3}) expect_same_as_reference(some, 1, N, "N");
}

TEST_P(BatchAgainstReference, BoundsJustBelowTheValueStillVisit) {
    // The one group where a bound rounded to nearest instead of down fails.
    for (int32_t m = 1; m <= 3; ++m) {
        const std::vector<Case> cases = tulo_test::threshold_cases(m, 48);
        ASSERT_GE(cases.size(), 16u) << "metric " << m << ": too few points built on the threshold";
        expect_same_as_reference(cases, m, 2, "threshold");
    }
}

TEST_P(BatchAgainstReference, ImageRowsBitForBit) {
    // Coherent points, as a slice of an image gives them: neighbouring lanes
    // share cubes and whole cubes go unvisited by every lane.
    std::vector<Vector3> row;
    for (int j = 0; j < 40; ++j) {
        for (int i = 0; i < 200; ++i) row.push_back({-20.0f + 0.05f * static_cast<float>(i), 3.0f + 0.1f * j, 1.7f});
    }
    // And lines of points that share two of their three cube coordinates but
    // not the third: no lane may take another lane's cube for its own.
    for (int axis = 0; axis < 3; ++axis) {
        for (int i = 0; i < 64; ++i) {
            float c[3] = {0.61f, -4.2f, 9.9f};
            c[axis] += 3.1f * static_cast<float>(i);
            row.push_back({c[0], c[1], c[2]});
        }
    }
    for (const Vector3& w : {Vector3{1.0f, 1.0f, 1.0f}, Vector3{0.3f, 2.0f, 1.0f}}) {
        for (int32_t m = 1; m <= 3; ++m) {
            std::vector<float> F(row.size() * 2), FP(row.size() * 2);
            ASSERT_TRUE(
                cellular_basis_batch(&metric_by_number(m), &w, row.data(), row.size(), 2, F.data(), nullptr, nullptr));
            const std::vector<float> R = reference_F(m, w, row, 2);
            ASSERT_EQ(0, std::memcmp(R.data(), F.data(), F.size() * sizeof(float))) << "metric " << m;
            // The kept points of coherent lanes (all in one cube, or not).
            std::vector<Vector3> delta(row.size() * 2);
            std::vector<uint32_t> ID(row.size() * 2);
            ASSERT_TRUE(cellular_basis_batch(&metric_by_number(m), &w, row.data(), row.size(), 2, FP.data(),
                                             delta.data(), ID.data()));
            ASSERT_EQ(0, std::memcmp(R.data(), FP.data(), FP.size() * sizeof(float))) << "metric " << m;
            for (std::size_t i = 0; i < row.size(); ++i) {
                float r[2];
                Vector3 rd[2];
                uint32_t rid[2];
                reference::cellular_basis(&metric_by_number(m), &w, row[i].x, row[i].y, row[i].z, 2, r, rd, rid);
                ASSERT_EQ(0, std::memcmp(rd, &delta[2 * i], sizeof(rd))) << "metric " << m << " point " << i;
                ASSERT_EQ(0, std::memcmp(rid, &ID[2 * i], sizeof(rid))) << "metric " << m << " point " << i;
            }
        }
    }
}

TEST_P(BatchAgainstReference, OtherLatticesAndKeptPointsBitForBit) {
    // Periods of 1 (every cube the same), 2, odd and large, mixed with none;
    // seeds 0, 1 and the largest; points on both sides of the origin and of
    // the periods' edges, far points and NaN; every metric, both entries,
    // offsets and ids; against the reference's own wrapping and keys.
    const Lattice lattices[] = {
        {{0, 0, 0}, 0}, {{1, 1, 1}, 0},           {{2, 0, 3}, 0},       {{7, 7, 7}, 1},
        {{0, 0, 0}, 1}, {{0, 0, 0}, 0xFFFFFFFFu}, {{5, 64, 0}, 12345u}, {{kMaxPeriod, 1, 2}, 7u},
    };
    std::vector<Vector3> points = random_points(300, 31);
    for (Vector3& p : points) p = {p.x * 0.05f, p.y * 0.05f, p.z * 0.05f};  // near the origin: cells -6..6
    const std::vector<Vector3> far = {{1e10f, 0.0f, 0.0f}, {std::nanf(""), 1.0f, 2.0f}, {-3e9f, 5.0f, -3e9f}};
    points.insert(points.end(), far.begin(), far.end());
    for (const Lattice& l : lattices) {
        for (int32_t m = 1; m <= 5; ++m) {
            for (const Vector3& w : {Vector3{1.0f, 1.0f, 1.0f}, Vector3{0.3f, 2.0f, 1.0f}}) {
                const DistType* metric = &metric_by_number(m);
                std::vector<float> F(2 * points.size()), FP(2 * points.size());
                std::vector<Vector3> delta(2 * points.size());
                std::vector<uint32_t> ID(2 * points.size());
                ASSERT_TRUE(
                    cellular_basis_batch(metric, &w, points.data(), points.size(), 2, F.data(), nullptr, nullptr, l));
                // With offsets and ids too (for metrics 1-3 the point lanes
                // then keep which candidates hold each value).
                ASSERT_TRUE(cellular_basis_batch(metric, &w, points.data(), points.size(), 2, FP.data(), delta.data(),
                                                 ID.data(), l));
                for (std::size_t i = 0; i < points.size(); ++i) {
                    const Vector3& p = points[i];
                    float R[3], G[3];
                    Vector3 rd[3], gd[3];
                    uint32_t rid[3], gid[3];
                    reference::cellular_basis(metric, &w, p.x, p.y, p.z, 3, R, rd, rid, nullptr,
                                              reference::Culling::bounds, &l);
                    cellular_basis(metric, &w, p.x, p.y, p.z, 3, G, gd, gid, l);
                    const std::string where = "metric " + std::to_string(m) + " point " + std::to_string(i) +
                                              " periods " + std::to_string(l.period[0]) + "," +
                                              std::to_string(l.period[1]) + "," + std::to_string(l.period[2]) +
                                              " seed " + std::to_string(l.seed);
                    ASSERT_EQ(0, std::memcmp(R, G, sizeof(R))) << where;
                    ASSERT_EQ(0, std::memcmp(rd, gd, sizeof(rd))) << where;
                    ASSERT_EQ(0, std::memcmp(rid, gid, sizeof(rid))) << where;
                    float R2[2];
                    Vector3 rd2[2];
                    uint32_t rid2[2];
                    reference::cellular_basis(metric, &w, p.x, p.y, p.z, 2, R2, rd2, rid2, nullptr,
                                              reference::Culling::bounds, &l);
                    ASSERT_EQ(bits(R2[0]), bits(F[2 * i])) << where << " (array call)";
                    ASSERT_EQ(bits(R2[1]), bits(F[2 * i + 1])) << where << " (array call)";
                    ASSERT_EQ(0, std::memcmp(R2, &FP[2 * i], sizeof(R2))) << where << " (array call with points)";
                    ASSERT_EQ(0, std::memcmp(rd2, &delta[2 * i], sizeof(rd2))) << where << " (array call's offsets)";
                    ASSERT_EQ(0, std::memcmp(rid2, &ID[2 * i], sizeof(rid2))) << where << " (array call's ids)";
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BatchAgainstReference, tulo_test::kAllKernels, tulo_test::kernel_name);

TEST(BatchCall, SameBytesForAnyThreadCountAndChunkEdge) {
    const Vector3 w{0.3f, 2.0f, 1.0f};
    for (std::size_t n :
         {std::size_t{0}, std::size_t{1}, kBatchChunk - 1, kBatchChunk, kBatchChunk + 1, 3 * kBatchChunk + 5}) {
        const std::vector<Vector3> points = random_points(n, static_cast<unsigned>(n));
        for (int32_t m : {1, 4}) {
            // The per-point search, one call per point, is what every call must match.
            std::vector<float> expected(2 * n);
            for (std::size_t i = 0; i < n; ++i) {
                cellular_basis(&metric_by_number(m), &w, points[i].x, points[i].y, points[i].z, 2, &expected[2 * i],
                               nullptr, nullptr);
            }
            for (int32_t threads : {1, 2, 7}) {
                // One slot past the end shows the call writes nothing beyond it.
                std::vector<float> F(2 * n + 1, -7.0f);
                BatchOptions options;
                options.threads = threads;
                ASSERT_TRUE(cellular_basis_batch(&metric_by_number(m), &w, points.data(), n, 2, F.data(), nullptr,
                                                 nullptr, options));
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), F.begin(),
                                       [](float a, float b) { return bits(a) == bits(b); }))
                    << n << " points, " << threads << " threads";
                ASSERT_EQ(bits(-7.0f), bits(F[2 * n]));
            }
        }
    }
}

TEST(BatchCall, OffsetsAndIdsMatchThePerPointCall) {
    const std::vector<Vector3> points = random_points(kBatchChunk + 3, 5);
    const Vector3 w{1.0f, 1.0f, 1.0f};
    constexpr int32_t N = 3;
    std::vector<float> F(points.size() * N);
    std::vector<Vector3> delta(points.size() * N, Vector3{1.0f, 2.0f, 3.0f});
    std::vector<uint32_t> ID(points.size() * N, 77u);
    BatchOptions options;
    options.threads = 2;
    ASSERT_TRUE(cellular_basis_batch(&manhattan, &w, points.data(), points.size(), N, F.data(), delta.data(), ID.data(),
                                     options));
    for (std::size_t i = 0; i < points.size(); ++i) {
        float f[N];
        Vector3 d[N] = {{1.0f, 2.0f, 3.0f}, {1.0f, 2.0f, 3.0f}, {1.0f, 2.0f, 3.0f}};
        uint32_t id[N] = {77u, 77u, 77u};
        reference::cellular_basis(&manhattan, &w, points[i].x, points[i].y, points[i].z, N, f, d, id);
        ASSERT_EQ(0, std::memcmp(f, &F[i * N], sizeof(f))) << i;
        ASSERT_EQ(0, std::memcmp(d, &delta[i * N], sizeof(d))) << i;
        ASSERT_EQ(0, std::memcmp(id, &ID[i * N], sizeof(id))) << i;
    }
}

TEST(BatchCall, StopsWhenAskedAndLeavesTheRestUntouched) {
    const std::vector<Vector3> points = random_points(10 * kBatchChunk, 9);
    std::vector<float> F(2 * points.size(), -1.0f);
    // Stop before the calling thread's third chunk.
    std::atomic<int> asked{0};
    BatchOptions options;
    options.threads = 1;
    options.keep_going = [](void* c) { return static_cast<std::atomic<int>*>(c)->fetch_add(1) < 2; };
    options.keep_going_context = &asked;
    EXPECT_FALSE(cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, F.data(), nullptr,
                                      nullptr, options));
    EXPECT_EQ(3, asked.load());
    for (std::size_t i = 0; i < 2 * kBatchChunk * 2; ++i) ASSERT_GT(F[i], 0.0f) << i;
    for (std::size_t i = 2 * kBatchChunk * 2; i < F.size(); ++i) ASSERT_EQ(bits(-1.0f), bits(F[i])) << i;
}

#if TULO_TEST_MXCSR
TEST(BatchCall, SameBitsInAnyFloatingPointModeAndTheModeComesBack) {
    // Tiny weights and points near the origin make subnormal products, which
    // flush-to-zero and denormals-are-zero would change.
    std::vector<Vector3> points = random_points(3000, 11);
    for (Vector3& p : points) p = {p.x * 1e-3f, p.y * 1e-3f, p.z * 1e-3f};
    const Vector3 w{1e-38f, 3e-39f, 1.0f};
    for (int32_t m : {1, 2, 4}) {
        std::vector<float> expected(2 * points.size()), F(2 * points.size());
        ASSERT_TRUE(cellular_basis_batch(&metric_by_number(m), &w, points.data(), points.size(), 2, expected.data(),
                                         nullptr, nullptr));
        const unsigned saved = _mm_getcsr();
        // Flush-to-zero, denormals-are-zero, round up, and two status flags.
        const unsigned mode = (saved & ~0x6000u) | 0x8040u | 0x4000u | 0x0011u;
        _mm_setcsr(mode);
        BatchOptions options;
        options.threads = 2;
        const bool done = cellular_basis_batch(&metric_by_number(m), &w, points.data(), points.size(), 2, F.data(),
                                               nullptr, nullptr, options);
        const unsigned after = _mm_getcsr();
        _mm_setcsr(saved);
        ASSERT_TRUE(done);
        EXPECT_EQ(mode, after) << "metric " << m;
        EXPECT_EQ(0, std::memcmp(expected.data(), F.data(), F.size() * sizeof(float))) << "metric " << m;
    }
}

#endif

TEST(BatchCall, SeveralCallersAtOnceGetTheSameBytes) {
    const std::vector<Vector3> points = random_points(4 * kBatchChunk + 17, 13);
    std::vector<float> expected(2 * points.size());
    ASSERT_TRUE(cellular_basis_batch(&chessboard, &kUnitWeights, points.data(), points.size(), 2, expected.data(),
                                     nullptr, nullptr));
    std::vector<std::vector<float>> got(4, std::vector<float>(expected.size()));
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            BatchOptions options;
            options.threads = 1 + c;
            for (int round = 0; round < 3; ++round) {
                cellular_basis_batch(&chessboard, &kUnitWeights, points.data(), points.size(), 2, got[c].data(),
                                     nullptr, nullptr, options);
            }
        });
    }
    for (std::thread& t : callers) t.join();
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(0, std::memcmp(expected.data(), got[c].data(), expected.size() * sizeof(float))) << c;
}

// Where a call's exception comes from, and on how many threads it runs.
enum class Thrower { question, pool_chunk, caller_chunk_bad_alloc };
struct ExceptionCase {
    const char* name;
    Thrower thrower;
    int32_t threads;  // 0: one per available core
};

void PrintTo(const ExceptionCase& c, std::ostream* os) { *os << c.name; }

class PoolAfterAnException : public ::testing::TestWithParam<ExceptionCase> {};

// Chunks that record who is working: none may run once the call has left.
// The threads on the side that does not throw hold their first chunk until the
// exception has been thrown, so that it is thrown while they work whatever the
// scheduler does (under Wine a pool thread can wake after the caller has
// finished the whole job, or take every chunk before the caller claims one).
struct Watched {
    std::atomic<int> active{0};
    std::atomic<bool> left{false};
    std::atomic<int> after_leaving{0};
    std::atomic<int> asked{0};
    std::atomic<bool> thrown{false};
    std::thread::id caller = std::this_thread::get_id();
    Thrower thrower;
};

void watched_chunk(void* context, std::size_t, std::size_t) {
    auto& w = *static_cast<Watched*>(context);
    w.active.fetch_add(1);
    if (w.left.load()) w.after_leaving.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    const bool on_caller = std::this_thread::get_id() == w.caller;
    const bool throwing_side = w.thrower == Thrower::pool_chunk ? !on_caller : on_caller;
    if (!throwing_side) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!w.thrown.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (throwing_side && w.thrower != Thrower::question && !w.thrown.exchange(true)) {
        w.active.fetch_sub(1);
        if (w.thrower == Thrower::pool_chunk) throw std::runtime_error("chunk failed");
        throw std::bad_alloc();
    }
    w.active.fetch_sub(1);
}

TEST_P(PoolAfterAnException, TheCallWaitsForItsThreadsAndThePoolStaysUsable) {
    const ExceptionCase& c = GetParam();
    for (int round = 0; round < 3; ++round) {
        Watched w;
        w.thrower = c.thrower;
        detail::ParallelWork work;
        work.run = watched_chunk;
        work.context = &w;
        work.count = 400;
        work.chunk = 1;
        work.threads = c.threads > 0 ? c.threads : batch_default_threads();
        if (c.thrower == Thrower::question) {
            work.keep_going = [](void* context) {
                auto& w = *static_cast<Watched*>(context);
                if (w.asked.fetch_add(1) == 1) {
                    w.thrown.store(true);
                    throw std::runtime_error("asked twice");
                }
                return true;
            };
            work.keep_going_context = &w;
        }
        int caught = 0;
        try {
            detail::run_parallel(work);
        } catch (const std::exception&) {
            ++caught;
        }
        w.left.store(true);
        EXPECT_EQ(1, caught) << "round " << round;
        EXPECT_EQ(0, w.active.load()) << "a pool thread still works on the call it left";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(0, w.after_leaving.load()) << "a chunk started after the call had left";
    }
    // The array call still completes, with every point computed.
    const std::vector<Vector3> points = random_points(10 * kBatchChunk, 21);
    std::vector<float> F(2 * points.size(), -1.0f), expected(2 * points.size());
    BatchOptions options;
    options.threads = c.threads;
    ASSERT_TRUE(cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, F.data(), nullptr,
                                     nullptr, options));
    options.threads = 1;
    ASSERT_TRUE(cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, expected.data(),
                                     nullptr, nullptr, options));
    EXPECT_EQ(0, std::memcmp(expected.data(), F.data(), F.size() * sizeof(float)));
}

const ExceptionCase kExceptionCases[] = {
    {"QuestionThreeThreads", Thrower::question, 3},   {"QuestionTwoThreads", Thrower::question, 2},
    {"QuestionDefaultThreads", Thrower::question, 0}, {"PoolChunkTwoThreads", Thrower::pool_chunk, 2},
    {"PoolChunkFourThreads", Thrower::pool_chunk, 4}, {"BadAllocOnTheCaller", Thrower::caller_chunk_bad_alloc, 3},
};
INSTANTIATE_TEST_SUITE_P(Throwers, PoolAfterAnException, ::testing::ValuesIn(kExceptionCases),
                         [](const testing::TestParamInfo<ExceptionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(BatchCall, AQuestionThatThrowsReachesTheCallerOnce) {
    // Through the public call, with a million points on three threads.
    const std::vector<Vector3> points = random_points(1 << 20, 23);
    std::vector<float> F(2 * points.size());
    std::atomic<int> asked{0};
    BatchOptions options;
    options.threads = 3;
    options.keep_going = [](void* a) {
        if (static_cast<std::atomic<int>*>(a)->fetch_add(1) == 1) throw std::runtime_error("stop here");
        return true;
    };
    options.keep_going_context = &asked;
    EXPECT_THROW(cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, F.data(), nullptr,
                                      nullptr, options),
                 std::runtime_error);
    EXPECT_EQ(2, asked.load());
}

#if defined(__unix__)
// ThreadSanitizer ends a forked child of a threaded process that starts
// threads ("not supported"), as qemu-user fails it.
#    if defined(__SANITIZE_THREAD__)
#        define TULO_FORK_UNSUPPORTED "ThreadSanitizer"
#    elif defined(__has_feature)
#        if __has_feature(thread_sanitizer)
#            define TULO_FORK_UNSUPPORTED "ThreadSanitizer"
#        endif
#    endif
#    if !defined(TULO_FORK_UNSUPPORTED) && defined(TULO_TESTS_EMULATED)
#        define TULO_FORK_UNSUPPORTED "qemu-user"
#    endif

// Whether the pool is idle or busy on another thread at the fork, the child's
// calls (several, with several threads) complete with the right bytes.
class PoolInAForkedChild : public ::testing::TestWithParam<bool> {};

TEST_P(PoolInAForkedChild, WorksFromItsFirstCall) {
#    if defined(TULO_FORK_UNSUPPORTED)
    GTEST_SKIP() << TULO_FORK_UNSUPPORTED " fails a forked child of a threaded process that starts threads";
#    endif
    const bool busy = GetParam();
    const std::vector<Vector3> points = random_points(8 * kBatchChunk, 29);
    std::vector<float> expected(2 * points.size());
    BatchOptions two;
    two.threads = 2;
    ASSERT_TRUE(cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, expected.data(),
                                     nullptr, nullptr, two));
    std::atomic<bool> stop{false};
    std::thread background;
    if (busy) {
        background = std::thread([&] {
            std::vector<float> F(expected.size());
            while (!stop.load()) {
                cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, F.data(), nullptr,
                                     nullptr, two);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const pid_t child = fork();
    if (child == 0) {
        int status = 0;
        for (int32_t threads : {0, 2, 3, 2}) {
            std::vector<float> F(expected.size());
            BatchOptions options;
            options.threads = threads;
            cellular_basis_batch(&euclidian, &kUnitWeights, points.data(), points.size(), 2, F.data(), nullptr, nullptr,
                                 options);
            if (std::memcmp(expected.data(), F.data(), F.size() * sizeof(float)) != 0) status = 3;
        }
        _exit(status);
    }
    stop.store(true);
    if (background.joinable()) background.join();
    ASSERT_GT(child, 0);
    // Waits at most 20 s: a hang fails the test instead of stalling the run.
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 2000 && done == 0; ++i) {
        done = waitpid(child, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child's calls did not return";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the child got other bytes";
}

INSTANTIATE_TEST_SUITE_P(Fork, PoolInAForkedChild, ::testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Busy" : "Idle"; });
#endif

}  // namespace
}  // namespace tulo
