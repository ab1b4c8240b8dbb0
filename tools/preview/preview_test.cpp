// End-to-end tests of cellular-preview: the real program is run, its images
// are read back with their libraries and compared with the shader library
// called directly; bad input must fail with a message and an exit code and
// leave nothing behind. Grouped by concern: output, pictures, facts,
// workflow (and the layout of labels and ticks, checked on plan()).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cellular/cellular_basis.h"
#include "cellular/tiles.h"
#include "shader/texture_batch.h"
#include "cellular/cellular_batch.h"
#include "cellular/testing/float_bits.h"
#include "standin/standin_renderer.h"
#include "tools/preview/font.h"
#include "tools/preview/image_io.h"
#include "tools/preview/options.h"
#include "tools/preview/output.h"
#include "tools/preview/layout.h"
#include "tools/preview/passes.h"
#include "tools/preview/render.h"
#include "tools/preview/stats.h"

// Under a sanitizer the program maps terabytes of shadow memory at start, so
// it cannot run under an address-space limit at all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#    define TULO_PREVIEW_SANITIZED 1
#elif defined(__has_feature)
#    if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#        define TULO_PREVIEW_SANITIZED 1
#    endif
#endif

namespace {

namespace fs = std::filesystem;

struct ProgramRun {
    int status;          // exit code, or -signal when killed
    std::string output;  // standard output and error together
};

// Runs a shell command line; `prefix` goes before the program (limits).
ProgramRun run_shell(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1000, "popen failed"};
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    const int raw = pclose(pipe);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw), out};
}

ProgramRun run_preview(const std::string& args, const std::string& limits = "") {
    return run_shell((limits.empty() ? "" : "(" + limits + "; exec ") + std::string(PREVIEW_PATH) + " " + args +
                     (limits.empty() ? "" : ")"));
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether child process `child` ends by signal `sig` within `limit`. A child
// still running then is killed, so that a failure ends the test instead of
// hanging it.
bool ends_within(pid_t child, int sig, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

using tulo_test::bits;

// fsync, interposed for the whole test program (the output code is linked
// in): while an FsyncLog exists, every call is recorded with what it
// flushed and whether the logged final name then held the new file (more
// than its old 3 bytes); then the C library's fsync runs.
struct FsyncCall {
    bool folder;
    bool final_is_new;
};

struct FsyncLog {
    explicit FsyncLog(std::string final_path) : final_path(std::move(final_path)) { active = this; }
    ~FsyncLog() { active = nullptr; }
    std::string final_path;
    std::vector<FsyncCall> calls;
    static FsyncLog* active;
};
FsyncLog* FsyncLog::active = nullptr;

}  // namespace

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    if (FsyncLog* log = FsyncLog::active) {
        struct stat flushed, final_file;
        const bool folder = fstat(fd, &flushed) == 0 && S_ISDIR(flushed.st_mode);
        const bool is_new = stat(log->final_path.c_str(), &final_file) == 0 && final_file.st_size > 3;
        log->calls.push_back({folder, is_new});
    }
    return real(fd);
}

namespace {

class Preview : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("preview-test-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        return names;
    }
    fs::path dir_;
};

const standin::ShaderLibrary& library() {
    static const auto lib = [] {
        std::string error;
        auto l = standin::ShaderLibrary::load(TULO_LIBRARY_PATH, &error);
        if (!l) std::abort();
        l->set_module_handle(standin::renderer_module_handle());
        return l;
    }();
    return *lib;
}

// The library's colour for one sample point.
tulo::Color shade_at(const tulo::CellularTextureParams& params, float x, float y, float z) {
    standin::ParameterStore store;
    store.params() = params;
    standin::ShadingRecord record(store);
    record.set_point(x, y, z);
    tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
    standin::shade(library(), record, store, &c);
    return c;
}

void expect_same(const tulo::Color& expected, const tulo::Color& got, const std::string& where) {
    EXPECT_EQ(bits(expected.r), bits(got.r)) << where;
    EXPECT_EQ(bits(expected.g), bits(got.g)) << where;
    EXPECT_EQ(bits(expected.b), bits(got.b)) << where;
    EXPECT_EQ(bits(expected.a), bits(got.a)) << where;
}

bool same_pixels(const preview::Image& a, const preview::Image& b) {
    return a.width == b.width && a.height == b.height &&
           std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size() * sizeof(tulo::Color)) == 0;
}

// --- What the pictures show --------------------------------------------------

TEST_F(Preview, ExrPixelsAreTheLibrarysColoursUntouched) {
    // A 4x2 slice 8 units wide around (3, -2): pixels are 2 units square, so
    // their centres lie at x = 0, 2, 4, 6 and y = -1 (top row), -3.
    const std::string out = path("slice.exr");
    const ProgramRun r = run_preview(
        "--size 4x2 --metric 2 --octaves 1 --gain 0.7 --weights 1,2,0.5 "
        "--color1 0.9,0.1,0.2 --color2 0.1,0.5,0.7,0.5 --center 3,-2 --scale 8 "
        "--depth 1.5 --quiet -o " +
        out);
    ASSERT_EQ(0, r.status) << r.output;
    const preview::Image image = preview::read_exr(out);
    ASSERT_EQ(4, image.width);
    ASSERT_EQ(2, image.height);
    const tulo::CellularTextureParams p = {
        {0.9f, 0.1f, 0.2f, 1.0f}, {0.1f, 0.5f, 0.7f, 0.5f}, 2, {1.0f, 2.0f, 0.5f}, 1, 0.7f};
    const float xs[] = {0.0f, 2.0f, 4.0f, 6.0f}, ys[] = {-1.0f, -3.0f};
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 4; ++i)
            expect_same(shade_at(p, xs[i], ys[j], 1.5f), image.at(i, j), std::to_string(i) + "," + std::to_string(j));
}

TEST_F(Preview, EightBitOutputIsSrgbEncodedWithAlphaUnlessLinearIsAsked) {
    // NaN weights keep no distance: t = 0 and every pixel is color2, whose
    // channels 0.2, 0.5, 1 encode to sRGB 124, 188, 255 (linear 51, 128,
    // 255); the shader leaves alpha as the renderer set it (1: 255).
    const std::string common = "--size 4x4 --weights nan,0,0 --color2 0.2,0.5,1 --quiet ";
    ASSERT_EQ(0, run_preview(common + "-o " + path("srgb.png")).status);
    ASSERT_EQ(0, run_preview(common + "--colorspace linear -o " + path("linear.png")).status);
    int w = 0, h = 0;
    const auto srgb = preview::read_png_rgba(path("srgb.png"), &w, &h);
    const auto linear = preview::read_png_rgba(path("linear.png"), &w, &h);
    EXPECT_EQ((std::vector<unsigned char>{124, 188, 255, 255}),
              std::vector<unsigned char>(srgb.begin(), srgb.begin() + 4));
    EXPECT_EQ((std::vector<unsigned char>{51, 128, 255, 255}),
              std::vector<unsigned char>(linear.begin(), linear.begin() + 4));
    // --bits 16: the same encodings scaled to 65535 (sRGB 0.2 is 31753.6).
    ASSERT_EQ(0, run_preview(common + "--bits 16 -o " + path("srgb16.png")).status);
    ASSERT_EQ(0, run_preview(common + "--bits 16 --colorspace linear -o " + path("linear16.png")).status);
    const preview::PngCodes srgb16 = preview::read_png(path("srgb16.png")),
                            linear16 = preview::read_png(path("linear16.png"));
    EXPECT_EQ(16, srgb16.bits);
    EXPECT_EQ(preview::ColorSpace::srgb, srgb16.space);
    EXPECT_EQ(preview::ColorSpace::linear, linear16.space);
    EXPECT_EQ((std::vector<uint16_t>{31754, 48192, 65535, 65535}),
              std::vector<uint16_t>(srgb16.rgba.begin(), srgb16.rgba.begin() + 4));
    EXPECT_EQ((std::vector<uint16_t>{13107, 32768, 65535, 65535}),
              std::vector<uint16_t>(linear16.rgba.begin(), linear16.rgba.begin() + 4));
    // Beyond the gain limit the shader zeroes alpha: transparent in the PNG.
    ASSERT_EQ(0, run_preview("--size 4x4 --gain -1 --quiet -o " + path("beyond.png")).status);
    const auto beyond = preview::read_png_rgba(path("beyond.png"), &w, &h);
    for (size_t i = 3; i < beyond.size(); i += 4) EXPECT_EQ(0, beyond[i]);
}

TEST_F(Preview, PngIsClampedAndNaNIsOpaqueMagenta) {
    // NaN weights keep no distance: t = 0, and gain 0 makes it 0/0.
    ASSERT_EQ(0, run_preview("--size 8x8 --weights nan,nan,nan --gain 0 --quiet -o " + path("nan.png")).status);
    int w = 0, h = 0;
    const auto rgba = preview::read_png_rgba(path("nan.png"), &w, &h);
    ASSERT_EQ(8, w);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        ASSERT_EQ((std::vector<unsigned char>{255, 0, 255, 255}),
                  std::vector<unsigned char>(rgba.begin() + i, rgba.begin() + i + 4));
    }
    ASSERT_EQ(0, run_preview("--size 8x8 --weights nan,nan,nan --gain 0 --quiet -o " + path("nan.exr")).status);
    EXPECT_TRUE(std::isnan(preview::read_exr(path("nan.exr")).at(3, 3).r));
    // Out-of-range colours clamp: color2 (2, -1, 0.5) is (255, 0, 188).
    ASSERT_EQ(0, run_preview("--size 4x4 --weights nan,0,0 --color2 2,-1,0.5 --quiet -o " + path("c.png")).status);
    const auto clamped = preview::read_png_rgba(path("c.png"), &w, &h);
    EXPECT_EQ((std::vector<unsigned char>{255, 0, 188}),
              std::vector<unsigned char>(clamped.begin(), clamped.begin() + 3));
}

TEST_F(Preview, TheDefaultPictureHasNoHolesAndBothBranchesShowWhenAsked) {
    ASSERT_EQ(0, run_preview("--size 96x96 --quiet -o " + path("default.exr")).status);
    for (const tulo::Color& c : preview::read_exr(path("default.exr")).pixels) ASSERT_NE(0.0f, c.a);
    ASSERT_EQ(0, run_preview("--size 48x32 --gain 0.7 --quiet -o " + path("limit.exr")).status);
    int alpha_zero = 0;
    const preview::Image limit = preview::read_exr(path("limit.exr"));
    for (const tulo::Color& c : limit.pixels) alpha_zero += c.a == 0.0f;
    EXPECT_GT(alpha_zero, 0);
    EXPECT_LT(alpha_zero, static_cast<int>(limit.pixels.size()));
}

TEST_F(Preview, RawShowsTheValueItself) {
    // White at 1, black at 0: every channel is t / (1 / gain) as the library
    // computes it with those colours.
    ASSERT_EQ(0,
              run_preview("--raw --size 3x2 --center 1,1 --scale 6 --metric 3 --quiet -o " + path("raw.exr")).status);
    const preview::Image image = preview::read_exr(path("raw.exr"));
    tulo::CellularTextureParams p = preview::default_options().params;
    p.metric = 3;
    p.color1 = {1.0f, 1.0f, 1.0f, 1.0f};
    p.color2 = {0.0f, 0.0f, 0.0f, 1.0f};
    const float xs[] = {-1.0f, 1.0f, 3.0f}, ys[] = {2.0f, 0.0f};
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 3; ++i) {
            const tulo::Color c = image.at(i, j);
            expect_same(shade_at(p, xs[i], ys[j], 0.0f), c, "raw");
            EXPECT_EQ(bits(c.r), bits(c.g));
        }
    ASSERT_EQ(2, run_preview("--raw --color1 1,0,0 -o " + path("x.png")).status);
}

TEST_F(Preview, TheMetricSheetShowsEveryMetricsOwnCharacter) {
    // Without --weights, Superquadratic (exponents 1/2) no longer repeats
    // Manhattan; with --weights 1,1,1 it does, pixel for pixel.
    auto columns_differ = [&](const std::string& extra) {
        const std::string out = path("sheet" + std::to_string(extra.size()) + ".exr");
        const ProgramRun r = run_preview("--sheet metrics --cell 24 --quiet " + extra + " -o " + out);
        EXPECT_EQ(0, r.status) << r.output;
        const preview::Image image = preview::read_exr(out);
        const preview::Layout layout = preview::plan([&] {
            preview::Options o = preview::default_options();
            o.sheet.kind = preview::Sheet::Kind::metrics_by_octaves;
            o.cell = 24;
            o.weights_given = !extra.empty();
            return o;
        }());
        const preview::Cell& manhattan = layout.cells[1];
        const preview::Cell& superquadratic = layout.cells[4];
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x)
                if (std::memcmp(&image.at(manhattan.x0 + x, manhattan.y0 + y),
                                &image.at(superquadratic.x0 + x, superquadratic.y0 + y), sizeof(tulo::Color)) != 0)
                    return true;
        return false;
    };
    EXPECT_TRUE(columns_differ(""));
    EXPECT_FALSE(columns_differ("--weights 1,1,1"));
}

TEST_F(Preview, ImageDoesNotDependOnTheThreadCount) {
    const std::string common = "--sheet metrics --cell 40 --ramp gain=0.3:1.5 --samples 4 --quiet -o ";
    ASSERT_EQ(0, run_preview("--threads 1 " + common + path("one.exr")).status);
    ASSERT_EQ(0, run_preview("--threads 5 " + common + path("five.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("one.exr")), preview::read_exr(path("five.exr"))));
}

TEST_F(Preview, RampedParameterIsComputedPerSampleThroughTheRenderer) {
    // Four columns sample the ramps at u = 1/8, 3/8, 5/8, 7/8: gain
    // 0.5 + 1.5u and octaves round(5u); the 4x4 slice 20 units wide puts
    // column centres at x = -7.5, -2.5, 2.5, 7.5 and row 1 at y = 2.5.
    const ProgramRun r =
        run_preview("--size 4x4 --ramp gain=0.5:2 --ramp octaves=0:5 --straight-alpha --quiet -o " + path("ramp.exr"));
    ASSERT_EQ(0, r.status) << r.output;
    const preview::Image image = preview::read_exr(path("ramp.exr"));
    const float gains[] = {0.6875f, 1.0625f, 1.4375f, 1.8125f};
    const int32_t octaves[] = {1, 2, 3, 4};
    const float xs[] = {-7.5f, -2.5f, 2.5f, 7.5f};
    for (int i = 0; i < 4; ++i) {
        tulo::CellularTextureParams p = preview::default_options().params;
        p.gain = gains[i];
        p.octaves = octaves[i];
        expect_same(shade_at(p, xs[i], 2.5f, 0.0f), image.at(i, 1), "column " + std::to_string(i));
    }
    // Too narrow for the tick values: said so, not silently left out.
    EXPECT_TRUE(contains(run_preview("--size 4x4 --ramp gain=0.5:2 -o " + path("r.png")).output, "do not fit"));
}

// --- Labels, legend and ticks ------------------------------------------------

TEST(PreviewLayout, LabelsWrapButAreNeverCut) {
    preview::Options o = preview::default_options();
    o.sheet.kind = preview::Sheet::Kind::sweep;
    o.sheet.param = standin::Param::weights;
    o.sheet.from = {0.123456, 1.98765, 3.14159};
    o.sheet.to = {2.5, 0.001234, 1.0};
    o.sheet.count = 3;
    o.cell = 40;  // six characters a line
    const preview::Layout layout = preview::plan(o);
    ASSERT_EQ(3u, layout.cells.size());
    // Three significant digits, every character on some line, no line wider
    // than the cell.
    std::string joined;
    for (const std::string& line : layout.cells[0].label) {
        EXPECT_LE(static_cast<int>(line.size()) * 6, 40) << line;
        joined += line.back() == '-' ? line.substr(0, line.size() - 1) : line;  // a hyphen where a word breaks
    }
    EXPECT_EQ("weights0.123,1.99,3.14", joined);
    // The legend states the fixed settings.
    std::string captions;
    for (const preview::Caption& c : layout.captions) captions += c.text + " ";
    EXPECT_TRUE(contains(captions, "GAIN 0.5")) << captions;
    EXPECT_TRUE(contains(captions, "SCALE 20")) << captions;
    EXPECT_TRUE(contains(captions, "COLOR1 0.95,0.85,0.55,1")) << captions;
}

TEST(PreviewLayout, LabelsBreakBetweenPairsAndNameMetrics) {
    // 19 characters a line: "OCTAVES 5" goes to the next line whole rather
    // than leaving its value behind; 10: a name longer than a line breaks
    // with a hyphen.
    preview::Options o = preview::default_options();
    o.sheet.kind = preview::Sheet::Kind::metrics_by_octaves;
    o.cell = 114;
    ASSERT_EQ(30u, preview::plan(o).cells.size());
    EXPECT_EQ((std::vector<std::string>{"1 EUCLIDIAN", "OCTAVES 5"}), preview::plan(o).cells[25].label);
    o.cell = 60;
    EXPECT_EQ((std::vector<std::string>{"5", "SUPERQUAD-", "RATIC", "OCTAVES 0"}), preview::plan(o).cells[4].label);
    // A sweep of metrics names them.
    o.sheet.kind = preview::Sheet::Kind::sweep;
    o.sheet.param = standin::Param::metric;
    o.sheet.from = {1.0};
    o.sheet.to = {5.0};
    o.sheet.count = 5;
    o.cell = 192;
    const preview::Layout sweep = preview::plan(o);
    ASSERT_EQ(5u, sweep.cells.size());
    EXPECT_EQ((std::vector<std::string>{"metric 3 CHESSBOARD"}), sweep.cells[2].label);
}

TEST(PreviewLayout, RampsGetTicksWithValues) {
    preview::Options o = preview::default_options();
    o.width = 400;
    o.height = 100;
    o.ramps.push_back({standin::Param::gain, {0.2}, {1.8}});
    const preview::Layout layout = preview::plan(o);
    EXPECT_GT(layout.height, 100);  // a strip below the picture
    ASSERT_EQ(5u, layout.ticks.size());
    EXPECT_EQ(0, layout.ticks.front().x);
    EXPECT_EQ(399, layout.ticks.back().x);
    std::string captions;
    for (const preview::Caption& c : layout.captions) captions += c.text + "|";
    EXPECT_EQ("gain 0.2|0.6|1|1.4|1.8|", captions);
    EXPECT_TRUE(layout.notices.empty());
}

TEST(PreviewLayout, ASingleViewsLegendNamesItsSettingsBelowEverything) {
    preview::Options o = preview::default_options();
    o.width = 300;
    o.height = 100;
    o.legend = true;
    o.ramps.push_back({standin::Param::gain, {0.2}, {1.8}});
    const preview::Layout layout = preview::plan(o);
    ASSERT_EQ(1u, layout.cells.size());
    EXPECT_EQ(300, layout.cells[0].width);
    EXPECT_EQ(100, layout.cells[0].height);
    int tick_bottom = 0, legend_top = layout.height;
    std::string legend;
    for (const preview::Tick& t : layout.ticks) tick_bottom = std::max(tick_bottom, t.y1);
    for (const preview::Caption& c : layout.captions) {
        if (c.x == 4) legend += c.text + " ", legend_top = std::min(legend_top, c.y);  // the legend's margin
    }
    EXPECT_TRUE(contains(legend, "METRIC 1 EUCLIDIAN")) << legend;
    EXPECT_TRUE(contains(legend, "RAMPED gain")) << legend;
    EXPECT_FALSE(contains(legend, "GAIN 0.5")) << legend;        // ramped, so not a fixed setting
    EXPECT_GT(legend_top, tick_bottom + preview::kGlyphHeight);  // below the ticks' values
    // Too narrow for a readable legend: said so, and the picture keeps its size.
    o.width = 40;
    o.ramps.clear();
    const preview::Layout narrow = preview::plan(o);
    EXPECT_EQ(100, narrow.height);
    ASSERT_EQ(1u, narrow.notices.size());
    EXPECT_TRUE(contains(narrow.notices[0], "the legend does not fit")) << narrow.notices[0];
    // A pass is the bare view: its own legend comes with the picture.
    o.width = 300;
    o.pass = "F1";
    o.ramps.push_back({standin::Param::gain, {0.2}, {1.8}});
    EXPECT_EQ(100, preview::plan(o).height);
}

// --- Output that never surprises --------------------------------------------

TEST_F(Preview, OutputProblemsAreFoundBeforeRenderingAndLeaveNothing) {
    fs::create_directories(dir_ / "folder");
    // As cp does, a file without write permission is not replaced (root may
    // write it all the same).
    std::ofstream(path("readonly.png")) << "keep";
    fs::permissions(path("readonly.png"), fs::perms::owner_read);
    // A pipe cannot take EXR, which is written with seeks back: refused by
    // its type, without opening it (which would wait for a reader).
    ASSERT_EQ(0, mkfifo(path("pipe.exr").c_str(), 0644));
    ASSERT_EQ(0, mkfifo(path("pipe.0002.exr").c_str(), 0644));
    const bool root = geteuid() == 0;
    struct Case {
        std::string output;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {path("folder"), 2, "is a folder"},
        {path("folder") + "/", 2, "names a folder"},
        {path("missing/out.png"), 2, "the folder '" + path("missing") + "' does not exist"},
        {path("readonly.png"), 2, "cannot write '" + path("readonly.png") + "': "},
        {path("x.jpg"), 2, ".jpg is not a supported format (supported: .png, .exr)"},
        {path("x.tif"), 2, ".tif is not a supported format"},
        {path("noextension"), 2, "has no extension"},
        {path("pipe.exr"), 2, "cannot write an EXR to '" + path("pipe.exr") + "': it is a pipe"},
        {path("pipe.exr") + " --frames 3 --depth 0:1", 2,
         "cannot write an EXR to '" + path("pipe.0002.exr") + "': it is a pipe"},
    };
    // A render this size with Minkowski would take many seconds: these must
    // fail at once (and a program that waits on the pipe is stopped).
    for (const Case& c : cases) {
        if (root && c.output == path("readonly.png")) continue;
        const auto start = std::chrono::steady_clock::now();
        const ProgramRun r =
            run_shell("timeout 60 " + std::string(PREVIEW_PATH) + " --size 4096x4096 --metric 4 -o " + c.output);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(c.status, r.status) << c.output << "\n" << r.output;
        EXPECT_TRUE(contains(r.output, c.message)) << c.output << "\n" << r.output;
        EXPECT_LT(seconds, 5.0) << "rendered before failing: " << c.output;
    }
    std::vector<std::string> left = files();
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{"folder", "pipe.0002.exr", "pipe.exr", "readonly.png"}), left);
    std::ifstream kept(path("readonly.png"));
    EXPECT_EQ("keep", std::string(std::istreambuf_iterator<char>(kept), {}));
    // A device is written in place, never replaced by a file.
    const ProgramRun null = run_preview("--size 8x8 --quiet -o /dev/null");
    EXPECT_EQ(0, null.status) << null.output;
    struct stat st;
    ASSERT_EQ(0, stat("/dev/null", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(Preview, AFolderWithoutWritePermissionIsReported) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root, which may write anywhere";
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const ProgramRun r = run_preview("-o " + path("locked/x.png"));
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(contains(r.output, "no permission to write")) << r.output;
}

TEST_F(Preview, PngGoesToStandardOutputButNotToATerminal) {
    const ProgramRun r = run_shell(std::string(PREVIEW_PATH) + " --size 8x8 --quiet -o - > " + path("piped.png"));
    ASSERT_EQ(0, r.status) << r.output;
    int w = 0, h = 0;
    preview::read_png_rgba(path("piped.png"), &w, &h);
    EXPECT_EQ(8, w);
    EXPECT_EQ(2, run_preview("--size 8x8 --frames 2 --depth 0:1 -o -").status);
    // script(1) gives the program a terminal as standard output.
    if (system("command -v script > /dev/null 2>&1") == 0) {
        const ProgramRun tty = run_shell("script -qec '" + std::string(PREVIEW_PATH) + " --size 8x8 -o -' /dev/null");
        EXPECT_TRUE(contains(tty.output, "refusing to write a PNG to a terminal")) << tty.output;
    }
}

TEST_F(Preview, EverySignalThatEndsTheProgramRemovesTheHalfWrittenFile) {
    // The program's own output code in a child that stops mid-write; a
    // signal then, whether from the user, a closed terminal or a closed
    // pipe, removes the temporary file and ends the child by that signal.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);  // SIGQUIT would leave a core file
            preview::remove_output_on_interrupt();
            preview::AtomicOutput out(path("half.png"));
            out.write(std::vector<unsigned char>(4096, 7));
            // Sleeps of a millisecond, not pause(): ThreadSanitizer's runtime
            // defers a signal that arrives outside a call it intercepts until
            // the next such call returns, and one such signal once left this
            // child in pause() for good.
            for (;;) usleep(1000);
        }
        std::vector<std::string> seen;
        for (int i = 0; i < 10000 && seen.empty(); ++i) {
            seen = files();
            if (seen.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(1u, seen.size()) << "no temporary file appeared";
        EXPECT_TRUE(contains(seen[0], "half.png.tmp-")) << seen[0];
        kill(child, sig);
        EXPECT_TRUE(ends_within(child, sig, std::chrono::seconds(10))) << "signal " << sig;
        EXPECT_TRUE(files().empty()) << "signal " << sig << " left " << files().front();
        for (const std::string& f : files()) fs::remove(dir_ / f);
    }
}

TEST_F(Preview, NothingIsWrittenWhileTheRenderRuns) {
    // The file is created once the image is ready, not for the length of
    // the render; a signal during the render leaves nothing either.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string out = path("big.png");
        execl(PREVIEW_PATH, PREVIEW_PATH, "--size", "4096x4096", "--metric", "4", "--threads", "1", "--quiet", "-o",
              out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(files().empty()) << files().front() << " exists during the render";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(files().empty());
}

TEST_F(Preview, AFailedWriteNamesTheFileAndTheReason) {
    // A file-size limit of 64 KiB: the PNG of 512x512 noise is larger.
    const ProgramRun r = run_preview("--quiet -o " + path("big.png"), "ulimit -f 64");
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_TRUE(contains(r.output, "cannot write '" + path("big.png") + "': File too large")) << r.output;
    const ProgramRun e = run_preview("--size 512x256 --quiet -o " + path("big.exr"), "ulimit -f 64");
    EXPECT_EQ(1, e.status) << e.output;
    EXPECT_TRUE(contains(e.output, "cannot write '" + path("big.exr") + "': File too large")) << e.output;
    EXPECT_TRUE(files().empty());
}

TEST_F(Preview, ShortOfMemoryItSaysHowMuchIsNeeded) {
#if !defined(TULO_PREVIEW_SANITIZED)
    const ProgramRun r = run_preview("--size 16384x16384 --quiet -o " + path("huge.exr"), "ulimit -v 1000000");
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_TRUE(contains(r.output, "the image needs 4096 MiB")) << r.output;
    EXPECT_TRUE(files().empty());
#endif
    // Sheets are capped as a whole.
    const ProgramRun s = run_preview("--sweep gain=0.1:1:64 --cell 2048 -o " + path("sheet.png"));
    EXPECT_EQ(2, s.status);
    EXPECT_TRUE(contains(s.output, "more than 16384 on a side")) << s.output;
}

TEST_F(Preview, ANewFileGetsTheModeOfTheUmask) {
    for (const char* mask : {"027", "002", "077"}) {
        const std::string out = path(std::string("new") + mask + ".png");
        const ProgramRun r =
            run_shell(std::string("umask ") + mask + "; exec " + PREVIEW_PATH + " --size 8x8 --quiet -o " + out);
        ASSERT_EQ(0, r.status) << r.output;
        struct stat st;
        ASSERT_EQ(0, stat(out.c_str(), &st));
        EXPECT_EQ(0666u & ~std::stoul(mask, nullptr, 8), st.st_mode & 0777u) << "umask " << mask;
    }
}

TEST_F(Preview, TheFileIsOnDiskBeforeItsNameAndTheNameAfter) {
    // fsync as the output code calls it (see the interposer above): the
    // temporary file flushed while the final name still holds the old
    // file, then the folder flushed once the name holds the new one.
    const std::string final_path = path("out.png");
    std::ofstream(final_path) << "old";
    FsyncLog log(final_path);
    {
        preview::AtomicOutput out(final_path);
        out.write(std::vector<unsigned char>(4096, 7));
        out.commit();
    }
    ASSERT_EQ(2u, log.calls.size());
    EXPECT_FALSE(log.calls[0].folder);
    EXPECT_FALSE(log.calls[0].final_is_new) << "the file was flushed after the rename";
    EXPECT_TRUE(log.calls[1].folder);
    EXPECT_TRUE(log.calls[1].final_is_new) << "the folder was flushed before the rename";
}

TEST_F(Preview, AnExistingFileKeepsItsModeAndALinkIsWrittenThrough) {
    const std::string target = path("target.png");
    std::ofstream(target) << "old";
    chmod(target.c_str(), 0640);
    fs::create_symlink(target, path("link.png"));
    ASSERT_EQ(0, run_preview("--size 8x8 --quiet -o " + path("link.png")).status);
    EXPECT_TRUE(fs::is_symlink(path("link.png")));
    struct stat st;
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777u);
    int w = 0, h = 0;
    preview::read_png_rgba(target, &w, &h);
    EXPECT_EQ(8, w);
}

TEST_F(Preview, ContradictionsAreRefusedAndOverflowIsInfinity) {
    struct Case {
        std::string args;
        std::string message;
    };
    const Case cases[] = {
        {"--sheet metrics --sweep gain=0.1:1:4", "either --sheet metrics or a --sweep"},
        {"--sweep gain=0.1:1:4 --ramp gain=0.5:1", "both swept and ramped"},
        {"--sheet metrics --size 64x64", "--size does not apply to a sheet"},
        {"--sweep gain=0.2:2", "expected PARAM=FROM:TO:COUNT"},
        {"--frames 3", "--frames needs --depth FROM:TO or --scale FROM:TO"},
        {"--depth 0:1", "needs --frames N"},
        {"--normal 0,0,1 --up 0,0,2", "must not be parallel"},
        {"--samples 3", "not a square number"},
        {"--view sphere --normal 1,0,0", "orient a slice"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = run_preview(c.args + " -o " + path("x.png"));
        EXPECT_EQ(2, r.status) << c.args << "\n" << r.output;
        EXPECT_TRUE(contains(r.output, c.message)) << c.args << "\n" << r.output;
    }
    ASSERT_EQ(0, run_preview("--size 8x8 --gain 1e999 --quiet -o " + path("a.exr")).status);
    ASSERT_EQ(0, run_preview("--size 8x8 --gain inf --quiet -o " + path("b.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("a.exr")), preview::read_exr(path("b.exr"))));
}

TEST_F(Preview, BadInputFailsClearlyAndLeavesNothingBehind) {
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    const std::string out = " -o " + path("out.png");
    const Case cases[] = {
        {"--frobnicate", 2, "unknown option '--frobnicate'"},
        {"--gain abc", 2, "option --gain: 'abc' is not a number"},
        {"--gain", 2, "option --gain: needs a value"},
        {"--quiet=yes", 2, "option --quiet: takes no value"},
        {"--compare=a.png b.png", 2, "option --compare: takes 2 values, as separate words"},
        {"--weights 1,2", 2, "option --weights: '1,2' needs 3 comma-separated numbers"},
        {"--color1 1,x,1", 2, "option --color1: 'x' is not a number"},
        {"--size 10x0", 2, "option --size: '0' is outside 1..16384"},
        {"--metric 99999999999", 2, "option --metric: '99999999999' is outside"},
        {"--ramp speed=1:2", 2, "unknown parameter 'speed'"},
        {"--view cube", 2, "expected slice or sphere"},
        {"--colorspace p3", 2, "expected srgb or linear"},
        {"--threads -1", 2, "option --threads: '-1' is negative: give 0 for one thread per available core"},
        {"--threads 257", 2, "option --threads: '257' is above the cap of 256 threads"},
        // An option the run would ignore is refused, whatever the mode.
        {"--probe 0.5,1,2 -o " + path("x.png"), 2,
         "option -o does not apply: --probe and --points print to standard output"},
        {"--points " + path("p.txt") + " --size 8x8", 2, "option --size does not apply: --probe and --points"},
        {"--compare " + path("a.png") + " " + path("b.png") + " --threads 2", 2,
         "option --threads does not apply: --compare"},
        {"--save-params " + path("look.txt") + " --threads 2", 2,
         "option --threads does not apply: --save-params without -o"},
        {"--size 8x8 --cell 40" + out, 2, "option --cell does not apply: it sizes the cells of a sheet"},
        {"--size 8x8 --colorspace linear -o " + path("x.exr"), 2,
         "option --colorspace does not apply: EXR keeps linear"},
        {"--size 8x8 --background checker --straight-alpha -o " + path("x.exr"), 2,
         "option --straight-alpha does not apply"},
        {"--size 8x8 --pass F1 --gain 0.3" + out, 2, "option --gain does not apply: --pass draws the basis"},
        {"--sheet metrics --legend" + out, 2, "option --legend does not apply: a sheet always carries its legend"},
        {"--size 8x8 --bits 16 -o " + path("x.exr"), 2, "option --bits does not apply: EXR keeps 32-bit floats"},
        {"--bits 12" + out, 2, "option --bits: expected 8 or 16, got '12'"},
        {"--library /nonexistent/lib.so" + out, 1, "cannot load shader library '/nonexistent/lib.so'"},
        {std::string("--library ") + NOT_A_SHADER_PATH + out, 1,
         "lacks the entry point 'tulo_cellulartexture_version'"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = run_preview(c.args);
        EXPECT_EQ(c.status, r.status) << c.args << "\n" << r.output;
        EXPECT_TRUE(contains(r.output, c.message)) << c.args << "\n" << r.output;
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(Preview, ThePreviewScriptWritesIntoTheCallersFolder) {
    const ProgramRun r =
        run_shell("cd " + dir_.string() + " && " + SOURCE_DIR + "/scripts/preview.sh --size 8x8 --quiet -o x.png");
    ASSERT_EQ(0, r.status) << r.output;
    EXPECT_TRUE(fs::exists(path("x.png")));
}

TEST_F(Preview, ThePreviewScriptBuildsOneAtATime) {
    // While another run holds the build lock, the script waits before it
    // builds (two builds at once relink the same program, and one fails).
    // Up to date, it would finish well within the hold.
    const std::string lock_path = std::string(SOURCE_DIR) + "/build/.preview-build.lock";
    fs::create_directories(std::string(SOURCE_DIR) + "/build");
    const int lock = open(lock_path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(0, flock(lock, LOCK_EX));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string command = "cd " + dir_.string() + " && " + SOURCE_DIR +
                                    "/scripts/preview.sh --size 8x8 --quiet -o waited.png > /dev/null 2>&1";
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_FALSE(fs::exists(path("waited.png"))) << "built and ran while the lock was held";
    flock(lock, LOCK_UN);
    close(lock);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(fs::exists(path("waited.png")));
}

// --- Facts after every render -----------------------------------------------

TEST_F(Preview, EveryRenderEndsWithItsFacts) {
    // NaN weights and gain 0: every sample NaN, one flat colour.
    const ProgramRun nan = run_preview("--size 8x8 --weights nan,nan,nan --gain 0 -o " + path("nan.png"));
    ASSERT_EQ(0, nan.status);
    EXPECT_TRUE(contains(nan.output, "NaN 100%")) << nan.output;
    EXPECT_TRUE(contains(nan.output, "of 64 samples")) << nan.output;
    EXPECT_TRUE(contains(nan.output, "warning: the image is one flat colour")) << nan.output;
    EXPECT_TRUE(contains(nan.output, "warning: most samples are NaN")) << nan.output;
    // Far beyond the lattice: every sample, and color2 everywhere.
    const ProgramRun far = run_preview("--size 8x8 --center 1e10,0 -o " + path("far.png"));
    EXPECT_TRUE(contains(far.output, "beyond the lattice 100%")) << far.output;
    // Gain 1.5 leaves some samples beyond the limit: alpha 0 between 0 and 100%.
    const ProgramRun limit = run_preview("--size 32x32 --gain 1.5 --samples 4 -o " + path("limit.png"));
    EXPECT_TRUE(contains(limit.output, "of 4096 samples")) << limit.output;
    EXPECT_FALSE(contains(limit.output, "alpha 0 0%")) << limit.output;
    EXPECT_FALSE(contains(limit.output, "warning")) << limit.output;
    // --threads 0 (the default) is one thread per core available to the
    // process, as the basis library counts them.
    const int cores = tulo::batch_default_threads();
    const std::string threads = std::to_string(cores) + (cores == 1 ? " thread," : " threads,");
    for (const char* given : {"", "--threads 0 "}) {
        const ProgramRun r = run_preview(std::string(given) + "--size 8x8 -o " + path("t.png"));
        EXPECT_TRUE(contains(r.output, "(8x8, " + threads)) << given << r.output;
    }
}

TEST_F(Preview, VersionAndHelp) {
    const ProgramRun v = run_preview("--version");
    EXPECT_EQ(0, v.status);
    EXPECT_TRUE(contains(v.output, "interface version 1\nsearch kernel: ")) << v.output;
    const ProgramRun h = run_preview("--help");
    EXPECT_EQ(0, h.status);
    EXPECT_TRUE(contains(h.output, "Exit codes: 0 done; 2 anything found before the render")) << h.output;
}

TEST_F(Preview, EveryOptionTheHelpNamesIsAccepted) {
    const ProgramRun help = run_preview("--help");
    ASSERT_EQ(0, help.status);
    std::vector<std::string> options;
    for (std::size_t at = help.output.find("--"); at != std::string::npos; at = help.output.find("--", at + 2)) {
        std::size_t end = at + 2;
        while (end < help.output.size() &&
               (std::isalnum(static_cast<unsigned char>(help.output[end])) || help.output[end] == '-'))
            ++end;
        if (end > at + 2) options.push_back(help.output.substr(at, end - at));
    }
    EXPECT_GE(options.size(), 25u);
    for (const std::string& option : options) {
        const ProgramRun r = run_preview(option + " --size 1x1 --quiet -o " + path("o.png"));
        EXPECT_FALSE(contains(r.output, "unknown option '" + option + "'")) << option << "\n" << r.output;
    }
}

TEST_F(Preview, FilesCarryTheSettingsThatMadeThem) {
    const std::string args = "--size 8x8 --metric 3 --gain 0.25 --quiet";
    ASSERT_EQ(0, run_preview(args + " -o " + path("m.exr")).status);
    ASSERT_EQ(0, run_preview(args + " -o " + path("m.png")).status);
    for (const auto& text : {preview::read_exr_text(path("m.exr")), preview::read_png_text(path("m.png"))}) {
        ASSERT_TRUE(text.count("Parameters"));
        EXPECT_TRUE(contains(text.at("Parameters"), "--metric 3\n")) << text.at("Parameters");
        EXPECT_TRUE(contains(text.at("Parameters"), "--gain 0.25\n")) << text.at("Parameters");
        ASSERT_TRUE(text.count("Command Line"));
        EXPECT_TRUE(contains(text.at("Command Line"), "--metric 3 --gain 0.25")) << text.at("Command Line");
        ASSERT_TRUE(text.count("Software"));
        EXPECT_TRUE(contains(text.at("Software"), "tulo_cellulartexture interface version 1"));
    }
}

// --- The look-development workflow ---------------------------------------------

TEST_F(Preview, FramesStepTheDepthThroughNumberedFiles) {
    const ProgramRun r = run_preview("--size 6x4 --frames 3 --depth 0:2 --quiet -o " + path("f.exr"));
    ASSERT_EQ(0, r.status) << r.output;
    EXPECT_EQ(3u, files().size());
    ASSERT_EQ(0, run_preview("--size 6x4 --depth 1 --quiet -o " + path("single.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("single.exr")), preview::read_exr(path("f.0002.exr"))));
    EXPECT_FALSE(same_pixels(preview::read_exr(path("f.0001.exr")), preview::read_exr(path("f.0003.exr"))));
    ASSERT_EQ(0, run_preview("--size 6x4 --frames 2 --scale 10:30 --quiet -o " + path("s.exr")).status);
    ASSERT_EQ(0, run_preview("--size 6x4 --scale 30 --quiet -o " + path("s30.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("s30.exr")), preview::read_exr(path("s.0002.exr"))));
}

TEST_F(Preview, SlicesAtAnyOrientation) {
    // Normal along x, up along z: right is y. A 2x2 slice 8 wide through
    // (3, -2, 1.5) has its pixel centres at y = -4 / 0 and z = 3.5 / -0.5.
    ASSERT_EQ(0, run_preview("--size 2x2 --center 3,-2 --depth 1.5 --scale 8 --normal 1,0,0 --up 0,0,1 --quiet -o " +
                             path("x.exr"))
                     .status);
    const preview::Image image = preview::read_exr(path("x.exr"));
    const tulo::CellularTextureParams p = preview::default_options().params;
    expect_same(shade_at(p, 3.0f, -4.0f, 3.5f), image.at(0, 0), "top left");
    expect_same(shade_at(p, 3.0f, 0.0f, 3.5f), image.at(1, 0), "top right");
    expect_same(shade_at(p, 3.0f, -4.0f, -0.5f), image.at(0, 1), "bottom left");
    // The default orientation given explicitly changes nothing.
    ASSERT_EQ(0, run_preview("--size 16x8 --normal 0,0,1 --up 0,1,0 --quiet -o " + path("z.exr")).status);
    ASSERT_EQ(0, run_preview("--size 16x8 --quiet -o " + path("plain.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("z.exr")), preview::read_exr(path("plain.exr"))));
}

TEST_F(Preview, ATilesPixelsAreOnePeriodThatRepeatsWithoutASeam) {
    // The tile's pixels against the texture computed here over two periods
    // in x and y, placed by the same rule: pixel (x, y) of the two-period
    // grid equals the tile's (x mod W, y mod H), colour and alpha, bit for
    // bit, so the tile repeated 2 x 2 has no seam.
    constexpr int kW = 16, kH = 12;
    ASSERT_EQ(0, run_preview("--size 16x12 --period 3,2 --seed 7 --octaves 2 --metric 3 --gain 1.5 --tile --quiet -o " +
                             path("t.exr"))
                     .status);
    const char* channels[] = {"R", "G", "B", "A"};
    std::vector<float> tile[4];
    for (int c = 0; c < 4; ++c) tile[c] = preview::read_exr_floats(path("t.exr"), channels[c]);
    ASSERT_EQ(static_cast<size_t>(kW * kH), tile[3].size());
    std::vector<float> xs(2 * kW), ys(2 * kH);
    tulo::tile_coordinates(kW, 3, 2, xs.data());
    tulo::tile_coordinates(kH, 2, 2, ys.data());
    tulo::CellularTextureParams params = preview::default_options().params;
    params.octaves = 2;
    params.metric = 3;
    params.gain = 1.5f;
    tulo::Lattice lattice;
    lattice.period[0] = 3, lattice.period[1] = 2, lattice.seed = 7;
    int cut = 0;
    for (int y = 0; y < 2 * kH; ++y) {
        for (int x = 0; x < 2 * kW; ++x) {
            // Rows run down the image while y runs up: the period's rows reversed.
            const tulo::Vector3 point{xs[static_cast<size_t>(x)], ys[static_cast<size_t>(2 * kH - 1 - y)], 0.0f};
            tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
            ASSERT_TRUE(tulo::texture_batch(params, lattice, &point, 1, &c));
            const float premultiplied[4] = {c.r * c.a, c.g * c.a, c.b * c.a, c.a};
            const size_t t = static_cast<size_t>(((y + kH) % kH) * kW + x % kW);
            for (int k = 0; k < 4; ++k) {
                ASSERT_EQ(bits(premultiplied[k]), bits(tile[k][t]))
                    << "pixel " << x << "," << y << " channel " << channels[k];
            }
            cut += c.a == 0.0f;
        }
    }
    EXPECT_GT(cut, 0) << "no hole: the alpha channel shows nothing";
    EXPECT_EQ(2, run_preview("--size 8x8 --tile --quiet -o " + path("x.png")).status);
    EXPECT_EQ(2, run_preview("--size 8x8 --period 3,2 --tile --center 1,1 --quiet -o " + path("x.png")).status);
    EXPECT_EQ(2, run_preview("--period 3,2 --probe 1,2,3").status);
}

TEST_F(Preview, EveryLayoutRoundTripsThroughItsSavedParameters) {
    // A sheet chooses each metric's weights unless --weights is given: the
    // saved file must not pin them. Floats are saved as their shortest text.
    const std::string layouts[] = {
        "--sheet metrics --cell 24",
        "--sweep gain=0.2:0.8:3 --cell 20 --metric 3",
        "--sweep weights=1,1,1:3,1,0.5:3 --cell 20",
        "--view sphere --size 20x16 --metric 2",
        "--size 16x12 --normal 1,1,0 --up 0,0,1 --raw",
        "--size 16x12 --weights 0.3,2,1 --color2 0.1,0.2,0.3,1",
        "--size 120x30 --legend --ramp gain=0.3:1",
        "--size 12x10 --period 3,2 --seed 7 --tile --octaves 2",
        "--sheet metrics --cell 20 --seed 4294967295 --period 0,0,5",
        // Last: its saved numbers are checked below.
        "--size 8x6 --gain 20 --color1 0.5,100,1e-4 --center 1e-5,-123456.5 --scale 3e-7 --depth 4e20",
    };
    int n = 0;
    for (const std::string& layout : layouts) {
        const std::string look = path("look" + std::to_string(n) + ".txt");
        const std::string a = path("a" + std::to_string(n) + ".png"), b = path("b" + std::to_string(n) + ".png");
        ++n;
        ASSERT_EQ(0, run_preview(layout + " --quiet --save-params " + look + " -o " + a).status) << layout;
        ASSERT_EQ(0, run_preview("--params " + look + " --quiet -o " + b).status) << layout;
        // The look read back from the image itself.
        const std::string c = path("c" + std::to_string(n) + ".png");
        const ProgramRun from_image = run_preview("--params " + a + " --quiet -o " + c);
        ASSERT_EQ(0, from_image.status) << layout << "\n" << from_image.output;
        int wa = 0, ha = 0, wb = 0, hb = 0, wc = 0, hc = 0;
        const std::vector<unsigned char> pixels = preview::read_png_rgba(a, &wa, &ha);
        EXPECT_EQ(pixels, preview::read_png_rgba(b, &wb, &hb)) << layout;
        EXPECT_EQ(pixels, preview::read_png_rgba(c, &wc, &hc)) << layout;
        EXPECT_EQ(wa, wb) << layout;
        EXPECT_EQ(ha, hb) << layout;
        EXPECT_EQ(wa, wc) << layout;
        EXPECT_EQ(ha, hc) << layout;
    }
    std::ifstream saved(path("look0.txt"));
    const std::string text(std::istreambuf_iterator<char>(saved), {});
    EXPECT_TRUE(contains(text, "--color1 0.95,0.85,0.55,1\n")) << text;
    EXPECT_FALSE(contains(text, "--weights")) << text;
    // Numbers as a person writes them, an exponent only for the very large
    // or small.
    EXPECT_TRUE(contains(text, "--scale 20\n")) << text;
    std::ifstream readable(path("look" + std::to_string(n - 1) + ".txt"));
    const std::string numbers(std::istreambuf_iterator<char>(readable), {});
    EXPECT_TRUE(contains(numbers, "--gain 20\n--color1 0.5,100,0.0001,1\n")) << numbers;
    EXPECT_TRUE(contains(numbers, "--center 1e-5,-123456.5\n--scale 3e-7\n--depth 4e20\n")) << numbers;
    // Saving a look alone writes the look, and no picture over the one there.
    std::ofstream(path("preview.png")) << "keep";
    const ProgramRun alone =
        run_shell("cd " + dir_.string() + " && " + PREVIEW_PATH + " --metric 2 --save-params alone.txt");
    EXPECT_EQ(0, alone.status) << alone.output;
    EXPECT_TRUE(fs::exists(path("alone.txt")));
    std::ifstream kept(path("preview.png"));
    EXPECT_EQ("keep", std::string(std::istreambuf_iterator<char>(kept), {}));
    // Standard output takes the file; the image's own name is refused.
    const ProgramRun to_stdout = run_preview("--size 4x4 --quiet --save-params - -o " + path("c.png"));
    EXPECT_EQ(0, to_stdout.status);
    EXPECT_TRUE(contains(to_stdout.output, "--metric 1\n")) << to_stdout.output;
    EXPECT_FALSE(fs::exists("-"));
    const ProgramRun clash = run_preview("--size 4x4 --save-params " + path("d.png") + " -o " + path("d.png"));
    EXPECT_EQ(2, clash.status);
    EXPECT_TRUE(contains(clash.output, "would overwrite the image")) << clash.output;
}

TEST_F(Preview, ParamsFilesAreFilesFoundFromTheirOwnFolder) {
    fs::create_directories(dir_ / "looks");
    // A byte-order mark first, as some editors write it, and Windows line ends.
    std::ofstream(path("looks/base.txt")) << "\xEF\xBB\xBF--metric 3\r\n--octaves 1\r\n";
    std::ofstream(path("looks/shot.txt")) << "--params base.txt\n--gain 0.4\n";
    const ProgramRun nested =
        run_preview("--params " + path("looks/shot.txt") + " --size 4x4 --quiet --save-params - -o " + path("a.png"));
    EXPECT_EQ(0, nested.status) << nested.output;
    EXPECT_TRUE(contains(nested.output, "--metric 3\n--octaves 1\n--gain 0.4\n")) << nested.output;
    const ProgramRun folder = run_preview("--params " + path("looks") + " -o " + path("b.png"));
    EXPECT_EQ(2, folder.status);
    EXPECT_TRUE(contains(folder.output, "option --params: cannot read '" + path("looks") + "': it is a folder"))
        << folder.output;
    EXPECT_FALSE(fs::exists(path("b.png")));
    // Anything that is neither a params file nor an image with a look is
    // named as such, also when a params file names it.
    std::ofstream(path("notes.txt")) << "# notes\nA look with \"more contrast\n--metric 3\n";
    {
        const int fd = open(path("foreign.png").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        preview::Image tiny;
        tiny.width = tiny.height = 2;
        tiny.pixels.assign(4, tulo::Color{0.5f, 0.5f, 0.5f, 1.0f});
        const auto bytes = preview::encode_png(tiny, preview::ColorSpace::srgb, {});
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        close(fd);
    }
    std::ofstream(path("looks/names_notes.txt")) << "--params ../notes.txt\n";
    struct Case {
        std::string file;
        std::string message;
    };
    const Case cases[] = {
        {path("notes.txt"), "option --params: '" + path("notes.txt") + "' is not a params file"},
        {PREVIEW_PATH, std::string("option --params: '") + PREVIEW_PATH + "' is not a params file"},
        {path("foreign.png"), "option --params: the PNG '" + path("foreign.png") + "' carries no look"},
        {path("looks/names_notes.txt"), path("looks/names_notes.txt") + ":1: option --params: '" + path("looks") +
                                            "/../notes.txt' is not a params file"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = run_preview("--params " + c.file + " -o " + path("c.png"));
        EXPECT_EQ(2, r.status) << c.file << "\n" << r.output;
        EXPECT_TRUE(contains(r.output, c.message)) << c.file << "\n" << r.output;
    }
    EXPECT_FALSE(fs::exists(path("c.png")));
}

TEST_F(Preview, ValuesTakenOtherwiseThanGivenAreNamedEvenWhenQuiet) {
    struct Case {
        std::string args;
        std::string warning;
    };
    const Case cases[] = {
        {"--metric 7", "warning: --metric 7 is not 1..5: the shader uses 5"},
        {"--octaves 9", "warning: --octaves 9 is not 0..5: the shader uses 5"},
        {"--center 1e400,0", "warning: --center is beyond the range of numbers"},
        {"--gain 0", "warning: --gain 0 is not above 0"},
        {"--gain -1", "warning: --gain -1 is not above 0"},
        {"--raw --colorspace srgb", "warning: --raw writes the value itself, linear"},
        {"--gain nan", "warning: most samples are NaN"},
        {"--scale 1e12", "warning: 100% of the samples lie beyond the lattice"},
        {"--sweep octaves=0:5:4 --cell 16", "warning: --sweep octaves takes whole numbers"},
    };
    for (const Case& c : cases) {
        const std::string size = contains(c.args, "--sweep") ? "" : " --size 8x8";
        const ProgramRun r = run_preview(c.args + size + " --quiet -o " + path("w.png"));
        EXPECT_EQ(0, r.status) << c.args << "\n" << r.output;
        EXPECT_TRUE(contains(r.output, c.warning)) << c.args << "\n" << r.output;
    }
    const ProgramRun plain = run_preview("--size 8x8 --quiet -o " + path("plain.png"));
    EXPECT_EQ("", plain.output);
}

TEST_F(Preview, ExrIsPremultipliedAndTheBackgroundFlattensAlpha) {
    // Gain 3 cuts most samples (alpha 0, colour color2 as the plugin leaves
    // it); 4 samples a pixel, averaged as light: the mean of colour times alpha.
    const std::string look = "--size 6x4 --gain 3 --samples 4 --scale 12 --quiet";
    ASSERT_EQ(0, run_preview(look + " -o " + path("pre.exr")).status);
    ASSERT_EQ(0, run_preview(look + " --straight-alpha -o " + path("straight.exr")).status);
    ASSERT_EQ(0, run_preview(look + " --background 0.5,0.25,1 -o " + path("flat.exr")).status);
    const preview::Image pre = preview::read_exr(path("pre.exr")), straight = preview::read_exr(path("straight.exr")),
                         flat = preview::read_exr(path("flat.exr"));
    tulo::CellularTextureParams p = preview::default_options().params;
    p.gain = 3.0f;
    int holes = 0, mixed = 0;
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            double light[4] = {0, 0, 0, 0}, colour[4] = {0, 0, 0, 0};
            for (const double sy : {0.25, 0.75}) {
                for (const double sx : {0.25, 0.75}) {
                    // As the preview places samples: (fx / w - 0.5) * scale, (0.5 - fy / h) * scale * h / w.
                    const tulo::Color c = shade_at(p, static_cast<float>(((x + sx) / 6.0 - 0.5) * 12.0),
                                                   static_cast<float>((0.5 - (y + sy) / 4.0) * 12.0 * 4.0 / 6.0), 0.0f);
                    const float premultiplied[3] = {c.r * c.a, c.g * c.a, c.b * c.a};
                    for (int ch = 0; ch < 3; ++ch) light[ch] += premultiplied[ch], colour[ch] += (&c.r)[ch];
                    light[3] += c.a, colour[3] += c.a;
                }
            }
            const tulo::Color expected_pre{static_cast<float>(light[0] / 4), static_cast<float>(light[1] / 4),
                                           static_cast<float>(light[2] / 4), static_cast<float>(light[3] / 4)};
            const tulo::Color expected_straight{static_cast<float>(colour[0] / 4), static_cast<float>(colour[1] / 4),
                                                static_cast<float>(colour[2] / 4), static_cast<float>(colour[3] / 4)};
            const std::string where = std::to_string(x) + "," + std::to_string(y);
            expect_same(expected_pre, pre.at(x, y), "premultiplied " + where);
            expect_same(expected_straight, straight.at(x, y), "straight " + where);
            const float rest = 1.0f - expected_pre.a;
            expect_same(
                {expected_pre.r + 0.5f * rest, expected_pre.g + 0.25f * rest, expected_pre.b + 1.0f * rest, 1.0f},
                flat.at(x, y), "flattened " + where);
            holes += expected_pre.a == 0.0f;
            mixed += expected_pre.a > 0.0f && expected_pre.a < 1.0f;
        }
    }
    EXPECT_GT(holes, 0);
    EXPECT_GT(mixed, 0);
    EXPECT_TRUE(contains(preview::read_exr_text(path("pre.exr"))["Alpha"], "premultiplied"));
    // A checkerboard under PNG: every pixel opaque.
    ASSERT_EQ(0, run_preview(look + " --background checker -o " + path("checker.png")).status);
    int w = 0, h = 0;
    const auto rgba = preview::read_png_rgba(path("checker.png"), &w, &h);
    for (size_t i = 3; i < rgba.size(); i += 4) ASSERT_EQ(255, rgba[i]);
}

TEST_F(Preview, PassesAreTheBasisAtEachPixelCentre) {
    ASSERT_EQ(0,
              run_preview(
                  "--size 5x4 --scale 10 --center 1,-2 --depth 0.75 --metric 3 --weights 0.3,2,1 --passes --quiet -o " +
                  path("p.exr"))
                  .status);
    const std::vector<float> f1 = preview::read_exr_floats(path("p.exr"), "F1"),
                             f2 = preview::read_exr_floats(path("p.exr"), "F2");
    const std::vector<float> ox = preview::read_exr_floats(path("p.exr"), "offset.X"),
                             oy = preview::read_exr_floats(path("p.exr"), "offset.Y"),
                             oz = preview::read_exr_floats(path("p.exr"), "offset.Z");
    const std::vector<uint32_t> id = preview::read_exr_uints(path("p.exr"), "id");
    ASSERT_EQ(20u, id.size());
    const tulo::Vector3 w{0.3f, 2.0f, 1.0f};
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) {
            // The pixel centre as the preview places it.
            const float px = static_cast<float>(1.0 + ((x + 0.5) / 5.0 - 0.5) * 10.0);
            const float py = static_cast<float>(-2.0 + (0.5 - (y + 0.5) / 4.0) * 10.0 * 4.0 / 5.0);
            float F[2];
            tulo::Vector3 delta[2];
            uint32_t ids[2];
            tulo::cellular_basis(&tulo::chessboard, &w, px, py, 0.75f, 2, F, delta, ids);
            const size_t i = static_cast<size_t>(y * 5 + x);
            const std::string where = std::to_string(x) + "," + std::to_string(y);
            EXPECT_EQ(bits(F[0]), bits(f1[i])) << where;
            EXPECT_EQ(bits(F[1]), bits(f2[i])) << where;
            EXPECT_EQ(ids[0], id[i]) << where;
            EXPECT_EQ(bits(delta[0].x), bits(ox[i])) << where;
            EXPECT_EQ(bits(delta[0].y), bits(oy[i])) << where;
            EXPECT_EQ(bits(delta[0].z), bits(oz[i])) << where;
        }
    }
    // Past the lattice no slot is filled: id 0 and NaN offsets, whatever the
    // threads; all-zero weights read as the shader reads them, (1, 1, 1).
    for (const char* threads : {"1", "2"}) {
        ASSERT_EQ(0, run_preview(std::string("--size 8x8 --center 1e10,0 --passes --quiet --threads ") + threads +
                                 " -o " + path("far.exr"))
                         .status);
        for (uint32_t v : preview::read_exr_uints(path("far.exr"), "id")) EXPECT_EQ(0u, v);
        for (float v : preview::read_exr_floats(path("far.exr"), "offset.X")) EXPECT_TRUE(std::isnan(v));
    }
    ASSERT_EQ(0, run_preview("--size 6x6 --weights 0,0,0 --passes --quiet -o " + path("zero.exr")).status);
    ASSERT_EQ(0, run_preview("--size 6x6 --weights 1,1,1 --passes --quiet -o " + path("unit.exr")).status);
    EXPECT_EQ(preview::read_exr_uints(path("unit.exr"), "id"), preview::read_exr_uints(path("zero.exr"), "id"));
    // Each pass as a picture exactly the size asked, its legend only with
    // --legend; each pass goes to its own format.
    for (const char* pass : {"F1", "F2", "F2-F1", "id", "offset"}) {
        const std::string picture = path(std::string("pass-") + pass + ".png");
        ASSERT_EQ(0, run_preview(std::string("--size 64x32 --pass ") + pass + " --quiet -o " + picture).status) << pass;
        int pw = 0, ph = 0;
        preview::read_png_rgba(picture, &pw, &ph);
        EXPECT_EQ(64, pw) << pass;
        EXPECT_EQ(32, ph) << pass;
        ASSERT_EQ(0, run_preview(std::string("--size 64x32 --legend --pass ") + pass + " --quiet -o " + picture).status)
            << pass;
        preview::read_png_rgba(picture, &pw, &ph);
        EXPECT_EQ(64, pw) << pass;
        EXPECT_GT(ph, 32) << pass;
    }
    // The summary is the pass's own: F1's range over the view, as the EXR's
    // F1 channel holds it.
    ASSERT_EQ(0, run_preview("--size 24x16 --passes --quiet -o " + path("f1.exr")).status);
    const std::vector<float> view_f1 = preview::read_exr_floats(path("f1.exr"), "F1");
    double sum = 0.0;
    for (float v : view_f1) sum += v;
    char facts[160];
    std::snprintf(facts, sizeof(facts),
                  "F1 %.4g..%.4g mean %.4g, NaN 0%%, no feature point 0%%, off the view 0%% of 384 pixels",
                  static_cast<double>(*std::min_element(view_f1.begin(), view_f1.end())),
                  static_cast<double>(*std::max_element(view_f1.begin(), view_f1.end())), sum / 384.0);
    const ProgramRun summary = run_preview("--size 24x16 --pass F1 -o " + path("f1.png"));
    EXPECT_TRUE(contains(summary.output, facts)) << facts << "\n" << summary.output;
    EXPECT_TRUE(
        contains(run_preview("--size 24x16 --pass id -o " + path("id.png")).output, " distinct feature points, "));
    // --bits 16 keeps the pass's precision: the 8-bit codes are the 16-bit
    // ones rounded, and the 16-bit ones are not merely 8-bit ones scaled.
    ASSERT_EQ(0, run_preview("--size 24x16 --pass F1 --quiet -o " + path("f8.png")).status);
    ASSERT_EQ(0, run_preview("--size 24x16 --pass F1 --bits 16 --quiet -o " + path("f16.png")).status);
    const preview::PngCodes f8 = preview::read_png(path("f8.png")), f16 = preview::read_png(path("f16.png"));
    ASSERT_EQ(16, f16.bits);
    ASSERT_EQ(f8.rgba.size(), f16.rgba.size());
    int finer = 0;
    for (size_t i = 0; i < f8.rgba.size(); ++i) {
        EXPECT_LE(std::abs(f16.rgba[i] / 257.0 - f8.rgba[i]), 0.5 + 1e-9) << i;
        finer += f16.rgba[i] % 257 != 0;
    }
    EXPECT_GT(finer, 0);
    // Refused before anything is written, the look's file included.
    EXPECT_EQ(2, run_preview("--size 8x8 --passes --save-params " + path("look.txt") + " -o " + path("x.png")).status);
    EXPECT_EQ(2, run_preview("--size 8x8 --pass F1 --save-params " + path("look.txt") + " -o " + path("x.exr")).status);
    EXPECT_FALSE(fs::exists(path("look.txt")));
}

TEST_F(Preview, ProbesPrintThePluginsAnswerBitForBit) {
    std::ofstream(path("points.txt")) << "# golden points\n1.25,-3,0.5\n\n7 8 9\n";
    const ProgramRun r =
        run_preview("--probe 0.5,1,2 --points " + path("points.txt") + " --metric 3 --weights 0.3,2,1 --gain 0.4");
    ASSERT_EQ(0, r.status) << r.output;
    // The look's defaults, and the octave count every interface defaults to: 0.
    tulo::CellularTextureParams p = preview::default_options().params;
    p.octaves = 0;
    p.metric = 3;
    p.weights = {0.3f, 2.0f, 1.0f};
    p.gain = 0.4f;
    tulo::CellularTextureParams grey = p;
    grey.color1 = {1.0f, 1.0f, 1.0f, 1.0f};
    grey.color2 = {0.0f, 0.0f, 0.0f, 1.0f};
    auto hex = [](float v) {
        char t[16];
        std::snprintf(t, sizeof(t), "/0x%08x", bits(v));
        return std::string(t);
    };
    int lines = 0;
    for (const tulo::Vector3 q :
         {tulo::Vector3{0.5f, 1.0f, 2.0f}, tulo::Vector3{1.25f, -3.0f, 0.5f}, tulo::Vector3{7.0f, 8.0f, 9.0f}}) {
        const tulo::Color c = shade_at(p, q.x, q.y, q.z);
        const float t = shade_at(grey, q.x, q.y, q.z).r;
        const auto at = r.output.find(hex(q.x) + " ");
        ASSERT_NE(std::string::npos, at) << r.output;
        const std::string line = r.output.substr(at, r.output.find('\n', at) - at);
        EXPECT_TRUE(contains(line, hex(q.y) + " ")) << line;
        EXPECT_TRUE(contains(line, hex(q.z) + " t ")) << line;
        EXPECT_TRUE(contains(line, hex(t) + " r ")) << line;
        EXPECT_TRUE(contains(line, hex(c.r) + " g ")) << line;
        EXPECT_TRUE(contains(line, hex(c.g) + " b ")) << line;
        EXPECT_TRUE(contains(line, hex(c.b) + " a ")) << line;
        EXPECT_TRUE(contains(line, hex(c.a))) << line;
        ++lines;
    }
    EXPECT_EQ(3, lines);
    std::ofstream(path("bad.txt")) << "1,2,3\n4,five,6\n";
    const ProgramRun bad = run_preview("--points " + path("bad.txt"));
    EXPECT_EQ(2, bad.status);
    EXPECT_TRUE(contains(bad.output, path("bad.txt") + ":2: expected a point X,Y,Z")) << bad.output;
    EXPECT_EQ(2, run_preview("--probe 1,2,3 --sheet metrics").status);
}

TEST_F(Preview, CompareFindsEveryDifferingPixel) {
    ASSERT_EQ(0, run_preview("--size 6x4 --quiet -o " + path("a.exr")).status);
    ASSERT_EQ(0, run_preview("--size 6x4 --quiet -o " + path("b.exr")).status);
    const ProgramRun same = run_preview("--compare " + path("a.exr") + " " + path("b.exr"));
    EXPECT_EQ(0, same.status) << same.output;
    EXPECT_TRUE(contains(same.output, "the images are the same (6x4)")) << same.output;
    // One channel of one pixel changed by one ulp.
    preview::Image changed = preview::read_exr(path("a.exr"));
    changed.at(4, 2).g = std::nextafter(changed.at(4, 2).g, 2.0f);
    const float delta = changed.at(4, 2).g - preview::read_exr(path("a.exr")).at(4, 2).g;
    {
        const int fd = open(path("c.exr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        preview::write_exr(changed, fd, path("c.exr"), {});
        close(fd);
    }
    const ProgramRun one = run_preview("--compare " + path("a.exr") + " " + path("c.exr"));
    EXPECT_EQ(1, one.status);
    char expected[128];
    std::snprintf(expected, sizeof(expected), "1 of 24 pixels differ; the largest difference is %.9g, at x 4, y 2",
                  static_cast<double>(delta));
    EXPECT_TRUE(contains(one.output, expected)) << one.output;
    ASSERT_EQ(0, run_preview("--size 6x5 --quiet -o " + path("d.png")).status);
    const ProgramRun size = run_preview("--compare " + path("a.exr") + " " + path("d.png"));
    EXPECT_EQ(1, size.status);
    EXPECT_TRUE(contains(size.output, "differ in size: 6x4 and 6x5")) << size.output;
    EXPECT_EQ(2, run_preview("--compare " + path("a.exr") + " " + path("missing.png")).status);

    // A PNG and an EXR compare in the PNG's codes: the same render is the
    // same picture, whatever the PNG's encoding or depth and wherever the
    // gain cuts holes; a real difference is still found.
    struct Case {
        std::string png, exr;  // the options of each render
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"", "", 0,
         "compared as 8-bit sRGB PNG codes (the EXR encoded as the PNG is; transparent pixels by alpha alone): "
         "the images are the same (24x16)"},
        {"--colorspace linear", "", 0, "compared as 8-bit linear PNG codes"},
        {"--bits 16", "", 0,
         "compared as 16-bit sRGB PNG codes (the EXR encoded as the PNG is; transparent pixels by alpha "
         "alone): the images are the same (24x16)"},
        {"--gain 3", "--gain 3", 0, "the images are the same (24x16)"},
        {"--gain 3 --samples 4", "--gain 3 --samples 4", 1, "every differing pixel is partly transparent"},
        {"--gain 3 --samples 4", "--gain 3 --samples 4 --straight-alpha", 0, "the images are the same (24x16)"},
        {"--metric 2", "", 1, "pixels differ; the largest difference is"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string png = path("m" + std::to_string(n) + ".png"), exr = path("m" + std::to_string(n) + ".exr");
        ++n;
        ASSERT_EQ(0, run_preview("--size 24x16 --quiet " + c.png + " -o " + png).status) << c.png;
        ASSERT_EQ(0, run_preview("--size 24x16 --quiet " + c.exr + " -o " + exr).status) << c.exr;
        for (const std::string& pair : {png + " " + exr, exr + " " + png}) {
            const ProgramRun r = run_preview("--compare " + pair);
            EXPECT_EQ(c.status, r.status) << c.png << " | " << c.exr << "\n" << r.output;
            EXPECT_TRUE(contains(r.output, c.message)) << c.png << " | " << c.exr << "\n" << r.output;
            EXPECT_FALSE(contains(r.output, "384 of 384")) << r.output;
        }
    }
    // Two PNGs of different depths cannot be compared code for code.
    const ProgramRun depths = run_preview("--compare " + path("m0.png") + " " + path("m2.png"));
    EXPECT_EQ(2, depths.status);
    EXPECT_TRUE(contains(depths.output, "cannot compare a PNG of 8 bits, sRGB, with one of 16 bits, sRGB"))
        << depths.output;
}

TEST_F(Preview, SavedParametersRenderTheSamePicture) {
    const std::string args =
        "--size 12x10 --metric 5 --weights 2,0.5,1 --octaves 3 --gain 0.45 --color1 1,0.5,0.25 "
        "--center 0.3,-7 --scale 13 --depth 2.5 --samples 4 --ramp gain=0.2:0.9 --quiet";
    ASSERT_EQ(0, run_preview(args + " --save-params " + path("look.txt") + " -o " + path("a.exr")).status);
    ASSERT_EQ(0, run_preview("--params " + path("look.txt") + " --quiet -o " + path("b.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("a.exr")), preview::read_exr(path("b.exr"))));
    // And from the EXR's own header.
    ASSERT_EQ(0, run_preview("--params " + path("a.exr") + " --quiet -o " + path("c.exr")).status);
    EXPECT_TRUE(same_pixels(preview::read_exr(path("a.exr")), preview::read_exr(path("c.exr"))));
    // A bad line is reported with the file and the line.
    std::ofstream(path("bad.txt")) << "# a look\n--metric 2\n--gain fast\n";
    const ProgramRun r = run_preview("--params " + path("bad.txt") + " -o " + path("c.png"));
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(contains(r.output, path("bad.txt") + ":3: option --gain: 'fast' is not a number")) << r.output;
}

TEST_F(Preview, SamplesAverageAStratifiedGrid) {
    // One pixel 8 units wide, 4 samples: the centres of its quarters, at
    // (-2, 2), (2, 2), (-2, -2), (2, -2); the pixel is their mean.
    ASSERT_EQ(0, run_preview("--size 1x1 --scale 8 --samples 4 --gain 0.3 --quiet -o " + path("aa.exr")).status);
    tulo::CellularTextureParams p = preview::default_options().params;
    p.gain = 0.3f;
    double sum[4] = {0, 0, 0, 0};
    for (const float y : {2.0f, -2.0f})
        for (const float x : {-2.0f, 2.0f}) {
            const tulo::Color c = shade_at(p, x, y, 0.0f);
            sum[0] += c.r, sum[1] += c.g, sum[2] += c.b, sum[3] += c.a;
        }
    const tulo::Color mean{static_cast<float>(sum[0] / 4), static_cast<float>(sum[1] / 4),
                           static_cast<float>(sum[2] / 4), static_cast<float>(sum[3] / 4)};
    expect_same(mean, preview::read_exr(path("aa.exr")).at(0, 0), "averaged pixel");
}

}  // namespace
