// The display half of the host's vertical blank, after the demo system's
// update: the page flip, the composition and the presentation in the window.
// Each frame draws a colour into the back page (as a vertical-blank update
// does); the frame the dummy video driver saves must show exactly that colour,
// so the flip comes before the composition, the pages alternate, and the
// composed surface reaches the window at full size.
#include <gtest/gtest.h>

#include <SDL.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/sdl2_host.h"
#include "support/capture.h"

namespace {

struct frame_colour {
    uint16_t argb1555;
    uint8_t r, g, b;  // through the start-up grey ramps
};

const frame_colour FRAMES[] = {
    {0x7C00, 255, 0, 0},     {0x03E0, 0, 255, 0},
    {0x001F, 0, 0, 255},     {0x4210, 128, 128, 128},  // channel 16 -> index (16 << 3) | (16 & 7) = 128
    {0x7FFF, 255, 255, 255}, {0x0000, 0, 0, 0},
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
    std::string dir = capture_temp_dir();
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

    std::vector<std::string> frames = capture_list_dir(dir, "SDL_window", ".bmp");
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
            const uint32_t* row =
                reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(s->pixels) + (size_t)y * s->pitch);
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
    capture_remove_dir(dir);
}

// The back surface is presented as a plain copy (blend mode NONE): the
// composed alpha is always 255, so every presented pixel must equal what the
// blending present gave, into the window surface's own format and at the
// widths a desktop gives (scaled up, bars and cut sides included).
TEST(HostVerticalBlank, PlainCopyPresentShowsTheBlendingPresentsPixels)
{
    std::string dir = capture_temp_dir();
    captured_run r = capture_run([&] {
        if (chdir(dir.c_str()) != 0)
            return;
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        platform_sdl_setup(&platform);
        SDL_BlendMode mode = SDL_BLENDMODE_BLEND;
        SDL_GetSurfaceBlendMode(platform.backbuffer, &mode);
        printf("mode %d\n", (int)mode);
        // A frame of every overlay and video colour: random planes and tables.
        valkyrie_context* v = &platform.valkyrie_context;
        uint32_t seed = 12345;
        auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
        for (int i = 0; i < 640 * 480; i++)
            v->overlay.b[i] = (next() >> 24) & 3 ? static_cast<uint8_t>(next() >> 24) : 0;
        for (valkyrie_buffer& page : v->videos)
            for (int i = 0; i < page.rowbytes * page.h; i++)
                page.b[i] = static_cast<uint8_t>(next() >> 24);
        uint8_t table[1024];
        for (uint8_t& b : table)
            b = static_cast<uint8_t>(next() >> 24);
        v->set_overlay_palette_func(v, 0, 256, table);
        v->set_video_palette_func(v, 0, 256, table);
        SDL_LockSurface(platform.backbuffer);
        emulate_valkyrie_blit_rgba8888(v, platform.backbuffer->pixels, platform.backbuffer->pitch);
        SDL_UnlockSurface(platform.backbuffer);
        const Uint32 format = platform.window_surface->format->format;
        const int sizes[][2] = {{640, 480}, {1024, 768}, {1280, 1024}, {1920, 1080}, {800, 480}};
        int differ = 0, compared = 0;
        for (const auto& size : sizes) {
            SDL_Surface* out[2];
            for (int k = 0; k < 2; k++) {
                out[k] = SDL_CreateRGBSurfaceWithFormat(0, size[0], size[1], 0, format);
                SDL_FillRect(out[k], nullptr, SDL_MapRGB(out[k]->format, 40, 80, 120));
                SDL_SetSurfaceBlendMode(platform.backbuffer, k == 0 ? SDL_BLENDMODE_NONE : SDL_BLENDMODE_BLEND);
                SDL_Rect src = {0, 0, 640, 480};
                SDL_Rect dst = host_present_rect(size[0], size[1]);
                SDL_UpperBlitScaled(platform.backbuffer, &src, out[k], &dst);
            }
            for (int y = 0; y < size[1]; y++) {
                const uint8_t* a = static_cast<const uint8_t*>(out[0]->pixels) + (size_t)y * out[0]->pitch;
                const uint8_t* b = static_cast<const uint8_t*>(out[1]->pixels) + (size_t)y * out[1]->pitch;
                int bytes = size[0] * out[0]->format->BytesPerPixel;
                differ += memcmp(a, b, (size_t)bytes) != 0;
                compared++;
            }
            SDL_FreeSurface(out[0]);
            SDL_FreeSurface(out[1]);
        }
        printf("rows %d differ %d\n", compared, differ);
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "mode 0\nrows 3832 differ 0\n");
    capture_remove_dir(dir);
}

}  // namespace
