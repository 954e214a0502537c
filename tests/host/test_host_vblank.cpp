// The display half of the host's vertical blank, after the demo system's
// update: the page flip, the composition and the presentation in the window.
// Each frame draws a colour into the back page (as a vertical-blank update
// does); the frame the dummy video driver saves must show exactly that colour,
// so the flip comes before the composition, the pages alternate, and the
// composed surface reaches the window at full size.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "host/host_program.h"
#include "host/sdl2_host.h"

namespace {

struct frame_colour {
    uint16_t argb1555;
    uint8_t r, g, b;  // through the start-up grey ramps
};

const frame_colour FRAMES[] = {
    {0x7C00, 255, 0, 0},
    {0x03E0, 0, 255, 0},
    {0x001F, 0, 0, 255},
    {0x4210, 128, 128, 128},  // channel 16 -> index (16 << 3) | (16 & 7) = 128
    {0x7FFF, 255, 255, 255},
    {0x0000, 0, 0, 0},
};
const int FRAME_COUNT = sizeof(FRAMES) / sizeof(FRAMES[0]);

void fill_page(valkyrie_buffer* page, uint16_t value)
{
    for (int y = 0; y < page->h; y++) {
        uint16_t* row = reinterpret_cast<uint16_t*>(page->b + (size_t)y * page->rowbytes);
        for (int x = 0; x < page->w; x++)
            row[x] = value;
    }
}

TEST(HostVerticalBlank, FlipThenComposeThenPresent)
{
    std::string dir = host_program_workdir();
    captured_run r = capture_run([&] {
        if (chdir(dir.c_str()) != 0)
            return;
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        setenv("SDL_VIDEO_DUMMY_SAVE_FRAMES", "1", 1);
        platform_sdl_setup(&platform);
        valkyrie_context* v = &platform.valkyrie_context;
        for (int k = 0; k < FRAME_COUNT; k++) {
            int back = v->video_backpage;
            fill_page(&v->videos[back], FRAMES[k].argb1555);
            // What is drawn into the shown page must not appear in this frame.
            fill_page(&v->videos[1 - back], 0x5555);
            printf("%d", back);
            host_vblank_present(&platform);
            // The page just shown keeps this frame's colour; the next vblank
            // draws into the other one.
            fill_page(&v->videos[1 - v->video_backpage], 0x5555);
        }
        printf(" %d\n", v->video_backpage);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "010101 0\n") << "the back page alternates at every vertical blank";

    std::vector<std::string> frames = host_program_list(dir, "SDL_window", ".bmp");
    ASSERT_EQ((int)frames.size(), FRAME_COUNT);
    for (int k = 0; k < FRAME_COUNT; k++) {
        SDL_Surface* loaded = SDL_LoadBMP((dir + "/" + frames[k]).c_str());
        ASSERT_NE(loaded, nullptr) << frames[k];
        SDL_Surface* s = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGBA8888, 0);
        SDL_FreeSurface(loaded);
        ASSERT_NE(s, nullptr);
        // The dummy desktop is 4:3, so the picture fills the window.
        EXPECT_GE(s->w, 640);
        EXPECT_EQ(s->w * 3, s->h * 4);
        int wrong = 0;
        for (int y = 0; y < s->h; y += 7) {
            const uint32_t* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(s->pixels) + (size_t)y * s->pitch);
            for (int x = 0; x < s->w; x += 5) {
                uint32_t p = row[x];
                if ((p >> 24) != FRAMES[k].r || ((p >> 16) & 255) != FRAMES[k].g || ((p >> 8) & 255) != FRAMES[k].b)
                    wrong++;
            }
        }
        uint32_t corner = static_cast<const uint32_t*>(s->pixels)[0];
        EXPECT_EQ(wrong, 0) << "frame " << k << " first pixel " << std::hex << corner;
        SDL_FreeSurface(s);
    }
    host_program_remove_dir(dir);
}

}  // namespace
