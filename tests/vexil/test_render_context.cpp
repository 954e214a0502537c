// The production's render-context set-up: target, textures and camera from a
// view matrix whose inverse it computes (checked against glm).
#include <gtest/gtest.h>

#include <cstring>

#define GLM_FORCE_RADIANS
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "n3d/n3d.h"
#include "support/test_arena.h"
#include "vexil/vexil.h"

namespace {

using test_arena = qf_test_arena<4u << 20>;

TEST(RenderContext, SetUpFromAViewMatrix)
{
    test_arena ta;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &ta.arena, 320, 240, 2, N3D_FRAMECONTEXT_COVERAGEBUFFER);
    n3d_texture* argb[2] = {nullptr, nullptr};
    uint8_t lut[272];
    uint8_t* luts[1] = {lut + 8};
    n3d_textures_context tc{};
    tc.textures_per_format[2] = argb;
    tc.phong_luts = luts;

    n3d_render_context rc;
    memset(&rc, 0x7F, sizeof rc);  // the light must come out zeroed
    const glm::mat4 view = glm::lookAtRH(glm::vec3(2.0f, 1.0f, 5.0f), glm::vec3(0.0f), glm::vec3(0.0f, 1.0f, 0.0f));
    vexil_setup_render_context(&rc, &fc, &tc, reinterpret_cast<const vec4*>(glm::value_ptr(view)), 1.0f, 0.25f);

    EXPECT_EQ(rc.fc, &fc);
    EXPECT_EQ(rc.tc.textures_per_format[2], argb);
    EXPECT_EQ(rc.tc.textures_per_format[1], nullptr);
    EXPECT_EQ(rc.tc.phong_luts, luts);
    EXPECT_EQ(rc.lc.world_light_pos[0], 0.0f);
    EXPECT_EQ(rc.lc.world_light_pos[1], 0.0f);
    EXPECT_EQ(rc.lc.world_light_pos[2], 0.0f);
    const glm::mat4 world = glm::inverse(view);
    glm::mat4 proj = glm::infinitePerspectiveRH(1.0f, 320.0f / 240.0f, 0.25f);
    proj[1][1] = -proj[1][1];
    const glm::mat4 clip = proj * view;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            EXPECT_NEAR(rc.sc.world_from_view[c][r], world[c][r], 1e-5f) << c << r;
            EXPECT_NEAR(rc.sc.clip_from_world[c][r], clip[c][r], 1e-5f) << c << r;
        }
    EXPECT_NEAR(rc.sc.world_view_pos[0], 2.0f, 1e-5f);
    EXPECT_NEAR(rc.sc.world_view_pos[1], 1.0f, 1e-5f);
    EXPECT_NEAR(rc.sc.world_view_pos[2], 5.0f, 1e-5f);
    EXPECT_EQ(rc.sc.near_plane, 0.25f);
}

}  // namespace
