// End-to-end tests of cellular-preview: the real program is run, its images
// are read back with their libraries and compared with the shader library
// called directly; bad input must fail with a message and an exit code.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "standin/standin_renderer.h"
#include "tools/preview/image_io.h"

namespace {

namespace fs = std::filesystem;

struct ProgramRun {
    int status;
    std::string output;  // standard output and error together
};

ProgramRun run_preview(const std::string& args) {
    const std::string command = std::string(PREVIEW_PATH) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    const int raw = pclose(pipe);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out};
}

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}

class Preview : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("preview-test-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
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

TEST_F(Preview, ExrPixelsAreTheLibrarysColoursUntouched) {
    // A 4x2 slice 8 units wide around (3, -2): pixels are 2 units square, so
    // their centres lie at x = 0, 2, 4, 6 and y = -1 (top row), -3.
    const std::string out = path("slice.exr");
    const ProgramRun r = run_preview("--size 4x2 --metric 2 --octaves 1 --gain 0.7 --weights 1,2,0.5 "
                                     "--color1 0.9,0.1,0.2 --color2 0.1,0.5,0.7,0.5 --center 3,-2 --scale 8 "
                                     "--depth 1.5 --quiet -o " + out);
    ASSERT_EQ(0, r.status) << r.output;
    const preview::Image image = preview::read_exr(out);
    ASSERT_EQ(4, image.width);
    ASSERT_EQ(2, image.height);

    standin::ParameterStore store;
    store.params() = {{0.9f, 0.1f, 0.2f, 1.0f}, {0.1f, 0.5f, 0.7f, 0.5f}, 2, {1.0f, 2.0f, 0.5f}, 1, 0.7f};
    standin::ShadingRecord record(store);
    const float xs[] = {0.0f, 2.0f, 4.0f, 6.0f}, ys[] = {-1.0f, -3.0f};
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 4; ++i) {
            record.set_point(xs[i], ys[j], 1.5f);
            tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
            standin::shade(library(), record, store, &c);
            const tulo::Color& got = image.at(i, j);
            EXPECT_EQ(bits(c.r), bits(got.r)) << i << "," << j;
            EXPECT_EQ(bits(c.g), bits(got.g)) << i << "," << j;
            EXPECT_EQ(bits(c.b), bits(got.b)) << i << "," << j;
            EXPECT_EQ(bits(c.a), bits(got.a)) << i << "," << j;
        }
    }
}

TEST_F(Preview, BothGainBranchesAppearInALargerSlice) {
    const std::string out = path("wide.exr");
    ASSERT_EQ(0, run_preview("--size 48x32 --gain 0.7 --quiet -o " + out).status);
    const preview::Image image = preview::read_exr(out);
    int alpha_zero = 0;
    for (const tulo::Color& c : image.pixels) alpha_zero += c.a == 0.0f;
    EXPECT_GT(alpha_zero, 0);
    EXPECT_LT(alpha_zero, static_cast<int>(image.pixels.size()));
}

TEST_F(Preview, PngIsClampedAndNaNIsMagenta) {
    // NaN weights keep no distance: t = 0, and gain 0 makes it 0/0.
    const ProgramRun nan = run_preview("--size 8x8 --weights nan,nan,nan --gain 0 --quiet -o " + path("nan.png"));
    ASSERT_EQ(0, nan.status) << nan.output;
    int w = 0, h = 0;
    const auto rgb = preview::read_png_rgb(path("nan.png"), &w, &h);
    ASSERT_EQ(8, w);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        ASSERT_EQ(255, rgb[i]);
        ASSERT_EQ(0, rgb[i + 1]);
        ASSERT_EQ(255, rgb[i + 2]);
    }
    ASSERT_EQ(0, run_preview("--size 8x8 --weights nan,nan,nan --gain 0 --quiet -o " + path("nan.exr")).status);
    EXPECT_TRUE(std::isnan(preview::read_exr(path("nan.exr")).at(3, 3).r));

    // Out-of-range colours clamp: color2 (t = 0) of (2, -1, 0.5) is (255, 0, 128).
    ASSERT_EQ(0, run_preview("--size 4x4 --weights nan,0,0 --color2 2,-1,0.5 --quiet -o " + path("c.png")).status);
    const auto clamped = preview::read_png_rgb(path("c.png"), &w, &h);
    EXPECT_EQ(255, clamped[0]);
    EXPECT_EQ(0, clamped[1]);
    EXPECT_EQ(128, clamped[2]);
}

TEST_F(Preview, ImageDoesNotDependOnTheThreadCount) {
    const std::string common = "--sheet metrics --cell 40 --ramp gain=0.3:1.5 --quiet -o ";
    ASSERT_EQ(0, run_preview("--threads 1 " + common + path("one.exr")).status);
    ASSERT_EQ(0, run_preview("--threads 5 " + common + path("five.exr")).status);
    const auto a = preview::read_exr(path("one.exr"));
    const auto b = preview::read_exr(path("five.exr"));
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    EXPECT_EQ(0, std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size() * sizeof(tulo::Color)));
}

TEST_F(Preview, RampedParameterIsComputedPerSampleThroughTheRenderer) {
    // Four columns sample the ramps at u = 1/8, 3/8, 5/8, 7/8: gain
    // 0.5 + 1.5u and octaves round(5u); the 4x4 slice 20 units wide puts
    // column centres at x = -7.5, -2.5, 2.5, 7.5 and row 1 at y = 2.5.
    const ProgramRun r = run_preview("--size 4x4 --ramp gain=0.5:2 --ramp octaves=0:5 --quiet -o " + path("ramp.exr"));
    ASSERT_EQ(0, r.status) << r.output;
    const preview::Image image = preview::read_exr(path("ramp.exr"));
    const float gains[] = {0.6875f, 1.0625f, 1.4375f, 1.8125f};
    const int32_t octaves[] = {1, 2, 3, 4};
    const float xs[] = {-7.5f, -2.5f, 2.5f, 7.5f};
    standin::ParameterStore store;
    store.params() = {{0.95f, 0.85f, 0.55f, 1.0f}, {0.08f, 0.12f, 0.22f, 1.0f}, 1, {1.0f, 1.0f, 1.0f}, 2, 0.6f};
    standin::ShadingRecord record(store);
    for (int i = 0; i < 4; ++i) {
        store.params().gain = gains[i];
        store.params().octaves = octaves[i];
        record.set_point(xs[i], 2.5f, 0.0f);
        tulo::Color c{0.0f, 0.0f, 0.0f, 1.0f};
        standin::shade(library(), record, store, &c);
        EXPECT_EQ(bits(c.r), bits(image.at(i, 1).r)) << "column " << i;
        EXPECT_EQ(bits(c.a), bits(image.at(i, 1).a)) << "column " << i;
    }
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
        {"--weights 1,2", 2, "option --weights: '1,2' needs 3 comma-separated numbers"},
        {"--color1 1,x,1", 2, "option --color1: 'x' is not a number"},
        {"--size 10x0", 2, "option --size: '0' is outside 1..16384"},
        {"--metric 99999999999", 2, "option --metric: '99999999999' is outside"},
        {"--ramp speed=1:2", 2, "unknown parameter 'speed'"},
        {"--view cube", 2, "expected slice or sphere"},
        {"--library /nonexistent/lib.so" + out, 1, "cannot load shader library '/nonexistent/lib.so'"},
        {std::string("--library ") + NOT_A_SHADER_PATH + out, 1, "lacks the entry point 'tulo_cellulartexture_version'"},
        {"-o " + path("missing/dir/out.png"), 1, "cannot write '" + path("missing/dir/out.png") + "'"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = run_preview(c.args);
        EXPECT_EQ(c.status, r.status) << c.args << "\n" << r.output;
        EXPECT_NE(std::string::npos, r.output.find(c.message)) << c.args << "\n" << r.output;
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(Preview, EveryOptionTheHelpNamesIsAccepted) {
    const ProgramRun help = run_preview("--help");
    ASSERT_EQ(0, help.status);
    std::vector<std::string> options;
    for (std::size_t at = help.output.find("--"); at != std::string::npos; at = help.output.find("--", at + 2)) {
        std::size_t end = at + 2;
        while (end < help.output.size() && (std::isalnum(static_cast<unsigned char>(help.output[end])) ||
                                            help.output[end] == '-'))
            ++end;
        if (end > at + 2) options.push_back(help.output.substr(at, end - at));
    }
    EXPECT_GE(options.size(), 15u);
    for (const std::string& option : options) {
        // Given alone, an option either works or asks for its value; it is
        // never unknown. (--help and --version print and exit.)
        const ProgramRun r = run_preview(option + " --size 1x1 --quiet -o " + path("o.png"));
        EXPECT_EQ(std::string::npos, r.output.find("unknown option '" + option + "'")) << option << "\n" << r.output;
    }
}

}  // namespace
