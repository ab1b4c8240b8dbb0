// The library's search against the sequential reference: every output bit
// must agree for every metric, for awkward weights, several N and with or
// without the optional outputs.
#include "reference/reference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "cellular/cellular_basis.h"

namespace {

using tulo::Vector3;

TEST(BasisAgainstReference, EveryOutputBitForBit) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Vector3 weights[] = {{1, 1, 1},       {0.5f, 2.0f, 1.25f}, {-1, 1, 1},  {0, 0, 1},
                               {-1e-45f, 0, 0}, {nan, 1, 1},         {inf, 1, 1}, {3.0f, 0.25f, -2.0f}};
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> coord(-1000.0f, 1000.0f);
    for (int m = tulo::kFirstMetric; m <= tulo::kLastMetric; ++m) {
        const tulo::DistType* metric = &tulo::metric_by_number(m);
        for (const Vector3& w : weights) {
            for (int i = 0; i < 400; ++i) {
                const float x = coord(rng), y = coord(rng), z = coord(rng);
                for (int32_t N : {1, 2, 3, 7}) {
                    float fast[7], slow[7];
                    Vector3 fd[7], sd[7];
                    uint32_t fid[7], sid[7];
                    std::memset(fd, 0, sizeof(fd));
                    std::memset(sd, 0, sizeof(sd));
                    std::memset(fid, 0, sizeof(fid));
                    std::memset(sid, 0, sizeof(sid));
                    tulo::cellular_basis(metric, &w, x, y, z, N, fast, fd, fid);
                    reference::cellular_basis(metric, &w, x, y, z, N, slow, sd, sid);
                    ASSERT_EQ(0, std::memcmp(fast, slow, sizeof(float) * static_cast<size_t>(N)))
                        << "metric " << m << " N " << N << " at " << x << "," << y << "," << z;
                    ASSERT_EQ(0, std::memcmp(fd, sd, sizeof(fd)));
                    ASSERT_EQ(0, std::memcmp(fid, sid, sizeof(fid)));
                    if (N == 2) {  // the shader's case, without optional outputs
                        tulo::cellular_basis(metric, &w, x, y, z, 2, fast, nullptr, nullptr);
                        ASSERT_EQ(0, std::memcmp(fast, slow, sizeof(float) * 2)) << "metric " << m;
                    }
                }
            }
        }
    }
}

}  // namespace
