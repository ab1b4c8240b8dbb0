// shade-samples: loads the shader library as a renderer does and prints the
// colours of a few samples along a line, for every metric.
//
//   shade-samples [library-path]
#include <cstdio>
#include <string>

#include "standin/standin_renderer.h"

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && std::string(argv[1]).rfind("-", 0) == 0)) {
        std::fprintf(stderr, "usage: %s [path to tulo_cellulartexture library]\n", argv[0]);
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : TULO_LIBRARY_PATH;
    std::string error;
    const auto lib = standin::ShaderLibrary::load(path, &error);
    if (!lib) {
        std::fprintf(stderr, "shade-samples: %s\n", error.c_str());
        return 1;
    }
    lib->set_module_handle(standin::renderer_module_handle());
    std::printf("loaded %s (version %d)\n", path.c_str(), lib->version());

    standin::ParameterStore store;
    auto& p = store.params();
    p.color1 = {1.0f, 0.9f, 0.6f, 1.0f};
    p.color2 = {0.1f, 0.2f, 0.4f, 1.0f};
    p.weights = {1.0f, 1.0f, 1.0f};
    p.octaves = 2;
    p.gain = 1.0f;
    standin::ShadingRecord record(store);

    const char* names[] = {"Euclidian", "Manhattan", "Chessboard", "Minkowski", "Superquadratic"};
    for (int32_t metric = 1; metric <= 5; ++metric) {
        p.metric = metric;
        std::printf("metric %d (%s), octaves %d, gain %g\n", metric, names[metric - 1], p.octaves,
                    static_cast<double>(p.gain));
        for (int i = 0; i < 5; ++i) {
            const float x = 0.75f * static_cast<float>(i);
            record.set_point(x, 0.5f, -1.25f);
            standin::Color c{0.0f, 0.0f, 0.0f, 1.0f};
            standin::shade(*lib, record, store, &c);
            std::printf("  point (%5.2f, %5.2f, %5.2f) -> rgba (%.6f, %.6f, %.6f, %.1f)\n",
                        static_cast<double>(x), 0.5, -1.25, static_cast<double>(c.r),
                        static_cast<double>(c.g), static_cast<double>(c.b), static_cast<double>(c.a));
        }
    }
    return 0;
}
