// The program started with an argument runs the renderer benchmark: its
// header, the two target lines and exactly two result lines for the measured
// variant, with plausible rates, then exit status 0. It runs the test copy of
// the program, whose measurements last 200 ms instead of 5 s.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

const char* const HEADER[] = {
    "n3d_benchmark v102",
    "- each rasterizer starts with same random seed draws random triangles for 5s (in 320x200 area regardless of "
    "target dimensions)",
    "- pixels/s is sum of triangle area (underestimates for small triangles)",
    "- texture is 256x256 tiled, zbuffer is 16bit",
    "- coverage buffer and zbuffer is cleared every 100 triangels (if rasterizer uses it)",
    "- v102: fixed bug was not dividing vertex attributes by w",
    "- v101: texture is a flare now instead of a 2 color checkerboard pattern, as the latter makes shade_table only "
    "accessed in 2 color entries for phong",
    "[0]: 320x240 vram (only draws in 320x200)",
    "[1]: 320x200 ram (only draws in 320x200)",
};

TEST(ProgramBenchmark, AnArgumentRunsTheBenchmarkAndExitsZero)
{
    const std::string exe = std::string(QF_BINARY_DIR) + "/tests/quillfern_short_benchmark";
    // Whatever its text, an argument takes the benchmark's road.
    const std::vector<std::string> cases[] = {{"bench"}, {""}, {"--help", "more"}};
    for (const auto& args : cases) {
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string arg = args[0];
        captured_run r =
            capture_program(argv, capture_temp_dir(), {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy"}, 60);
        ASSERT_EQ(r.exited, 1) << arg << r.err;
        EXPECT_EQ(r.status, 0) << arg << r.err;
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "running benchmark - will take a few seconds");
        // Texture building reports its two textures; then the header, exactly.
        size_t i = 1;
        while (i < lines.size() && lines[i].rfind("bitmap wh: 256 256 => texture", 0) == 0)
            ++i;
        EXPECT_EQ(i, 3u) << r.out;
        for (const char* h : HEADER) {
            ASSERT_LT(i, lines.size()) << r.out;
            EXPECT_EQ(lines[i++], h);
        }
        const std::regex result(
            "([0-9]+\\.[0-9]{2}) ~pixels/sec: ([0-9]+\\.[0-9]{2}) triangles/sec\t\\[([01])\\]\t"
            "n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans");
        ASSERT_EQ(lines.size() - i, 2u) << "exactly two result lines:\n" << r.out;
        for (int target = 0; target < 2; ++target, ++i) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(lines[i], m, result)) << lines[i];
            EXPECT_EQ(std::stoi(m[3]), target);
            const double pixels = std::stod(m[1]), triangles = std::stod(m[2]);
            // The rate itself belongs to the benchmark: on a loaded machine it can
            // be anything above zero. The ratio is the mean area of the triangles
            // drawn, which for the fixed random sequence stays within 4413 to 7379
            // pixels from the first triangle on (about 4900, 11/144 of the area,
            // in the long run).
            EXPECT_GT(triangles, 0.0) << lines[i];
            EXPECT_GT(pixels / triangles, 4350.0) << lines[i];
            EXPECT_LT(pixels / triangles, 7500.0) << lines[i];
        }
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
