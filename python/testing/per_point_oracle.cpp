// The per-point doors that the Python module's tests compare with: reads
// float32 points (x, y, z) from standard input and writes, for each point,
//   basis METRIC N WX WY WZ       cellular_basis called for that point alone:
//                                 F (N floats), offsets (3N floats, NaN where
//                                 unfilled) and ids (N uint32, 0 where unfilled)
//   texture METRIC WX WY WZ OCTAVES GAIN R1 G1 B1 R2 G2 B2
//                                 the plugin's entry point, loaded through the
//                                 stand-in renderer, with alpha preset to 1:
//                                 r, g, b, a as floats
// Numbers are read with strtof (nine significant digits give a float's bits).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cellular/cellular_basis.h"
#include "standin/standin_renderer.h"

namespace {

float number(const char* text) { return std::strtof(text, nullptr); }

std::vector<tulo::Vector3> read_points() {
    std::vector<tulo::Vector3> points;
    tulo::Vector3 p;
    while (std::fread(&p, sizeof(p), 1, stdin) == 1) points.push_back(p);
    return points;
}

template <class T>
void write(const T* data, std::size_t n) {
    std::fwrite(data, sizeof(T), n, stdout);
}

int usage() {
    std::fprintf(stderr,
                 "usage: per_point_oracle basis METRIC N WX WY WZ < points\n"
                 "       per_point_oracle texture METRIC WX WY WZ OCTAVES GAIN R1 G1 B1 R2 G2 B2 < points\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "basis" && argc == 7) {
        const tulo::DistType* metric = &tulo::metric_by_number(std::atoi(argv[2]));
        const int32_t N = std::atoi(argv[3]);
        const tulo::Vector3 w{number(argv[4]), number(argv[5]), number(argv[6])};
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (const tulo::Vector3& p : read_points()) {
            std::vector<float> F(N);
            std::vector<tulo::Vector3> delta(N, tulo::Vector3{nan, nan, nan});
            std::vector<uint32_t> ID(N, 0u);
            tulo::cellular_basis(metric, &w, p.x, p.y, p.z, N, F.data(), delta.data(), ID.data());
            write(F.data(), F.size());
            write(delta.data(), delta.size());
            write(ID.data(), ID.size());
        }
        return 0;
    }
    if (mode == "texture" && argc == 14) {
        const standin::ShaderLibrary& lib = standin::load_or_exit(TULO_LIBRARY_PATH);
        standin::ParameterStore store;
        tulo::CellularTextureParams& params = store.params();
        params.metric = std::atoi(argv[2]);
        params.weights = {number(argv[3]), number(argv[4]), number(argv[5])};
        params.octaves = std::atoi(argv[6]);
        params.gain = number(argv[7]);
        params.color1 = {number(argv[8]), number(argv[9]), number(argv[10]), 1.0f};
        params.color2 = {number(argv[11]), number(argv[12]), number(argv[13]), 1.0f};
        standin::ShadingRecord record(store);
        for (const tulo::Vector3& p : read_points()) {
            record.set_point(p.x, p.y, p.z);
            tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
            standin::shade(lib, record, store, &c);
            write(&c, 1);
        }
        return 0;
    }
    return usage();
}
