#include "tools/demo_room.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "core/crash.h"
#include "core/linmath_extended.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_mobius.h"
#include "tools/demo_timing.h"

#define ROOM_CRASH(...) n3d_crash("src/room", __LINE__, __VA_ARGS__)

int drum0_pos = 2008233;
int drum1_pos = 2052495;
int drum2_pos = 2063951;
int drum3_pos = 2091039;
int drum4_pos = 2096358;
int drum5_pos = 2107685;
int pos_zoom_out_wall, pos_zoomed_out_wall, pos_light_dims_down, pos_start_rotate, pos_rotating;
int room_wall_remove_pos, room_stars_show_pos;

// Sides in the order they are drawn (and the asset meshes the stars come from).
static const int room_draw_order[DEMO_ROOM_SIDES] = {0, 5, 1, 2, 3, 4};
// First asset mesh of the walls.
#define ROOM_FIRST_WALL_MESH 2

static const n3d_asset_mesh* room_wall_mesh(const demo_room* p, int side)
{
    return p->assets->meshes[ROOM_FIRST_WALL_MESH + side];
}

void demo_room_init(demo_assets* assets, memarena* arena, demo_room* p, memarena* tmp_arena)
{
    (void)tmp_arena;
    pos_zoom_out_wall = 1964034;
    pos_zoomed_out_wall = 2008134;
    pos_light_dims_down = drum3_pos;
    pos_start_rotate = 2008134;
    pos_rotating = 2228634;
    room_wall_remove_pos = 2317824;
    room_stars_show_pos = 2472038;
    memset(p, 0, sizeof *p);
    p->assets = assets;

    for (int i = 0; i < DEMO_ROOM_SIDES; i++) {
        const n3d_asset_mesh* m = assets->meshes[ROOM_FIRST_WALL_MESH + i];
        if (!m)
            ROOM_CRASH("room wall %d (mesh[%d]) is not loaded\n", i, ROOM_FIRST_WALL_MESH + i);
        const n3d_vertices* src = &m->vertices;
        // Every frame rewrites positions and texture coordinates from these, and
        // the phong path reads the tangent frame.
        if (!src->xyz || !src->uv || !src->n_xyz || !src->t_xyz || !src->b_xyz || !src->tb_norm)
            ROOM_CRASH("room wall %d (mesh[%d]) needs xyz, uv, n_xyz, t_xyz, b_xyz and tb_norm\n", i,
                       ROOM_FIRST_WALL_MESH + i);
        demo_room_side* s = &p->sides[i];
        s->asset = *m;
        n3d_vertices* v = &s->asset.vertices;
        const size_t n = src->count > 0 ? (size_t)src->count : 0;
        v->xyz = memarena_push_array<float>(arena, n * 3);
        v->uv = memarena_push_array<float>(arena, n * 2);
        v->n_xyz = memarena_push_array<float>(arena, n * 3);
        v->t_xyz = memarena_push_array<float>(arena, n * 3);
        v->b_xyz = memarena_push_array<float>(arena, n * 3);
        v->tb_norm = memarena_push_array<float>(arena, n * 2);
        memcpy(v->xyz, src->xyz, n * 12);
        memcpy(v->uv, src->uv, n * 8);
        memcpy(v->n_xyz, src->n_xyz, n * 12);
        memcpy(v->t_xyz, src->t_xyz, n * 12);
        memcpy(v->b_xyz, src->b_xyz, n * 12);
        memcpy(v->tb_norm, src->tb_norm, n * 8);

        for (int a = 0; a < 3; a++) {
            s->min_xyz[a] = 0.0f;
            s->max_xyz[a] = 0.0f;
        }
        for (size_t k = 0; k < n; k++)
            for (int a = 0; a < 3; a++) {
                const float x = src->xyz[3 * k + a];
                s->min_xyz[a] = x < s->min_xyz[a] ? x : s->min_xyz[a];
                s->max_xyz[a] = x > s->max_xyz[a] ? x : s->max_xyz[a];
            }
        for (int a = 0; a < 3; a++) {
            s->scale_xyz[a] = 0.5f * (s->max_xyz[a] - s->min_xyz[a]);
            // A flat axis has no extent to divide by: its term is left out.
            s->rec_scale_xyz[a] =
                s->scale_xyz[a] > 0.0f && std::isfinite(1.0f / s->scale_xyz[a]) ? 1.0f / s->scale_xyz[a] : 0.0f;
        }
    }

    p->phong_luts_count = DEMO_ROOM_PHONG_LUTS;
    p->phong_luts = memarena_push_array_zeroed<uint8_t*>(arena, DEMO_ROOM_PHONG_LUTS);
    for (int i = 0; i < DEMO_ROOM_PHONG_LUTS; i++) {
        const float f = (float)i / 31.0f;
        const float r_max = i == DEMO_ROOM_PHONG_LUTS - 1 ? FLT_MAX : 8.0f * f * f;
        p->phong_luts[i] = n3d_build_phong_lut(arena, r_max, 0);
    }
}

// The wave of the beat: 2 sin(2 pi tsb) + 2 cos(2 pi tub).
static float room_wave()
{
    const float pi2 = 2.0f * LINMATH_PI_F;
    return 2.0f * sinf(pi2 * g_dtf.time_since_beat) + 2.0f * cosf(pi2 * g_dtf.time_until_beat);
}

// Rewrites side i from its loaded mesh with bulge d; sink_p (0 to 1) lowers the
// side walls towards the floor when non-negative.
static void room_side_distort(demo_room* p, int i, float d, float scale05, float sink_p)
{
    demo_room_side* s = &p->sides[i];
    const n3d_vertices* src = &room_wall_mesh(p, i)->vertices;
    n3d_vertices* v = &s->asset.vertices;
    const float* rs = s->rec_scale_xyz;
    for (int k = 0; k < src->count; k++) {
        const float* q = src->xyz + 3 * k;
        const float* nrm = src->n_xyz + 3 * k;
        const float a = (1.0f - nrm[0]) * rs[0] * q[0];
        const float b = (1.0f - nrm[1]) * rs[1] * q[1];
        const float c = (1.0f - nrm[2]) * rs[2] * q[2];
        float x = q[0] + (1.0f - c * c) * d * nrm[0];
        float y = q[1];
        float z = q[2] + (1.0f - a * a) * d * nrm[2];
        if (i == 0 || i == 5) {
            x *= scale05;
            z *= scale05;
        } else if (sink_p >= 0.0f) {
            y = sink_p * -5.918221f + (1.0f - sink_p) * y;
        }
        float* out = v->xyz + 3 * k;
        out[0] = x;
        out[1] = y;
        out[2] = z;
        float* uv = v->uv + 2 * k;
        if (i == 0 || i == 5) {
            uv[0] = src->uv[2 * k];
            uv[1] = src->uv[2 * k + 1];
        } else if (i == 1 || i == 3) {
            uv[0] = 1.0f - (1.0f + a) / 2.0f;
            uv[1] = 1.0f - (1.0f + b) / 2.0f;
        } else {
            uv[0] = 1.0f - (1.0f + c) / 2.0f;
            uv[1] = 1.0f - (1.0f + b) / 2.0f;
        }
    }
}

void demo_room_distort(demo_room* p)
{
    const float wave = room_wave();
    const float h0 = demo_timing_tri_factor_around(drum0_pos, 0.15f);
    const float h1 = demo_timing_tri_factor_around(drum1_pos, 0.15f);
    const float h2 = demo_timing_tri_factor_around(drum2_pos, 0.15f);
    const float h3 = demo_timing_tri_factor_around(drum3_pos, 0.15f);
    const float h4 = demo_timing_tri_factor_around(drum4_pos, 0.15f);
    const float h5 = demo_timing_tri_factor_around(drum5_pos, 0.15f);
    const float hits = h0 + h1 + 0.5f * h2 + 0.25f * h3 + 0.25f * h4 + 0.125f * h5;
    float d = hits * wave;
    if (g_dtf.pos > drum5_pos)
        d = 0.125f * h5 * wave + 0.2f * wave;
    for (int i = 0; i < DEMO_ROOM_SIDES; i++) {
        const float scale = i == 5 ? 1.5f * (0.5f * d * sinf(g_dtf.t) + 1.0f) : 1.5f;
        room_side_distort(p, i, d, scale, -1.0f);
    }
}

void demo_room_distort_fall(demo_room* p)
{
    const float d = room_wave();
    const float t0 = demo_timing_time_at_sample(room_wall_remove_pos);
    const float t1 = demo_timing_time_at_sample(room_wall_remove_pos + 110250);
    float sink = (g_dtf.t - t0) / (t1 - t0);
    sink = sink > 0.0f ? (sink < 1.0f ? sink : 1.0f) : 0.0f;  // NaN reads as 0
    for (int i = 0; i < DEMO_ROOM_SIDES; i++)
        room_side_distort(p, i, d, 1.5f, sink);
}

// ---- frame -------------------------------------------------------------------

// trunc for every float: NaN gives 0, values outside int saturate.
static int room_trunc(float x)
{
    if (!(x == x))
        return 0;
    if (x >= 2147483520.0f)
        return INT32_MAX;
    if (x <= -2147483648.0f)
        return INT32_MIN;
    return (int)x;
}

static int room_phong_lut_id(int pos)
{
    if (pos < pos_light_dims_down)
        return 31;
    if (pos < room_wall_remove_pos)
        return room_trunc(31.0f +
                          (5.0f - 31.0f) * demo_timing_lerp_factor(pos_light_dims_down, pos_light_dims_down + 66150));
    return 0;
}

void demo_room_update(demo_room* p, n3d_frame_context* fc, memarena* tmp_arena)
{
    (void)tmp_arena;
    if (fc->fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        ROOM_CRASH("not implemented\n");
    if (!n3d_batch_arena.ptr)
        ROOM_CRASH("the room draws through the renderer: n3d_init must run first\n");
    const float t = g_dtf.t;
    const int pos = g_dtf.pos;
    const float pi = LINMATH_PI_F;

    n3d_render_context rc;
    memset(&rc, 0, sizeof rc);
    vec3_set(rc.lc.world_light_pos, 5.0f * sinf(2.0f * pi * 0.25f * t), 5.0f * cosf(2.0f * pi * 0.25f * t),
             sinf(2.0f * pi * 0.1f * t) * 2.0f * cosf(2.0f * pi * 0.15f * t));

    // The view blends from B, close in front of a wall, to A as the camera pulls back.
    mat4x4 view_a, view_b, view_from_world, world_from_view;
    const vec3 eye = {8.0f * 0.133858f, 8.0f * 0.149606f, 8.0f * -1.0f - 4.0f};
    const vec3 centre = {8.0f * 0.234298f, 8.0f * -0.212598f, 8.0f * -0.140678f};
    const vec3 up = {0.0f, 0.0f, 1.0f};
    mat4x4_look_at_ex(view_a, eye, centre, up);
    const float z = demo_timing_lerp_factor(pos_zoom_out_wall, pos_zoomed_out_wall);
    mat4x4_identity(view_b);
    view_b[2][2] = -1.0f;
    view_b[3][2] = 2.0f - 14.0f * z;
    for (int c = 0; c < 4; c++)
        for (int r = 0; r < 4; r++)
            view_from_world[c][r] = view_b[c][r] + (view_a[c][r] - view_b[c][r]) * z;
    mat4x4_invert(world_from_view, view_from_world);
    n3d_space_context_set(&rc.sc, fc, view_from_world, world_from_view, 1.0471976f, 1.0f);

    const float s = 0.1f * demo_timing_lerp_factor(pos_start_rotate, pos_rotating);
    const float turn = 0.4f * t + sinf(0.5f * t + pi * t / 30.0f);
    const float angle = pos < room_wall_remove_pos ? s * turn : 0.2f * turn;

    demo_assets* assets = p->assets;
    rc.fc = fc;
    rc.tc = assets->tc;
    rc.tc.phong_luts = p->phong_luts;

    demo_room_distort(p);
    n3d_framecontext_begin(fc, 0);

    mat4x4 identity, world_from_model, model_from_world;
    mat4x4_identity(identity);
    mat4x4_rotate(world_from_model, identity, 0.0f, 1.0f, 0.0f, angle);
    mat4x4_invert(model_from_world, world_from_model);
    const int phong_lut_id = room_phong_lut_id(pos);
    for (int k = 0; k < DEMO_ROOM_SIDES; k++) {
        const int side = room_draw_order[k];
        n3d_mesh mesh;
        memset(&mesh, 0, sizeof mesh);
        mesh.vertices = p->sides[side].asset.vertices;
        mesh.texture_id = side == 0 || side == 5 ? 2 : 1;
        mesh.phong_lut_id = phong_lut_id;
        mat4x4_dup(mesh.world_from_model, world_from_model);
        mat4x4_dup(mesh.model_from_world, model_from_world);
        if (pos < room_stars_show_pos)
            n3d_render_meshes(&rc, &mesh, 1,
                              N3D_DRAW_MODE_PHONG | N3D_DRAW_MODE_TRIANGLES | N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 |
                                  N3D_DRAW_MODE_COVERAGE_WRITE);
    }

    if (pos > room_stars_show_pos) {
        n3d_framebuffer_clear(fc->fb);
        mat4x4 r, r_inv, mvp;
        mat4x4_rotate(r, identity, 0.0f, 1.0f, 0.0f, s * turn);
        mat4x4_invert(r_inv, r);
        vec3 model_view_pos;
        mat4x4_mul_vec3(model_view_pos, r_inv, rc.sc.world_view_pos, 1.0f);
        mat4x4_mul(mvp, rc.sc.clip_from_world, r);
        for (int k = 0; k < DEMO_ROOM_SIDES; k++) {
            const n3d_asset_mesh* m = assets->meshes[room_draw_order[k]];
            if (!m)
                continue;
            mesh_particles particles = {m->vertices.count, m->vertices.xyz, nullptr};
            particles_draw(&rc, 3, mvp, model_view_pos, &particles);
        }
    }
    n3d_framecontext_end(fc);
}

// ---- sprites -------------------------------------------------------------------

static float room_dot4(const mat4x4 m, int row, const float* p)
{
    return m[0][row] * p[0] + m[1][row] * p[1] + m[2][row] * p[2] + m[3][row];
}

void particles_draw(n3d_render_context* rc, int texture_id, const mat4x4 mvp, const vec3 model_view_pos,
                    const mesh_particles* particles)
{
    n3d_framebuffer* fb = rc->fc->fb;
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        ROOM_CRASH("particles need an ARGB1555 framebuffer, is format %d\n", fb->format);
    n3d_texture** table = rc->tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555];
    const n3d_texture* tex = table && texture_id >= 0 ? table[texture_id] : nullptr;
    if (!tex || tex->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 || tex->not_swizzled || tex->w_log2 != 8 ||
        tex->h_log2 != 8 || !tex->mips || !tex->mips[0])
        ROOM_CRASH("particle texture %d must be ARGB1555, swizzled and 256x256\n", texture_id);
    const uint16_t* texels = reinterpret_cast<const uint16_t*>(tex->mips[0]);

    const int W = fb->w, H = fb->h;
    const float fw = (float)W, fh = (float)H;
    const float p00 = fabsf(rc->sc.clip_from_view[0][0]);
    const float p11 = fabsf(rc->sc.clip_from_view[1][1]);
    for (int i = 0; i < particles->count; i++) {
        const float* q = particles->xyz + 3 * i;
        const float w = room_dot4(mvp, 3, q);
        const float zc = room_dot4(mvp, 2, q);
        if (!(-w <= zc))  // in front of the near plane (or not a number)
            continue;
        const float dx = q[0] - model_view_pos[0], dy = q[1] - model_view_pos[1], dz = q[2] - model_view_pos[2];
        const float dist = sqrtf(dx * dx + dy * dy + dz * dz);
        const float sx = particles->xy_scale ? particles->xy_scale[2 * i] : 1.0f;
        const float sy = particles->xy_scale ? particles->xy_scale[2 * i + 1] : 1.0f;
        const float size_x = sx / dist * fw * p00;
        const float size_y = sy / dist * fh * p11;
        const float cx = (fw / 2.0f) * room_dot4(mvp, 0, q) / w + fw / 2.0f + 0.5f;
        const float cy = (fh / 2.0f) * room_dot4(mvp, 1, q) / w + fh / 2.0f + 0.5f;
        // Too small to step through in 16.16, or not finite: nothing to draw.
        if (!(size_x >= 1.0f / 1024.0f && size_y >= 1.0f / 1024.0f && size_x < 65536.0f && size_y < 65536.0f) ||
            !std::isfinite(cx) || !std::isfinite(cy))
            continue;
        const float x0 = cx - size_x / 2.0f, x1 = cx + size_x / 2.0f;
        const float y0 = cy - size_y / 2.0f, y1 = cy + size_y / 2.0f;
        auto clamp = [](float v, float hi) { return v > 0.0f ? (v < hi ? v : hi) : 0.0f; };
        const int px0 = (int)ceilf(clamp(x0, fw)), px1 = (int)ceilf(clamp(x1, fw));
        const int py0 = (int)ceilf(clamp(y0, fh)), py1 = (int)ceilf(clamp(y1, fh));
        if (px0 >= px1 || py0 >= py1)
            continue;
        // The first pixel's distance from the sprite's edge keeps clipped texels where they would be.
        const float step_x = 1.0f / size_x, step_y = 1.0f / size_y;
        const uint32_t du = (uint32_t)(65536.0f * step_x), dv = (uint32_t)(65536.0f * step_y);
        const uint32_t u0 = (uint32_t)(65536.0f * ((float)px0 - x0) * step_x);
        uint32_t v = (uint32_t)(65536.0f * ((float)py0 - y0) * step_y);
        for (int y = py0; y < py1; y++, v += dv) {
            uint8_t* row = static_cast<uint8_t*>(fb->b) + (ptrdiff_t)y * fb->row_bytes;
            const uint32_t tv = (v >> 8) & 255u;
            uint32_t u = u0;
            for (int x = px0; x < px1; x++, u += du) {
                const uint16_t texel = texels[demo_mobius_texel_index((u >> 8) & 255u, tv)];
                if (texel == 0x8000)
                    continue;
                uint16_t px;
                memcpy(&px, row + 2 * x, 2);
                unsigned r = ((px >> 10) & 31u) + ((texel >> 10) & 31u);
                unsigned g = ((px >> 5) & 31u) + ((texel >> 5) & 31u);
                unsigned b = (px & 31u) + (texel & 31u);
                r = r > 31u ? 31u : r;
                g = g > 31u ? 31u : g;
                b = b > 31u ? 31u : b;
                px = (uint16_t)(0x8000u | r << 10 | g << 5 | b);
                memcpy(row + 2 * x, &px, 2);
            }
        }
    }
}
