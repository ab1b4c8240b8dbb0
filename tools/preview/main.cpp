// cellular-preview: renders the cellular texture without a production
// renderer, through the shader library loaded the way a renderer loads it.
//
// Exit codes: 0 done, 1 the library, the render or the output failed,
// 2 bad command line.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "tools/preview/image_io.h"
#include "tools/preview/options.h"
#include "tools/preview/render.h"

namespace {

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

// Draws a progress bar on standard error until stopped.
class ProgressBar {
public:
    ProgressBar(const std::atomic<int>& done, int total) : done_(done), total_(total), thread_([this] { run(); }) {}
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
        const int done = done_.load();
        const int filled = total_ > 0 ? done * kWidth / total_ : kWidth;
        std::fprintf(stderr, "\r[%.*s%*s] %3d%% (%d/%d tiles)", filled, "########################################",
                     kWidth - filled, "", total_ > 0 ? done * 100 / total_ : 100, done, total_);
        std::fflush(stderr);
    }
    const std::atomic<int>& done_;
    const int total_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    preview::Options options;
    try {
        options = preview::parse_options(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cellular-preview: %s\n", e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(preview::usage(argv[0]).c_str(), stdout);
        return 0;
    }

    try {
        const std::string library = options.library.empty() ? default_library_path() : options.library;
        std::string error;
        const auto lib = standin::ShaderLibrary::load(library, &error);
        if (!lib) throw std::runtime_error(error);
        lib->set_module_handle(standin::renderer_module_handle());

        // Claim the output first: an unwritable place fails before the render.
        preview::AtomicOutput output(options.output);

        const int threads = options.threads > 0 ? options.threads
                                                : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        const preview::Layout layout = preview::plan(options);
        std::atomic<int> done{0};
        const auto start = std::chrono::steady_clock::now();
        preview::Image image;
        {
            std::unique_ptr<ProgressBar> bar;
            if (!options.quiet && isatty(STDERR_FILENO)) bar = std::make_unique<ProgressBar>(done, preview::count_tiles(layout));
            image = preview::render(options, layout, *lib, threads, &done);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        if (preview::is_exr_name(options.output)) {
            preview::write_exr(image, output.temp_path());
        } else {
            preview::write_png(image, output.temp_path());
        }
        output.commit();
        if (!options.quiet) {
            std::fprintf(stderr, "wrote %s (%dx%d, %d thread%s, %.3f s)\n", options.output.c_str(), image.width,
                         image.height, threads, threads == 1 ? "" : "s", seconds);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cellular-preview: %s\n", e.what());
        return 1;
    }
}
