// The host loop's pieces that do not need a window: the key table from the
// keyboard state, the event drain of one pass, the 60 Hz pacing test and the
// presentation rectangle. SDL runs on its dummy video driver.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstring>
#include <vector>

#include "host/sdl2_host.h"

namespace {

class HostInput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS), 0) << SDL_GetError();
    }
    static void TearDownTestSuite() { SDL_Quit(); }
    void SetUp() override { SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT); }
};

TEST_F(HostInput, KeyTableHoldsHeldKeysBelow256)
{
    struct {
        std::vector<int> held;  // scancodes
        std::vector<int> set;   // key codes expected in the table
        int escape;
        const char* why;
    } cases[] = {
        {{}, {}, 0, "nothing held: all zero"},
        {{SDL_SCANCODE_A, SDL_SCANCODE_X}, {'a', 'x'}, 0, "letters by key code"},
        {{SDL_SCANCODE_1, SDL_SCANCODE_SPACE, SDL_SCANCODE_M}, {'1', ' ', 'm'}, 0, "digits and space"},
        {{SDL_SCANCODE_UP, SDL_SCANCODE_F1, SDL_SCANCODE_LSHIFT}, {}, 0, "codes above 255 have no entry"},
        {{SDL_SCANCODE_ESCAPE}, {}, 1, "held Escape ends the loop even without a key-down event"},
        {{SDL_SCANCODE_Q, SDL_SCANCODE_ESCAPE}, {'q'}, 1, "other keys still fill the table"},
    };
    for (auto& c : cases) {
        std::vector<uint8_t> state(SDL_NUM_SCANCODES, 0);
        for (int sc : c.held)
            state[sc] = 1;
        uint8_t keys[256];
        memset(keys, 0xAA, sizeof(keys));  // leftovers from the previous pass must go
        int esc = host_keys_fill(keys, state.data(), (int)state.size());
        EXPECT_EQ(esc, c.escape) << c.why;
        uint8_t want[256] = {};
        for (int k : c.set)
            want[k] = 1;
        EXPECT_EQ(memcmp(keys, want, 256), 0) << c.why;
    }
    // The count bounds the state read: a held key past numkeys is not seen.
    std::vector<uint8_t> state(SDL_SCANCODE_Z + 1, 0);
    state[SDL_SCANCODE_Z] = 1;
    uint8_t keys[256];
    host_keys_fill(keys, state.data(), SDL_SCANCODE_Z);
    EXPECT_EQ(keys['z'], 0);
}

SDL_Event key_event(Uint32 type, SDL_Keycode sym)
{
    SDL_Event e;
    memset(&e, 0, sizeof(e));
    e.type = type;
    e.key.keysym.sym = sym;
    e.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    return e;
}

SDL_Event motion_event(int dx, int dy)
{
    SDL_Event e;
    memset(&e, 0, sizeof(e));
    e.type = SDL_MOUSEMOTION;
    e.motion.xrel = dx;
    e.motion.yrel = dy;
    return e;
}

TEST_F(HostInput, EventDrainOfOnePass)
{
    host_input in = {1, 99, 99, 0};
    SDL_Event e1 = motion_event(5, -3), e2 = motion_event(-7, 2);
    SDL_PushEvent(&e1);
    SDL_PushEvent(&e2);
    host_input_poll_events(&in);
    EXPECT_EQ(in.mouse_rel_dx, -7) << "the last motion counts, motions are not summed";
    EXPECT_EQ(in.mouse_rel_dy, 2);
    EXPECT_EQ(in.quit, 0);

    host_input_poll_events(&in);
    EXPECT_EQ(in.mouse_rel_dx, 0) << "a pass without motion has none";
    EXPECT_EQ(in.mouse_rel_dy, 0);

    SDL_Event up_m = key_event(SDL_KEYUP, SDLK_m), down_m = key_event(SDL_KEYDOWN, SDLK_m);
    SDL_PushEvent(&down_m);
    host_input_poll_events(&in);
    EXPECT_EQ(in.lock_mouse, 1) << "pressing m does nothing";
    SDL_PushEvent(&up_m);
    host_input_poll_events(&in);
    EXPECT_EQ(in.lock_mouse, 0) << "releasing m toggles";
    SDL_PushEvent(&up_m);
    host_input_poll_events(&in);
    EXPECT_EQ(in.lock_mouse, 1);

    SDL_Event up_esc = key_event(SDL_KEYUP, SDLK_ESCAPE);
    SDL_PushEvent(&up_esc);
    host_input_poll_events(&in);
    EXPECT_EQ(in.quit, 0) << "releasing Escape is not a quit";
    SDL_Event down_esc = key_event(SDL_KEYDOWN, SDLK_ESCAPE);
    SDL_PushEvent(&down_esc);
    host_input_poll_events(&in);
    EXPECT_EQ(in.quit, 1);
}

TEST_F(HostInput, QuitStopsTheDrainAtOnce)
{
    host_input in = {1, 0, 0, 0};
    SDL_Event q;
    memset(&q, 0, sizeof(q));
    q.type = SDL_QUIT;
    SDL_Event m = motion_event(4, 4);
    SDL_PushEvent(&q);
    SDL_PushEvent(&m);
    host_input_poll_events(&in);
    EXPECT_EQ(in.quit, 1);
    EXPECT_EQ(in.mouse_rel_dx, 0) << "the motion after the quit is not read";
    SDL_Event rest;
    EXPECT_EQ(SDL_PollEvent(&rest), 1);
    EXPECT_EQ(rest.type, (Uint32)SDL_MOUSEMOTION);
}

TEST(HostPacing, VerticalBlankOnlyAfterMoreThanOneFrame)
{
    const uint64_t freq = 1000000000ull;
    const uint64_t per_frame = freq / HOST_TARGET_FPS;
    EXPECT_EQ(per_frame, 16666666ull);
    struct {
        uint64_t start, now;
        int due;
    } cases[] = {{0, 16666666, 0},           {0, 16666667, 1}, {1000, 1000 + 16666666, 0},
                 {1000, 1000 + 16666667, 1}, {5, 5, 0},        {0, 40000000, 1}};
    for (auto& c : cases)
        EXPECT_EQ(host_vblank_due(c.now, c.start, per_frame), c.due) << c.start << " " << c.now;
}

TEST(HostPresent, FullHeightFourByThreeCentred)
{
    struct {
        int w, h, x, dw;
    } cases[] = {
        {1920, 1080, 240, 1440},  // bars left and right
        {1280, 1024, -42, 1365},  // narrower than 4:3: sides cut, x rounds toward zero
        {640, 480, 0, 640},      {1024, 768, 0, 1024}, {800, 1200, -400, 1600},
    };
    for (auto& c : cases) {
        SDL_Rect r = host_present_rect(c.w, c.h);
        EXPECT_EQ(r.x, c.x) << c.w << "x" << c.h;
        EXPECT_EQ(r.y, 0);
        EXPECT_EQ(r.w, c.dw) << c.w << "x" << c.h;
        EXPECT_EQ(r.h, c.h);
    }
}

}  // namespace
