// The small time functions the overlay scenes share, at their boundaries.
#include <gtest/gtest.h>

#include "vexil/vexil.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_scenes.h"
#include "vexil/vexil_scenes_overlay.h"

TEST(OverlayTime, StrokeFrame)
{
    const struct {
        float t, d, h, e, frame;
    } cases[] = {
        {-0.001f, 1, 2, 4, 0},                       // before the start
        {0, 1, 2, 4, 0},                             // drawing starts at 0
        {0.5f, 1, 2, 4, 127.5f},                     // half drawn
        {1, 1, 2, 4, 255},                           // the hold starts exactly at d
        {2.999f, 1, 2, 4, 255},  {3, 1, 2, 4, 255},  // the erase starts at d + h from full
        {5, 1, 2, 4, 127.5f},                        // half erased
        {7, 1, 2, 4, 0},                             // gone at d + h + e
        {8, 1, 2, 4, 0},         {0, 0, 2, 4, 255},  // no draw phase: held at once, no division
        {1, 1, 0, 4, 255},                           // no hold: erasing from full right after drawing
        {1, 1, 2, 0, 255},       {3, 1, 2, 0, 0},    // no erase phase: gone at d + h, no division
        {0, 0, 0, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(stroke_frame(c.t, c.d, c.h, c.e), c.frame) << c.t << " " << c.d << " " << c.h << " " << c.e;
}

TEST(OverlayTime, NormalizedDuration)
{
    const struct {
        float local_t, duration_t, want;
    } cases[] = {
        {0, 0, 1},                                                        // a zero-length row is at its end
        {5, 0, 1}, {0, 2, 0}, {0.5f, 2, 0.25f}, {2, 2, 1}, {3, 2, 1.5f},  // not clamped: the scenes clamp
    };
    for (const auto& c : cases) {
        vexil_scene s{};
        s.local_t = c.local_t;
        s.duration_t = c.duration_t;
        EXPECT_FLOAT_EQ(normalized_duration(&s), c.want) << c.local_t << " / " << c.duration_t;
    }
}

TEST(OverlayTime, Mix)
{
    const struct {
        float a, b, t, want;
    } cases[] = {
        {10, 20, -1, 10}, {10, 20, 0, 10},    {10, 20, 0.25f, 12.5f}, {10, 20, 1, 20},
        {10, 20, 7, 20},  {20, 10, 0.5f, 15}, {-4, 4, 0.5f, 0},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(mix(c.a, c.b, c.t), c.want) << c.a << " " << c.b << " " << c.t;
}

TEST(OverlayTime, TimeTriangle)
{
    const struct {
        float t, inv_period, want;
    } cases[] = {
        {0, 1, 0}, {0.25f, 1, 0.5f}, {0.5f, 1, 1},       {0.75f, 1, 0.5f},
        {1, 1, 0}, {1.25f, 2, 1},    {-0.25f, 1, -0.5f},  // the fraction is taken toward zero, so it is negative here
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(time_triangle(c.t, c.inv_period), c.want) << c.t << " " << c.inv_period;
}
