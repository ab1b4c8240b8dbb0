// Calls the installed basis with every output: four nearest points of the
// origin with their offsets and ids; and the basis for arrays, which must
// give the per-point bits. Exits 0 when they look as documented.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cellular/cellular_basis.h"
#include "cellular/cellular_batch.h"

int main() {
    const tulo::Vector3 ones{1.0f, 1.0f, 1.0f};
    float F[4];
    tulo::Vector3 delta[4];
    uint32_t ID[4];
    tulo::cellular_basis(&tulo::euclidian, &ones, 0.0f, 0.0f, 0.0f, 4, F, delta, ID);
    bool ok = std::fabs(F[0] - 0.65f) < 0.01f && std::fabs(F[1] - 1.18f) < 0.01f;
    for (int i = 0; i < 4; ++i) {
        const float length = std::sqrt(delta[i].x * delta[i].x + delta[i].y * delta[i].y + delta[i].z * delta[i].z);
        ok = ok && std::fabs(length - F[i]) < 1e-4f && (i == 0 || F[i - 1] <= F[i]);
        std::printf("F[%d] = %.6f  delta = (%.4f, %.4f, %.4f)  id = %u\n", i, F[i], delta[i].x, delta[i].y, delta[i].z,
                    ID[i]);
    }
    const tulo::Vector3 points[3] = {{0.0f, 0.0f, 0.0f}, {1.5f, -2.0f, 7.25f}, {-30.0f, 4.0f, 0.5f}};
    float batch[6], single[2];
    ok = ok && tulo::cellular_basis_batch(&tulo::manhattan, &ones, points, 3, 2, batch, nullptr, nullptr);
    for (int i = 0; i < 3; ++i) {
        tulo::cellular_basis(&tulo::manhattan, &ones, points[i].x, points[i].y, points[i].z, 2, single, nullptr,
                             nullptr);
        ok = ok && std::memcmp(single, batch + 2 * i, sizeof(single)) == 0;
    }
    std::printf("kernel %s, %d threads by default\n", tulo::cellular_kernel_name(), tulo::batch_default_threads());
    return ok ? 0 : 1;
}
