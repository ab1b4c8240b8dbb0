// tulo_cellular._core: the cellular basis and the texture for numpy arrays.
//
// Every function takes all its settings as arguments (no state between
// calls), converts the points once to packed float32 x, y, z, releases the
// GIL and runs the library's calls for arrays, which split the work across
// threads. The Python-facing contract is in __init__.pyi.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "cellular/cellular_batch.h"
#include "shader/texture_batch.h"

namespace py = pybind11;

namespace {

using tulo::Vector3;

// Metric names users write, with the number each stands for.
struct MetricName {
    const char* name;
    int32_t number;
};
constexpr MetricName kMetricNames[] = {
    {"euclidian", 1}, {"euclidean", 1},      {"manhattan", 2}, {"chessboard", 3},
    {"chebyshev", 3}, {"minkowski", 4},      {"superquadratic", 5},
};
constexpr const char* kValidMetrics =
    "1 or 'euclidian' (also 'euclidean'), 2 or 'manhattan', 3 or 'chessboard' (also 'chebyshev'), 4 or "
    "'minkowski', 5 or 'superquadratic'";

// A Python int or anything that stands for one (numpy's integers), but
// not a bool.
bool is_whole_number(const py::object& value) {
    return PyIndex_Check(value.ptr()) && !py::isinstance<py::bool_>(value) && !PyBool_Check(value.ptr());
}

int32_t metric_number(const py::object& metric) {
    if (py::isinstance<py::str>(metric)) {
        std::string name = metric.cast<std::string>();
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        for (const MetricName& m : kMetricNames) {
            if (name == m.name) return m.number;
        }
        throw py::value_error("unknown metric '" + metric.cast<std::string>() + "'; valid: " + kValidMetrics);
    }
    if (is_whole_number(metric)) {
        const long long n = py::int_(metric).cast<long long>();
        if (n >= tulo::kFirstMetric && n <= tulo::kLastMetric) return static_cast<int32_t>(n);
        throw py::value_error("unknown metric " + std::to_string(n) + "; valid: " + kValidMetrics);
    }
    throw py::type_error(std::string("metric must be a number or a name; valid: ") + kValidMetrics);
}

// A sequence of `size` numbers as float32 values.
std::vector<float> floats(const py::object& value, std::size_t size, const char* what) {
    // A tuple or list of Python numbers directly (the usual case, and cheaper
    // than an array).
    if ((py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) && py::len(value) == size) {
        std::vector<float> out(size);
        bool numbers = true;
        const py::sequence seq = py::reinterpret_borrow<py::sequence>(value);
        for (std::size_t i = 0; i < size && numbers; ++i) {
            const py::handle item = seq[i];
            numbers = PyFloat_Check(item.ptr()) || (PyLong_Check(item.ptr()) && !PyBool_Check(item.ptr()));
            if (numbers) out[i] = static_cast<float>(PyFloat_AsDouble(item.ptr()));
        }
        if (numbers && !PyErr_Occurred()) return out;
        PyErr_Clear();
    }
    py::array_t<double> a;
    try {
        a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
    } catch (const py::error_already_set&) {
        a = py::array_t<double>();
    }
    if (!a || a.ndim() != 1 || static_cast<std::size_t>(a.shape(0)) != size) {
        throw py::value_error(std::string(what) + " must be " + std::to_string(size) + " numbers, got " +
                              py::repr(value).cast<std::string>());
    }
    std::vector<float> out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<float>(a.at(static_cast<py::ssize_t>(i)));
    return out;
}

Vector3 weights_of(const py::object& value) {
    const std::vector<float> w = floats(value, 3, "weights");
    return Vector3{w[0], w[1], w[2]};
}

// RGB or RGBA; the alpha is carried but, as in the plugin, never used.
tulo::Color color_of(const py::object& value, const char* what) {
    std::vector<float> c;
    try {
        c = floats(value, 4, what);
    } catch (const py::value_error&) {
        c = floats(value, 3, what);
        c.push_back(1.0f);
    }
    return tulo::Color{c[0], c[1], c[2], c[3]};
}

int32_t threads_of(const py::object& threads) {
    if (threads.is_none()) return 0;  // the library's default: one per available core
    if (!is_whole_number(threads)) throw py::type_error("threads must be None or a whole number");
    const long long n = py::int_(threads).cast<long long>();
    if (n < 1 || n > tulo::kMaxBatchThreads) {
        throw py::value_error("threads must lie in 1.." + std::to_string(tulo::kMaxBatchThreads) + ", got " +
                              std::to_string(n));
    }
    return static_cast<int32_t>(n);
}

// The shape as Python writes it: (), (5,), (2, 4).
std::string shape_text(const py::array& a) {
    py::tuple shape(a.ndim());
    for (py::ssize_t i = 0; i < a.ndim(); ++i) shape[static_cast<std::size_t>(i)] = a.shape(i);
    return py::repr(shape).cast<std::string>();
}

// The points as packed float32 x, y, z (one copy unless they already are),
// and the shape of the leading axes.
struct Points {
    py::array_t<float, py::array::c_style> array;
    std::vector<py::ssize_t> leading;
    std::size_t count = 0;
    const Vector3* data() const { return reinterpret_cast<const Vector3*>(array.data()); }
};

Points points_of(const py::object& value) {
    py::array raw = py::array::ensure(value);
    if (!raw) throw py::type_error("points must be an array of numbers, got " + py::repr(value).cast<std::string>());
    const char kind = raw.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        throw py::type_error("points must hold real numbers (float or integer), got dtype " +
                             py::str(raw.dtype()).cast<std::string>());
    }
    if (raw.ndim() == 0 || raw.shape(raw.ndim() - 1) != 3) {
        throw py::value_error("points must have a last axis of length 3 (x, y, z), got shape " + shape_text(raw));
    }
    Points p;
    p.array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(raw);
    if (!p.array) throw py::error_already_set();
    for (py::ssize_t i = 0; i + 1 < raw.ndim(); ++i) {
        p.leading.push_back(raw.shape(i));
    }
    p.count = static_cast<std::size_t>(p.array.size() / 3);
    return p;
}

std::vector<py::ssize_t> with(std::vector<py::ssize_t> shape, std::initializer_list<py::ssize_t> tail) {
    shape.insert(shape.end(), tail.begin(), tail.end());
    return shape;
}

// Between chunks the calling thread looks for a pending Ctrl-C (at most
// every kSignalInterval, since taking the GIL back may wait for another
// Python thread).
constexpr std::chrono::milliseconds kSignalInterval{50};

struct SignalCheck {
    std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now() + kSignalInterval;
};

bool keep_going(void* context) {
    auto* check = static_cast<SignalCheck*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now < check->next) return true;
    check->next = now + kSignalInterval;
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() == 0;  // the exception stays set for the caller
}

// Runs `work(options)` without the GIL; raises what a signal handler raised.
template <class Work>
void run_without_gil(int32_t threads, Work&& work) {
    SignalCheck check;
    tulo::BatchOptions options;
    options.threads = threads;
    options.keep_going = keep_going;
    options.keep_going_context = &check;
    bool done;
    {
        py::gil_scoped_release release;
        done = work(options);
    }
    if (!done) throw py::error_already_set();
}

py::object basis(const py::object& points, long long n, const py::object& metric, const py::object& weights,
                 bool offsets, bool ids, const py::object& threads) {
    if (n < 1 || n > INT32_MAX) throw py::value_error("n must lie in 1..2147483647, got " + std::to_string(n));
    const tulo::DistType* m = &tulo::metric_by_number(metric_number(metric));
    const Vector3 w = weights_of(weights);
    const int32_t t = threads_of(threads);
    const Points p = points_of(points);

    py::array_t<float> F(with(p.leading, {static_cast<py::ssize_t>(n)}));
    py::array_t<float> delta;
    py::array_t<uint32_t> ID;
    Vector3* delta_data = nullptr;
    uint32_t* id_data = nullptr;
    if (offsets) {
        // Slots no point fills come back as NaN offsets and id 0.
        delta = py::array_t<float>(with(p.leading, {static_cast<py::ssize_t>(n), 3}));
        std::fill_n(delta.mutable_data(), delta.size(), std::numeric_limits<float>::quiet_NaN());
        delta_data = reinterpret_cast<Vector3*>(delta.mutable_data());
    }
    if (ids) {
        ID = py::array_t<uint32_t>(with(p.leading, {static_cast<py::ssize_t>(n)}));
        std::fill_n(ID.mutable_data(), ID.size(), 0u);
        id_data = ID.mutable_data();
    }
    float* f = F.mutable_data();
    run_without_gil(t, [&](const tulo::BatchOptions& options) {
        return tulo::cellular_basis_batch(m, &w, p.data(), p.count, static_cast<int32_t>(n), f, delta_data, id_data,
                                          options);
    });
    if (!offsets && !ids) return std::move(F);
    py::tuple out(1 + (offsets ? 1 : 0) + (ids ? 1 : 0));
    std::size_t k = 0;
    out[k++] = F;
    if (offsets) out[k++] = delta;
    if (ids) out[k++] = ID;
    return std::move(out);
}

tulo::CellularTextureParams texture_params(const py::object& metric, const py::object& weights, long long octaves,
                                           float gain, const py::object& color1, const py::object& color2) {
    if (octaves < 0 || octaves > 5) throw py::value_error("octaves must lie in 0..5, got " + std::to_string(octaves));
    tulo::CellularTextureParams params{};
    params.color1 = color_of(color1, "color1");
    params.color2 = color_of(color2, "color2");
    params.metric = metric_number(metric);
    params.weights = weights_of(weights);
    params.octaves = static_cast<int32_t>(octaves);
    params.gain = gain;
    return params;
}

py::array_t<float> texture(const py::object& points, const py::object& metric, const py::object& weights,
                           long long octaves, float gain, const py::object& color1, const py::object& color2,
                           const py::object& threads) {
    const tulo::CellularTextureParams params = texture_params(metric, weights, octaves, gain, color1, color2);
    const int32_t t = threads_of(threads);
    const Points p = points_of(points);
    py::array_t<float> rgba(with(p.leading, {4}));
    auto* colors = reinterpret_cast<tulo::Color*>(rgba.mutable_data());
    // Alpha 1 unless the texture zeroes it.
    std::fill_n(colors, p.count, tulo::Color{0.0f, 0.0f, 0.0f, 1.0f});
    run_without_gil(t, [&](const tulo::BatchOptions& options) {
        return tulo::texture_batch(params, p.data(), p.count, colors, options);
    });
    return rgba;
}

py::array_t<float> value(const py::object& points, const py::object& metric, const py::object& weights,
                         long long octaves, float gain, const py::object& threads) {
    const tulo::CellularTextureParams params =
        texture_params(metric, weights, octaves, gain, py::make_tuple(1, 1, 1), py::make_tuple(0, 0, 0));
    const int32_t t = threads_of(threads);
    const Points p = points_of(points);
    py::array_t<float> values(p.leading);
    float* v = values.mutable_data();
    run_without_gil(t, [&](const tulo::BatchOptions& options) {
        return tulo::texture_values_batch(params, p.data(), p.count, v, options);
    });
    return values;
}

py::dict info() {
    py::dict d;
    d["version"] = TULO_VERSION;
    d["kernel"] = tulo::cellular_kernel_name();
    d["threads"] = tulo::batch_default_threads();
    d["max_threads"] = tulo::kMaxBatchThreads;
    d["chunk"] = tulo::kBatchChunk;
    return d;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The cellular basis and texture of tulo_cellulartexture for numpy arrays.";
    const auto default_weights = py::make_tuple(1.0, 1.0, 1.0);
    const auto default_color1 = py::make_tuple(0.95, 0.85, 0.55);
    const auto default_color2 = py::make_tuple(0.08, 0.12, 0.22);
    m.def("basis", &basis, py::arg("points"), py::arg("n") = 2, py::arg("metric") = "euclidian",
          py::arg("weights") = default_weights, py::arg("offsets") = false, py::arg("ids") = false,
          py::arg("threads") = py::none(),
          R"(Distances from each point to its n nearest feature points, ascending.

Returns float32 distances of shape (..., n); with offsets=True also the
offsets to those points (..., n, 3), with ids=True their uint32 ids (..., n),
as a tuple (distances, [offsets], [ids]). Slots no feature point filled hold
about 2511.6, offsets NaN and id 0. metric: 1-5 or a name; weights: 3
numbers (factors for metrics 1-3, the offset for 4, exponents for 5).
threads: 1-256, None for one per core.)");
    m.def("texture", &texture, py::arg("points"), py::arg("metric") = "euclidian", py::arg("weights") = default_weights,
          py::arg("octaves") = 0, py::arg("gain") = 0.5f, py::arg("color1") = default_color1,
          py::arg("color2") = default_color2, py::arg("threads") = py::none(),
          R"(The shader's colour at each point: float32 RGBA of shape (..., 4).

r, g and b are, bit for bit, what the shader plugin returns for that point
and these parameters; alpha is 0 where the plugin zeroes it (the value
beyond 1/gain for a positive gain, beyond gain otherwise), else 1. octaves:
0-5 finer octaves added; colours: 3 or 4 numbers (alpha unused).)");
    m.def("value", &value, py::arg("points"), py::arg("metric") = "euclidian", py::arg("weights") = default_weights,
          py::arg("octaves") = 0, py::arg("gain") = 0.5f, py::arg("threads") = py::none(),
          R"(The blend factor t at each point, float32 of shape (...).

The shader's colour is color2 * (1 - t) + color1 * t. t is NaN where the
colour is NaN and 0 where the texture zeroes alpha.)");
    m.def("info", &info, "The module's version, the search kernel in use, the default thread count and the chunk size.");
}
