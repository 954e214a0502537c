// The cache model's bars in a 16-bit framebuffer: colours, clamping to the row,
// untouched pixels, a page shorter than the 128 sets, and the format check.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/cachesim_ppc.h"
#include "support/capture.h"
#include "target/cachesim_show.h"
#include "target/n3d_framebuffer.h"
#include "target/n3d_texel_format.h"

namespace {

const uint16_t FILL = 0x1234;

struct page {
    std::vector<uint8_t> bytes;  // exactly row_bytes * h: ASan sees any write past the last row
    n3d_framebuffer fb{};
    page(int w, int h, int row_bytes, int format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        : bytes(static_cast<size_t>(row_bytes) * h)
    {
        fb.format = format;
        fb.w = w;
        fb.h = h;
        fb.row_bytes = row_bytes;
        fb.b = bytes.data();
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            memcpy(&bytes[i], &FILL, 2);
    }
    uint16_t at(int x, int y) const
    {
        uint16_t v;
        memcpy(&v, &bytes[static_cast<size_t>(y) * fb.row_bytes + 2 * x], 2);
        return v;
    }
};

// Counts per set chosen to show each rule: the three bars in order, bars cut
// at the row's end, a set with nothing.
void known_counts(cachesim* cs)
{
    cachesim_init(cs);
    for (int i = 0; i < CACHESIM_SETS; i++) {
        cs->cast_out_count[i] = i % 3;
        cs->miss_count[i] = i;
        cs->hit_count[i] = 2 * i;
    }
    cs->cast_out_count[5] = 500;                           // fills the row alone
    cs->cast_out_count[6] = 100, cs->miss_count[6] = 300;  // misses cut after 220
    cs->cast_out_count[7] = 0, cs->miss_count[7] = 0, cs->hit_count[7] = 1000;
    cs->cast_out_count[0] = cs->miss_count[0] = cs->hit_count[0] = 0;  // row 0 untouched
}

// The pixel a row should hold at x: the bars laid end to end, cut at w.
uint16_t expected(const cachesim* cs, int set, int x)
{
    long c = cs->cast_out_count[set], m = cs->miss_count[set], h = cs->hit_count[set];
    if (x < c)
        return 0xFC00;
    if (x < c + m)
        return 0xBC00;
    if (x < c + m + h)
        return 0x83E0;
    return FILL;
}

TEST(CachesimShow, BarsPerSet)
{
    static cachesim cs;
    known_counts(&cs);
    struct {
        const char* why;
        int w, h, row_bytes;
    } pages[] = {
        {"320x240 page: 128 rows of bars, rows 128 to 239 left alone", 320, 240, 640},
        {"page of 100 rows in 1024-byte rows: only its 100 rows are drawn", 320, 100, 1024},
        {"page of one row", 320, 1, 640},
    };
    for (const auto& pg : pages) {
        SCOPED_TRACE(pg.why);
        page p(pg.w, pg.h, pg.row_bytes);
        cachesim_show(&cs, &p.fb);
        int wrong = 0;
        for (int y = 0; y < pg.h; y++)
            for (int x = 0; x < pg.row_bytes / 2; x++) {
                const uint16_t want = y < CACHESIM_SETS && x < pg.w ? expected(&cs, y, x) : FILL;
                if (p.at(x, y) != want && wrong++ < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << " is 0x" << std::hex << p.at(x, y) << " want 0x"
                                  << want;
            }
        EXPECT_EQ(wrong, 0);
    }
    // Spot checks of the rules the reference encodes.
    page p(320, 240, 640);
    cachesim_show(&cs, &p.fb);
    EXPECT_EQ(p.at(0, 0), FILL);
    EXPECT_EQ(p.at(319, 5), 0xFC00);
    EXPECT_EQ(p.at(99, 6), 0xFC00);
    EXPECT_EQ(p.at(100, 6), 0xBC00);
    EXPECT_EQ(p.at(319, 6), 0xBC00);
    EXPECT_EQ(p.at(319, 7), 0x83E0);
    EXPECT_EQ(p.at(0, 128), FILL);
}

TEST(CachesimShow, OnlyArgb1555)
{
    static cachesim cs;
    cachesim_init(&cs);
    page p(320, 240, 320, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8);
    captured_run r = capture_run([&] { cachesim_show(&cs, &p.fb); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "only N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 fb implemented here..\n");
}

}  // namespace
