// The free camera of the datapack scene: a position with yaw and pitch, moved by
// the keys and relative mouse motion of the production, giving the view matrix
// that replaces the datapack's camera while the free camera is on. Plain state
// in the caller's record, no allocation; main thread; nothing fails.
#include <cmath>

#include "core/linmath.h"
#include "core/saturate.h"
#include "vexil/vexil_scenes_video.h"

#define FPS_CAMERA_PITCH_MAX ((float)(LINMATH_PI / 2 - 0.01))

void fps_camera_init(fps_camera* c, const vec3 position, float yaw_degrees)
{
    for (int i = 0; i < 3; i++)
        c->position[i] = position[i];
    c->yaw = 0.017453292f * yaw_degrees;
    c->pitch = 0.0f;
    c->mouse_sens = 0.025f;
    c->move_speed = 2.0f;
    c->prev_mouse_x = -1;
    c->prev_mouse_y = -1;
}

static void fps_camera_basis(const fps_camera* c, vec3 forward, vec3 right, vec3 up)
{
    vec3 f = {sinf(c->yaw) * cosf(c->pitch), sinf(c->pitch), -cosf(c->yaw) * cosf(c->pitch)};
    vec3_norm(forward, f);
    const vec3 world_up = {0.0f, 1.0f, 0.0f};
    vec3 r;
    vec3_mul_cross(r, forward, world_up);
    vec3_norm(right, r);
    vec3_mul_cross(up, right, forward);
}

static void fps_camera_view(const fps_camera* c, mat4x4 out_view_from_world)
{
    vec3 forward, right, up, center;
    fps_camera_basis(c, forward, right, up);
    vec3_add(center, c->position, forward);
    mat4x4_look_at(out_view_from_world, c->position, center, up);
}

void fps_camera_get(fps_camera* c, mat4x4 out_view_from_world)
{
    c->pitch = sat_clamp(c->pitch, -FPS_CAMERA_PITCH_MAX, FPS_CAMERA_PITCH_MAX);
    fps_camera_view(c, out_view_from_world);
}

void fps_camera_move(fps_camera* c, float dyaw, float dpitch, float forward_amount, float right_amount,
                     mat4x4 out_view_from_world)
{
    c->yaw += dyaw;
    c->pitch = sat_clamp(c->pitch + dpitch, -FPS_CAMERA_PITCH_MAX, FPS_CAMERA_PITCH_MAX);
    vec3 forward, right, up, step;
    fps_camera_basis(c, forward, right, up);
    vec3_scale(step, forward, forward_amount);
    vec3_add(c->position, c->position, step);
    // Subtracted: a positive amount moves left.
    vec3_scale(step, right, right_amount);
    vec3_sub(c->position, c->position, step);
    fps_camera_view(c, out_view_from_world);
}

void fps_camera_move_wasd_mouse(fps_camera* c, const uint8_t* keys_ascii, const int mouse_rel_xy[2], float dt_seconds,
                                mat4x4 out_view_from_world)
{
    float dyaw = c->mouse_sens * (float)mouse_rel_xy[0];
    float dpitch = c->mouse_sens * (float)-mouse_rel_xy[1];
    const float step = c->move_speed * dt_seconds;
    float forward = 0.0f, right = 0.0f;
    // A later key of the same axis wins.
    if (keys_ascii['w'])
        forward = step;
    if (keys_ascii['s'])
        forward = -step;
    if (keys_ascii['a'])
        right = step;
    if (keys_ascii['d'])
        right = -step;
    if (keys_ascii['z'])
        right = 2.0f * step;
    if (keys_ascii['c'])
        right = -2.0f * step;
    fps_camera_move(c, dyaw, dpitch, forward, right, out_view_from_world);
}
