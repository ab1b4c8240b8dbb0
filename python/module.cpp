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
#include "cellular/tiles.h"
#include "shader/shading.h"
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
    {"euclidian", 1}, {"euclidean", 1}, {"manhattan", 2},      {"chessboard", 3},
    {"chebyshev", 3}, {"minkowski", 4}, {"superquadratic", 5},
};
constexpr const char* kValidMetrics =
    "1 or 'euclidian' (also 'euclidean'), 2 or 'manhattan', 3 or 'chessboard' (also 'chebyshev'), 4 or "
    "'minkowski', 5 or 'superquadratic'";

// Longest value shown in an error message: a huge list is cut short.
constexpr std::size_t kShownValue = 80;

// repr(value), cut to kShownValue characters.
std::string shown(const py::handle& value) {
    std::string text;
    try {
        text = py::repr(value).cast<std::string>();
    } catch (const py::error_already_set&) {
        return "<a value whose repr failed>";
    }
    if (text.size() > kShownValue) text = text.substr(0, kShownValue - 5) + " ...";
    return text;
}

// An attribute of numpy, looked up once by its caller and kept for the life
// of the process.
py::handle numpy_attr(const char* name) { return py::object(py::module_::import("numpy").attr(name)).release(); }

// True and False, and numpy's booleans, which also pass as integers.
bool is_bool(const py::handle& value) {
    if (PyBool_Check(value.ptr())) return true;
    static const py::handle numpy_bool = numpy_attr("bool_");
    return PyObject_IsInstance(value.ptr(), numpy_bool.ptr()) == 1;
}

// A Python int or anything that stands for one (numpy's integers), but
// not a bool.
bool is_whole_number(const py::handle& value) { return PyIndex_Check(value.ptr()) && !is_bool(value); }

// A real number: a whole number or a float (Python's or numpy's).
bool is_real_number(const py::handle& value) {
    if (is_bool(value)) return false;
    if (PyFloat_Check(value.ptr()) || is_whole_number(value)) return true;
    static const py::handle numpy_floating = numpy_attr("floating");
    return PyObject_IsInstance(value.ptr(), numpy_floating.ptr()) == 1;
}

// A whole number in [lo, hi] as an integer, else a TypeError or ValueError
// naming `what` and what it accepts (`accepts`).
long long whole_number(const py::handle& value, const char* what, long long lo, long long hi,
                       const std::string& accepts) {
    if (!is_whole_number(value)) {
        throw py::type_error(std::string(what) + " must be " + accepts + ", got " + shown(value));
    }
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || n < lo || n > hi) {
        throw py::value_error(std::string(what) + " must be " + accepts + ", got " + shown(value));
    }
    return n;
}

bool flag(const py::handle& value, const char* what) {
    if (!is_bool(value)) throw py::type_error(std::string(what) + " must be True or False, got " + shown(value));
    return value.cast<bool>();
}

float real_number(const py::handle& value, const char* what) {
    if (!is_real_number(value)) throw py::type_error(std::string(what) + " must be a real number, got " + shown(value));
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<float>(d);
}

int32_t metric_number(const py::object& metric) {
    if (py::isinstance<py::str>(metric)) {
        std::string name = metric.cast<std::string>();
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        for (const MetricName& m : kMetricNames) {
            if (name == m.name) return m.number;
        }
        throw py::value_error("unknown metric " + shown(metric) + "; valid: " + kValidMetrics);
    }
    if (is_whole_number(metric)) {
        return static_cast<int32_t>(
            whole_number(metric, "metric", tulo::kFirstMetric, tulo::kLastMetric, kValidMetrics));
    }
    throw py::type_error("metric must be a number or a name, got " + shown(metric) + "; valid: " + kValidMetrics);
}

// Between `fewest` and `most` real numbers as float32 values: a tuple or
// list of numbers, or a one-dimensional numeric array.
std::vector<float> floats(const py::object& value, std::size_t fewest, std::size_t most, const char* what,
                          const char* meaning) {
    const std::string accepts =
        (fewest == most ? std::to_string(fewest) : std::to_string(fewest) + " or " + std::to_string(most)) +
        " real numbers (" + meaning + ")";
    std::vector<float> out;
    if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
        const py::sequence seq = py::reinterpret_borrow<py::sequence>(value);
        for (const py::handle item : seq) {
            if (!is_real_number(item)) {
                throw py::type_error(std::string(what) + " must be " + accepts + ", got " + shown(value));
            }
            out.push_back(real_number(item, what));
        }
    } else if (py::isinstance<py::array>(value)) {
        const py::array a = py::reinterpret_borrow<py::array>(value);
        const char kind = a.dtype().kind();
        if (a.ndim() != 1 || (kind != 'f' && kind != 'i' && kind != 'u')) {
            throw py::type_error(std::string(what) + " must be " + accepts + ", got " + shown(value));
        }
        for (const py::handle item : value) out.push_back(real_number(item, what));
    } else {
        throw py::type_error(std::string(what) + " must be " + accepts + ", got " + shown(value));
    }
    if (out.size() < fewest || out.size() > most) {
        throw py::value_error(std::string(what) + " must be " + accepts + ", got " + std::to_string(out.size()) + ": " +
                              shown(value));
    }
    return out;
}

Vector3 weights_of(const py::object& value) {
    const std::vector<float> w = floats(value, 3, 3, "weights", "x, y, z");
    return Vector3{w[0], w[1], w[2]};
}

// RGB or RGBA; the alpha is carried but, as in the plugin, never used.
tulo::Color color_of(const py::object& value, const char* what) {
    std::vector<float> c = floats(value, 3, 4, what, "r, g, b and an optional alpha");
    if (c.size() == 3) c.push_back(1.0f);
    return tulo::Color{c[0], c[1], c[2], c[3]};
}

// The thread-count rule of every interface: None or 0 for one thread per
// available core, 1 to kMaxBatchThreads as given.
int32_t threads_of(const py::object& threads) {
    if (threads.is_none()) return 0;
    const std::string accepts = "None or 0 (one per available core) or 1.." + std::to_string(tulo::kMaxBatchThreads);
    return static_cast<int32_t>(whole_number(threads, "threads", 0, tulo::kMaxBatchThreads, accepts));
}

// The shape as Python writes it: (), (5,), (2, 4).
std::string shape_text(const py::array& a) {
    py::tuple shape(a.ndim());
    for (py::ssize_t i = 0; i < a.ndim(); ++i) shape[static_cast<std::size_t>(i)] = a.shape(i);
    return py::repr(shape).cast<std::string>();
}

// The points as packed, aligned float32 x, y, z (one copy unless they
// already are), and the shape of the leading axes.
struct Points {
    py::array_t<float, py::array::c_style> array;
    std::vector<py::ssize_t> leading;
    std::size_t count = 0;
    const Vector3* data() const { return reinterpret_cast<const Vector3*>(array.data()); }
};

Points points_of(const py::object& value) {
    py::array raw;
    if (py::isinstance<py::array>(value)) {
        raw = py::reinterpret_borrow<py::array>(value);
    } else {
        // numpy's own conversion, so that its errors (a ragged list, memory)
        // reach the caller as numpy raises them.
        try {
            raw = py::module_::import("numpy").attr("asarray")(value);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_MemoryError)) throw;
            const std::string what =
                "points must be an array of numbers with a last axis of 3 (x, y, z); numpy says: " +
                py::str(e.value()).cast<std::string>().substr(0, 2 * kShownValue);
            if (e.matches(PyExc_ValueError)) throw py::value_error(what);  // a ragged list
            throw py::type_error(what);
        }
    }
    const char kind = raw.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        throw py::type_error("points must hold real numbers (float or integer), got dtype " +
                             py::str(raw.dtype()).cast<std::string>());
    }
    if (raw.ndim() == 0 || raw.shape(raw.ndim() - 1) != 3) {
        throw py::value_error("points must have a last axis of length 3 (x, y, z), got shape " + shape_text(raw));
    }
    // Contiguous and aligned float32: a view at an odd byte offset is copied
    // (numpy raises MemoryError where the copy does not fit).
    static const py::handle require = numpy_attr("require");
    Points p;
    p.array = py::reinterpret_borrow<py::array_t<float, py::array::c_style>>(
        require(raw, py::dtype::of<float>(), py::make_tuple("C", "A")));
    for (py::ssize_t i = 0; i + 1 < raw.ndim(); ++i) p.leading.push_back(raw.shape(i));
    p.count = static_cast<std::size_t>(p.array.size() / 3);
    return p;
}

std::vector<py::ssize_t> with(std::vector<py::ssize_t> shape, std::initializer_list<py::ssize_t> tail) {
    shape.insert(shape.end(), tail.begin(), tail.end());
    return shape;
}

// Between chunks the calling thread looks for a pending Ctrl-C and reports
// progress (at most every kSignalInterval, since taking the GIL back may wait
// for another Python thread).
constexpr std::chrono::milliseconds kSignalInterval{50};

struct Watch {
    std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now() + kSignalInterval;
    py::object progress;  // None, or called with (done, total)
    std::size_t done = 0, total = 0;
};

void note_progress(void* context, std::size_t done, std::size_t total) {
    auto* watch = static_cast<Watch*>(context);
    watch->done = done;
    watch->total = total;
}

bool keep_going(void* context) {
    auto* watch = static_cast<Watch*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now < watch->next) return true;
    watch->next = now + kSignalInterval;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) return false;  // the exception stays set for the caller
    if (!watch->progress.is_none()) {
        try {
            watch->progress(watch->done, watch->total);
        } catch (py::error_already_set& e) {
            e.restore();  // raised by the caller once the call has stopped
            return false;
        }
    }
    return true;
}

// A callable or None.
py::object progress_of(const py::object& progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw py::type_error("progress must be None or a callable taking (done, total), got " + shown(progress));
    }
    return progress;
}

// Runs `work(options)` without the GIL; raises what a signal handler or the
// progress callback raised; tells the callback the whole is done.
template <class Work>
void run_without_gil(int32_t threads, const py::object& progress, Work&& work) {
    Watch watch;
    watch.progress = progress;
    tulo::BatchOptions options;
    options.threads = threads;
    options.keep_going = keep_going;
    options.keep_going_context = &watch;
    options.progress = note_progress;
    options.progress_context = &watch;
    bool done;
    {
        py::gil_scoped_release release;
        done = work(options);
    }
    if (!done) throw py::error_already_set();
    if (!progress.is_none()) progress(watch.total, watch.total);
}

// A lattice from `period` (None or 0: none; a whole number for x, y and z;
// or 2 or 3 whole numbers, x, y and an optional z) and `seed`.
tulo::Lattice lattice_of(const py::object& period, const py::object& seed) {
    const std::string accepts = "None, a whole number 0.." + std::to_string(tulo::kMaxPeriod) +
                                " or 2 or 3 of them (cells along x, y[, z]; 0 for none)";
    tulo::Lattice l;
    if (!period.is_none()) {
        if (is_whole_number(period)) {
            const auto p = static_cast<int32_t>(whole_number(period, "period", 0, tulo::kMaxPeriod, accepts));
            l.period[0] = l.period[1] = l.period[2] = p;
        } else if (py::isinstance<py::tuple>(period) || py::isinstance<py::list>(period)) {
            const py::sequence seq = py::reinterpret_borrow<py::sequence>(period);
            if (seq.size() != 2 && seq.size() != 3)
                throw py::value_error("period must be " + accepts + ", got " + shown(period));
            for (std::size_t a = 0; a < seq.size(); ++a) {
                l.period[a] = static_cast<int32_t>(whole_number(seq[a], "period", 0, tulo::kMaxPeriod, accepts));
            }
        } else {
            throw py::type_error("period must be " + accepts + ", got " + shown(period));
        }
    }
    l.seed = static_cast<uint32_t>(whole_number(seed, "seed", 0, 0xFFFFFFFFll, "a whole number 0..4294967295"));
    return l;
}

// `out` when given (an array of exactly this shape and dtype, C-contiguous,
// aligned and writeable, such as a numpy.memmap), else a new array.
template <class T>
py::array_t<T> output(const py::handle& out, const std::vector<py::ssize_t>& shape, const char* what) {
    if (out.is_none()) return py::array_t<T>(shape);
    if (!py::isinstance<py::array>(out))
        throw py::type_error(std::string(what) + " must be a numpy array, got " + shown(out));
    const py::array a = py::reinterpret_borrow<py::array>(out);
    std::vector<py::ssize_t> have(a.shape(), a.shape() + a.ndim());
    if (!a.dtype().is(py::dtype::of<T>())) {
        throw py::type_error(std::string(what) + " must have dtype " + py::str(py::dtype::of<T>()).cast<std::string>() +
                             ", got " + py::str(a.dtype()).cast<std::string>());
    }
    if (have != shape) {
        py::tuple want(shape.size());
        for (std::size_t k = 0; k < shape.size(); ++k) want[k] = shape[k];
        throw py::value_error(std::string(what) + " must have shape " + py::repr(want).cast<std::string>() + ", got " +
                              shape_text(a));
    }
    const int flags = a.flags();
    if (!(flags & py::array::c_style) || !(flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) ||
        !(flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_)) {
        throw py::value_error(std::string(what) + " must be C-contiguous, aligned and writeable");
    }
    return py::reinterpret_borrow<py::array_t<T>>(out);
}

const std::string kAcceptsN =
    "a whole number 1.." + std::to_string(tulo::kMaxCandidates) + " (the most feature points the searched cubes hold)";

py::object basis(const py::object& points, const py::object& n_value, const py::object& metric,
                 const py::object& weights, const py::object& offsets_value, const py::object& ids_value,
                 const py::object& threads, const py::object& period, const py::object& seed, const py::object& out,
                 const py::object& progress_value) {
    const auto n = static_cast<py::ssize_t>(whole_number(n_value, "n", 1, tulo::kMaxCandidates, kAcceptsN));
    const tulo::DistType* m = &tulo::metric_by_number(metric_number(metric));
    const Vector3 w = weights_of(weights);
    const bool offsets = flag(offsets_value, "offsets");
    const bool ids = flag(ids_value, "ids");
    const int32_t t = threads_of(threads);
    const tulo::Lattice lattice = lattice_of(period, seed);
    const py::object progress = progress_of(progress_value);
    const Points p = points_of(points);

    // `out`: the distances' array, or with offsets or ids a tuple of arrays
    // in the order of the result.
    const std::size_t results = 1 + (offsets ? 1 : 0) + (ids ? 1 : 0);
    std::vector<py::object> outs(results, py::none());
    if (!out.is_none()) {
        if (results == 1) {
            outs[0] = out;
        } else {
            if (!py::isinstance<py::tuple>(out) || py::len(out) != results) {
                throw py::type_error("out must be a tuple of " + std::to_string(results) +
                                     " arrays (distances, then offsets and ids as asked), got " + shown(out));
            }
            for (std::size_t k = 0; k < results; ++k) outs[k] = py::reinterpret_borrow<py::tuple>(out)[k];
        }
    }
    // Every slot is written by the library (unfilled ones as NaN offsets and id 0).
    std::size_t k = 0;
    py::array_t<float> F = output<float>(outs[k++], with(p.leading, {n}), results == 1 ? "out" : "out[0]");
    py::array_t<float> delta;
    py::array_t<uint32_t> ID;
    Vector3* delta_data = nullptr;
    uint32_t* id_data = nullptr;
    if (offsets) {
        delta = output<float>(outs[k], with(p.leading, {n, 3}), k == 1 ? "out[1]" : "out[2]");
        ++k;
        delta_data = reinterpret_cast<Vector3*>(delta.mutable_data());
    }
    if (ids) {
        ID = output<uint32_t>(outs[k], with(p.leading, {n}), k == 1 ? "out[1]" : "out[2]");
        id_data = ID.mutable_data();
    }
    float* f = F.mutable_data();
    run_without_gil(t, progress, [&](const tulo::BatchOptions& options) {
        return tulo::cellular_basis_batch(m, &w, p.data(), p.count, static_cast<int32_t>(n), f, delta_data, id_data,
                                          lattice, options);
    });
    if (results == 1) return std::move(F);
    py::tuple result(results);
    k = 0;
    result[k++] = F;
    if (offsets) result[k++] = delta;
    if (ids) result[k++] = ID;
    return std::move(result);
}

tulo::CellularTextureParams texture_params(const py::object& metric, const py::object& weights,
                                           const py::object& octaves_value, const py::object& gain,
                                           const py::object& color1, const py::object& color2) {
    const long long octaves = whole_number(octaves_value, "octaves", tulo::kMinOctaves, tulo::kMaxOctaves,
                                           "a whole number 0..5 (finer octaves added)");
    tulo::CellularTextureParams params{};
    params.color1 = color_of(color1, "color1");
    params.color2 = color_of(color2, "color2");
    params.metric = metric_number(metric);
    params.weights = weights_of(weights);
    params.octaves = static_cast<int32_t>(octaves);
    params.gain = real_number(gain, "gain");
    return params;
}

py::array_t<float> texture(const py::object& points, const py::object& metric, const py::object& weights,
                           const py::object& octaves, const py::object& gain, const py::object& color1,
                           const py::object& color2, const py::object& threads, const py::object& period,
                           const py::object& seed, const py::object& out, const py::object& progress_value) {
    const tulo::CellularTextureParams params = texture_params(metric, weights, octaves, gain, color1, color2);
    const int32_t t = threads_of(threads);
    const tulo::Lattice lattice = lattice_of(period, seed);
    const py::object progress = progress_of(progress_value);
    const Points p = points_of(points);
    py::array_t<float> rgba = output<float>(out, with(p.leading, {4}), "out");
    auto* colors = reinterpret_cast<tulo::Color*>(rgba.mutable_data());
    // Alpha 1 unless the texture zeroes it.
    std::fill_n(colors, p.count, tulo::Color{0.0f, 0.0f, 0.0f, 1.0f});
    run_without_gil(t, progress, [&](const tulo::BatchOptions& options) {
        return tulo::texture_batch(params, lattice, p.data(), p.count, colors, options);
    });
    return rgba;
}

py::array_t<float> value(const py::object& points, const py::object& metric, const py::object& weights,
                         const py::object& octaves, const py::object& gain, const py::object& threads,
                         const py::object& period, const py::object& seed, const py::object& out,
                         const py::object& progress_value) {
    const tulo::CellularTextureParams params =
        texture_params(metric, weights, octaves, gain, py::make_tuple(1, 1, 1), py::make_tuple(0, 0, 0));
    const int32_t t = threads_of(threads);
    const tulo::Lattice lattice = lattice_of(period, seed);
    const py::object progress = progress_of(progress_value);
    const Points p = points_of(points);
    py::array_t<float> values = output<float>(out, p.leading, "out");
    float* v = values.mutable_data();
    run_without_gil(t, progress, [&](const tulo::BatchOptions& options) {
        return tulo::texture_values_batch(params, lattice, p.data(), p.count, v, options);
    });
    return values;
}

// The world coordinates of a seamless tile's pixel centres along one axis
// (tulo::tile_coordinates).
py::array_t<float> tile_coordinates(const py::object& pixels, const py::object& period, const py::object& periods) {
    const auto n =
        static_cast<int32_t>(whole_number(pixels, "pixels", 1, 1 << 24, "a whole number of pixels, 1 or more"));
    const auto p =
        static_cast<int32_t>(whole_number(period, "period", 1, tulo::kMaxTilePeriod,
                                          "a whole number of cells 1.." + std::to_string(tulo::kMaxTilePeriod)));
    const auto k = static_cast<int32_t>(whole_number(periods, "periods", 1, tulo::kMaxTilePeriods,
                                                     "a whole number 1.." + std::to_string(tulo::kMaxTilePeriods)));
    py::array_t<float> out(static_cast<py::ssize_t>(n) * k);
    tulo::tile_coordinates(n, p, k, out.mutable_data());
    return out;
}

py::dict info() {
    py::dict d;
    d["version"] = TULO_VERSION;
    d["kernel"] = tulo::cellular_kernel_name();
    d["threads"] = tulo::batch_default_threads();
    d["max_threads"] = tulo::kMaxBatchThreads;
    d["chunk"] = tulo::kBatchChunk;
    d["max_n"] = tulo::kMaxCandidates;
    return d;
}

}  // namespace

// The functions take their arguments by position: the package's Python
// wrappers (__init__.py) give them their names, defaults and documentation,
// and Python itself names a misspelt keyword.
PYBIND11_MODULE(_core, m) {
    m.doc() = "The cellular basis and texture of tulo_cellulartexture for numpy arrays (see the package).";
    m.def("basis", &basis);
    m.def("texture", &texture);
    m.def("value", &value);
    m.def("info", &info);
    m.def("tile_coordinates", &tile_coordinates);
    m.attr("max_n") = tulo::kMaxCandidates;
    m.attr("max_period") = tulo::kMaxPeriod;
    m.attr("max_tile_period") = tulo::kMaxTilePeriod;
    m.attr("max_tile_periods") = tulo::kMaxTilePeriods;
}
