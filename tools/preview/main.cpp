// cellular-preview: renders the cellular texture without a production
// renderer, through the shader library loaded the way a renderer loads it.
//
// Exit codes: 0 done; 1 the library, the render or writing the output
// failed; 2 bad command line, options file or output name (anything found
// before the render); killed by a signal (status 128 + its number in a
// shell) after removing any half-written file.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "cellular/cellular_batch.h"
#include "tools/preview/image_io.h"
#include "tools/preview/look.h"
#include "tools/preview/options.h"
#include "tools/preview/output.h"
#include "tools/preview/probe.h"
#include "tools/preview/layout.h"
#include "tools/preview/passes.h"
#include "tools/preview/render.h"
#include "tools/preview/stats.h"

namespace {

constexpr const char* kToolVersion = TULO_VERSION;  // the package's

// The shader library beside this program (the build folder), or where an
// installation puts it (the library folder next to this program's folder).
std::string default_library_path() {
    const std::string name = "tulo_cellulartexture.so";
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return name;
    const std::string path(exe, static_cast<size_t>(n));
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    const std::string installed = dir + TULO_LIBDIR_FROM_BINDIR "/" + name;
    if (access((dir + name).c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
    return dir + name;
}

// Draws a progress bar on standard error until stopped: tiles done, an
// estimate of the time left, and the encoding phase after the render.
class ProgressBar {
public:
    ProgressBar(const std::atomic<long>& done, long total)
        : done_(done), total_(total), start_(std::chrono::steady_clock::now()), thread_([this] { run(); }) {}
    // The image is being encoded and written (the tiles are all done).
    void encoding(bool on) { encoding_ = on; }
    ~ProgressBar() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
        draw();
        std::fputc('\n', stderr);
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; })) draw();
    }
    void draw() const {
        constexpr int kWidth = 40;
        const long done = done_.load();
        const int filled = total_ > 0 ? static_cast<int>(done * kWidth / total_) : kWidth;
        char after[64] = "";
        if (encoding_) {
            std::snprintf(after, sizeof(after), " encoding...");
        } else if (done > 0 && done < total_) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
            const long left =
                static_cast<long>(elapsed * static_cast<double>(total_ - done) / static_cast<double>(done) + 0.5);
            std::snprintf(after, sizeof(after), " about %ld:%02ld left", left / 60, left % 60);
        }
        // Padded so that a shorter line wipes a longer one.
        std::fprintf(stderr, "\r[%.*s%*s] %3ld%% (%ld/%ld tiles)%-22s", filled,
                     "########################################", kWidth - filled, "",
                     total_ > 0 ? done * 100 / total_ : 100L, done, total_, after);
        std::fflush(stderr);
    }
    const std::atomic<long>& done_;
    const long total_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<bool> encoding_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// The file name of frame `frame` (from 1): NAME.0001.EXT.
std::string frame_name(const std::string& path, int frame) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    char number[16];
    std::snprintf(number, sizeof(number), ".%04d", frame);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + number;
    return path.substr(0, dot) + number + path.substr(dot);
}

// The options of frame `frame` of `frames`.
preview::Options frame_options(const preview::Options& o, int frame) {
    preview::Options f = o;
    if (o.animation.kind == preview::Animation::Kind::none) return f;
    const double u = static_cast<double>(frame - 1) / (o.animation.frames - 1);
    const double v = o.animation.from + (o.animation.to - o.animation.from) * u;
    if (o.animation.kind == preview::Animation::Kind::depth)
        f.depth = v;
    else
        f.scale = v;
    f.animation = preview::Animation{};
    return f;
}

std::string memory_text(double bytes) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    // A write beyond the file-size limit fails with a message instead of
    // killing the program; an interrupt removes the half-written file.
    signal(SIGXFSZ, SIG_IGN);
    preview::remove_output_on_interrupt();

    preview::Options options;
    try {
        options = preview::parse_options(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cellular-preview: %s\n", e.what());
        return 2;
    }
    const preview::Mode mode = preview::mode_of(options);
    if (mode == preview::Mode::help) {
        std::fputs(preview::usage(argv[0]).c_str(), stdout);
        return 0;
    }
    // A render's options are checked once its output format is known.
    if (mode != preview::Mode::render) {
        try {
            preview::refuse_ignored_options(options, false);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "cellular-preview: %s\n", e.what());
            return 2;
        }
    }
    if (mode == preview::Mode::compare) {
        std::string report;
        bool same = false;
        try {
            same = preview::compare_images(options.compare[0], options.compare[1], &report);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "cellular-preview: --compare: %s\n", e.what());
            return 2;
        }
        std::fputs(report.c_str(), stdout);
        return same ? 0 : 1;
    }

    try {
        // The look's file, written whole or not at all; checked against the
        // image's own name when there is one.
        auto save_look = [&](const std::string& image_path) {
            const std::string text = preview::params_text(options);
            if (options.save_params == "-") {
                if (options.output_given && options.output == "-") {
                    throw preview::UsageError("--save-params - and -o - both want standard output");
                }
                preview::write_to_stdout(std::vector<unsigned char>(text.begin(), text.end()));
                return;
            }
            if (!image_path.empty() && preview::same_file(options.save_params, image_path)) {
                throw preview::UsageError("--save-params " + options.save_params + " would overwrite the image");
            }
            preview::check_output_path(options.save_params);
            preview::AtomicOutput saved(options.save_params);
            saved.write(std::vector<unsigned char>(text.begin(), text.end()));
            saved.commit();
        };
        if (mode == preview::Mode::save_look) {
            for (const std::string& w : options.warnings)
                std::fprintf(stderr, "cellular-preview: warning: %s\n", w.c_str());
            save_look("");
            return 0;
        }

        const std::string library = options.library.empty() ? default_library_path() : options.library;
        std::string error;
        const auto lib = standin::ShaderLibrary::load(library, &error);
        if (!lib) throw std::runtime_error(error);
        if (options.version) {
            // The plugin makes the same choice of search kernel from the same
            // CPU and environment as the library linked here.
            std::printf(
                "cellular-preview %s\nshader library %s: interface version %d\nsearch kernel: %s "
                "(the widest this CPU runs, capped by TULO_CELLULAR_MAX_ISA)\n",
                kToolVersion, library.c_str(), lib->version(), tulo::cellular_kernel_name());
            return 0;
        }
        lib->set_module_handle(standin::renderer_module_handle());
        if (mode == preview::Mode::probe) {
            std::vector<preview::Vec3> points = options.probes;
            if (!options.points_file.empty()) {
                const std::vector<preview::Vec3> more = preview::read_points(options.points_file);
                points.insert(points.end(), more.begin(), more.end());
            }
            const std::string lines = preview::probe_lines(options, *lib, points);
            preview::write_to_stdout(std::vector<unsigned char>(lines.begin(), lines.end()));
            return 0;
        }

        // Everything about the output is checked before any work.
        const bool animated = options.animation.kind != preview::Animation::Kind::none;
        const int frames = animated ? options.animation.frames : 1;
        for (int frame = 1; frame <= frames; ++frame) {
            preview::check_output_path(animated ? frame_name(options.output, frame) : options.output);
        }
        const preview::Format format = preview::format_of(options.output);
        try {
            preview::refuse_ignored_options(options, format == preview::Format::exr);
        } catch (const std::invalid_argument& e) {
            throw preview::UsageError(e.what());
        }
        for (int frame = 1; frame <= frames; ++frame) {
            preview::check_output_takes(animated ? frame_name(options.output, frame) : options.output, format);
        }
        if (format == preview::Format::exr && options.output == "-") {
            throw preview::UsageError("standard output takes PNG only");
        }
        if (options.passes && format != preview::Format::exr)
            throw preview::UsageError("--passes needs an .exr output");
        if (!options.pass.empty() && format != preview::Format::png) {
            throw preview::UsageError("--pass draws a PNG; for EXR use --passes, which keeps every pass as channels");
        }
        for (const std::string& w : options.warnings)
            std::fprintf(stderr, "cellular-preview: warning: %s\n", w.c_str());
        if (!options.save_params.empty()) {
            if (animated && preview::same_file(options.save_params, options.output)) {
                throw preview::UsageError("--save-params " + options.save_params + " would overwrite the image");
            }
            save_look(animated ? frame_name(options.output, 1) : options.output);
        }

        // EXR is premultiplied unless asked otherwise; PNG is straight.
        options.premultiply = format == preview::Format::exr && !options.straight_alpha;
        // 0: one per core available to the process, as the basis library counts them.
        const int threads = options.threads > 0 ? options.threads : static_cast<int>(tulo::batch_default_threads());
        const preview::Layout first_layout = preview::plan(frame_options(options, 1));
        for (const std::string& notice : first_layout.notices)
            std::fprintf(stderr, "cellular-preview: note: %s\n", notice.c_str());
        // The colour's tiles, and the passes' as many again with --passes.
        const long tiles_per_frame = preview::count_tiles(first_layout) * (options.passes ? 2 : 1);
        std::atomic<long> done{0};
        std::unique_ptr<ProgressBar> bar;
        const bool show_progress = !options.quiet && isatty(STDERR_FILENO);
        if (show_progress) bar = std::make_unique<ProgressBar>(done, tiles_per_frame * frames);
        std::vector<std::string> report;  // the facts of each render, printed after the bar

        for (int frame = 1; frame <= frames; ++frame) {
            const preview::Options o = frame_options(options, frame);
            const std::string path = animated ? frame_name(options.output, frame) : options.output;
            const preview::Layout layout = frame == 1 ? preview::Layout{} : preview::plan(o);
            const preview::Layout& plan = frame == 1 ? first_layout : layout;

            const auto start = std::chrono::steady_clock::now();
            // The picture the file shows: the colour, or with --pass that
            // pass alone (the colour is not rendered); and its own facts.
            preview::Image image;
            std::string summary;
            std::vector<std::string> found;
            try {
                if (!o.pass.empty()) {
                    const preview::Passes passes = preview::compute_passes(o, plan, threads, &done);
                    image = preview::pass_picture(passes, o.pass, o.legend);
                    summary = preview::pass_summary_line(passes, o.pass);
                    found = preview::pass_warnings(passes, o.pass);
                } else {
                    preview::Stats stats;
                    image = preview::render(o, plan, *lib, threads, &done, &stats);
                    summary = preview::summary_line(stats);
                    found = preview::warnings(stats);
                }
            } catch (const std::bad_alloc&) {
                const double bytes = 16.0 * plan.width * plan.height;
                throw std::runtime_error("not enough memory to render " + std::to_string(plan.width) + "x" +
                                         std::to_string(plan.height) + ": the image needs " + memory_text(bytes) +
                                         " (16 bytes a pixel), and more to encode it");
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

            const preview::Metadata metadata = {
                {"Software", std::string("cellular-preview ") + kToolVersion +
                                 " with tulo_cellulartexture interface version " + std::to_string(lib->version())},
                {"Parameters", preview::params_text(o)},
                {"Command Line", options.command_line},
                {"Alpha", options.background != preview::Options::Background::none
                              ? "flattened onto the background: alpha is 1"
                          : o.premultiply ? "premultiplied: the colour channels are multiplied by alpha"
                                          : "straight: the colour channels are not multiplied by alpha"},
            };
            if (bar) bar->encoding(true);
            // The file is created now that there is something to write (the
            // place was checked before the render).
            std::unique_ptr<preview::AtomicOutput> out;
            if (path != "-") out = std::make_unique<preview::AtomicOutput>(path);
            try {
                if (format == preview::Format::exr) {
                    preview::ExtraChannels extra;
                    if (o.passes) {
                        preview::Passes p = preview::compute_passes(o, plan, threads, &done);
                        extra.floats = {{"F1", std::move(p.f1)},
                                        {"F2", std::move(p.f2)},
                                        {"offset.X", std::move(p.offset[0])},
                                        {"offset.Y", std::move(p.offset[1])},
                                        {"offset.Z", std::move(p.offset[2])}};
                        extra.uints = {{"id", std::move(p.id)}};
                    }
                    preview::write_exr(image, out->fd(), path, metadata, extra);
                } else {
                    // Passes are data, written linear.
                    const preview::ColorSpace space = o.pass.empty() ? o.colorspace : preview::ColorSpace::linear;
                    const auto bytes = preview::encode_png(image, space, metadata, o.bits);
                    if (out)
                        out->write(bytes);
                    else
                        preview::write_to_stdout(bytes);
                }
            } catch (const std::bad_alloc&) {
                throw std::runtime_error("not enough memory to encode " + path);
            }
            if (out) out->commit();
            if (bar) bar->encoding(false);

            // --quiet drops the summary, never a warning.
            if (!options.quiet) {
                char head[256];
                std::snprintf(head, sizeof(head),
                              "%s %s (%dx%d, %d thread%s, %.3f s): ", path == "-" ? "wrote PNG to" : "wrote",
                              path == "-" ? "standard output" : path.c_str(), image.width, image.height, threads,
                              threads == 1 ? "" : "s", seconds);
                report.push_back(head + summary);
            }
            for (const std::string& w : found) report.push_back("cellular-preview: warning: " + w);
            if (!bar) {
                for (const std::string& line : report) std::fprintf(stderr, "%s\n", line.c_str());
                report.clear();
            }
        }
        bar.reset();  // ends the bar's line; the facts follow it
        for (const std::string& line : report) std::fprintf(stderr, "%s\n", line.c_str());
        return 0;
    } catch (const preview::UsageError& e) {
        std::fprintf(stderr, "cellular-preview: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cellular-preview: %s\n", e.what());
        return 1;
    }
}
