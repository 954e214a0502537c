// Mesh rendering, projection and spaces, skinning preparation and the debug segments.
#include "n3d/n3d.h"

#include <cmath>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/linmath_extended.h"
#include "image/texel.h"
#include "n3d/n3d_draw.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"

void n3d_render_mesh(n3d_render_context* rc, n3d_mesh* mesh, int draw_mode)
{
    CYCLES_BLOCK_BEGIN(BLOCK_RENDER_MESH);
    const int triangles = mesh->vertices.count > 0 ? mesh->vertices.count / 3 : 0;

    mat4x4 mvp;
    mat4x4_mul(mvp, rc->sc.clip_from_world, mesh->world_from_model);

    n3d_draw_args args;
    memset(&args, 0, sizeof args);
    mat4x4_mul_vec3(args.model_light_pos, mesh->model_from_world, rc->lc.world_light_pos, 1.0f);
    mat4x4_mul_vec3(args.model_view_pos, mesh->model_from_world, rc->sc.world_view_pos, 1.0f);

    const int texture_format = (draw_mode & N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555)
                                   ? N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555
                                   : N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
    n3d_texture** table = rc->tc.textures_per_format[texture_format];
    n3d_texture* textures[1] = {table && mesh->texture_id >= 0 ? table[mesh->texture_id] : nullptr};
    if (!textures[0])
        n3d_crash("src/n3d", 1180,
                  "tc->textures_per_format[texture_formats[0] == %d][mesh->texture_id == %d] is null!\n",
                  texture_format, mesh->texture_id);
    uint8_t* phong_luts[1] = {nullptr};
    n3d_material material = {textures, phong_luts};

    args.rasterizer_flags = 0;
    args.draw_mode = draw_mode;
    args.fc = rc->fc;
    args.batch_arena = &n3d_batch_arena;
    args.all_vs = &mesh->vertices;
    args.material = &material;
    args.mesh_primitives_count = triangles;
    args.joint_matrices = mesh->joint_matrices;
    args.view_proj_joint_matrices = mesh->view_proj_joint_matrices;
    args.mvp = &mvp;

    if (draw_mode & N3D_DRAW_MODE_LINES) {
        if (!mesh->joint_matrices)
            n3d_crash("src/n3d", 1216, "draw_mode %d for lines not implemented\n", draw_mode);
        n3d_crash("src/n3d", 1200, "skinning not implemented for lines\n");
    }
    if (!(draw_mode & N3D_DRAW_MODE_TRIANGLES))
        n3d_crash("src/n3d", 1237, "invalid draw_mode\n");
    if (draw_mode & N3D_DRAW_MODE_DEFAULT) {
        if (mesh->joint_matrices)
            n3d_draw_triangles_skinning_argb1555(&args);
        else
            n3d_draw_triangles_argb1555(&args);
    } else if (draw_mode & N3D_DRAW_MODE_PHONG) {
        uint8_t** luts = rc->tc.phong_luts;
        phong_luts[0] = luts && mesh->phong_lut_id >= 0 ? luts[mesh->phong_lut_id] : nullptr;
        if (!phong_luts[0])
            n3d_crash("src/n3d", 1227, "N3D_DRAW_MODE_PHONG: tc->phong_luts[mesh->phong_lut_id == %d] is null!\n",
                      mesh->phong_lut_id);
        // Only a mesh with a triangle to shade reads the tangent frame.
        const n3d_vertices* v = &mesh->vertices;
        if (triangles > 0 && (!v->n_xyz || !v->t_xyz || !v->b_xyz))
            n3d_crash("src/n3d", 1230,
                      "N3D_DRAW_MODE_PHONG was used but the mesh has nil on n_xyz and/or t_xyz and/or b_xyz!\n");
        n3d_draw_triangles_phong_argb1555(&args);
    } else {
        n3d_crash("src/n3d", 1234, "invalid draw_mode for triangles? %d\n", draw_mode);
    }
    CYCLES_BLOCK_END(BLOCK_RENDER_MESH);
}

void n3d_render_meshes(n3d_render_context* rc, n3d_mesh* meshes, int meshes_count, int draw_mode)
{
    for (int i = 0; i < meshes_count; ++i)
        n3d_render_mesh(rc, &meshes[i], draw_mode);
}

void n3d_proj(mat4x4 m, int w, int h, float fov_y, float near_plane)
{
    // The cotangent in single precision: 90 degrees gives exactly 1 (in double,
    // tan of the rounded half angle lies just above 1 and a becomes 0.99999994).
    // The tangent itself is the double one rounded to float, the same on every
    // C library.
    const double aspect = (double)w / (double)h;
    const float a = 1.0f / (float)tan((double)(fov_y / 2.0f));
    // Written so that NaN, which fails every comparison, is refused too.
    if (!(near_plane >= N3D_ZBUFFER_MIN_NEAR_PLANE))
        n3d_crash("src/n3d", 1248,
                  "near_plane must be >= N3D_ZBUFFER_MIN_NEAR_PLANE but is %.2f (impacts z-buffer number of bits to "
                  "avoid overflow!) define N3D_IGNORE_ZBUFFER_MIN_NEAR_PLANE_CHECK to 1 to skip this check\n",
                  (double)near_plane);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            m[c][r] = 0.0f;
    m[0][0] = (float)(a / aspect);
    m[1][1] = -a;
    m[2][2] = -1.0f;
    m[2][3] = -1.0f;
    m[3][2] = -2.0f * near_plane;
}

void n3d_space_context_set(n3d_space_context* sc, n3d_frame_context* fc, const mat4x4 view_from_world,
                           const mat4x4 world_from_view, float fov_y, float near_plane)
{
    n3d_proj(sc->clip_from_view, fc->fb->w, fc->fb->h, fov_y, near_plane);
    mat4x4_dup(sc->view_from_world, view_from_world);
    mat4x4_dup(sc->world_from_view, world_from_view);
    mat4x4_mul(sc->clip_from_world, sc->clip_from_view, sc->view_from_world);
    sc->near_plane = near_plane;
    sc->fov_y = fov_y;
    vec3_set(sc->world_view_pos, world_from_view[3][0], world_from_view[3][1], world_from_view[3][2]);
}

void n3d_prepare_skinning(n3d_mesh* mesh, int joints_count, const n3d_space_context* sc)
{
    if (joints_count > 0 && (!mesh->joint_matrices || !mesh->view_proj_joint_matrices))
        n3d_crash("src/n3d", __LINE__, "n3d_prepare_skinning: %d joints but the mesh's joint matrices are null\n",
                  joints_count);
    for (int i = 0; i < joints_count; ++i)
        mat4x4_mul(mesh->view_proj_joint_matrices[i], sc->clip_from_world, mesh->joint_matrices[i]);
}

// A colour component as the 0..1 fraction the pixel encodings take; NaN reads as 0.
static float unit_color(float c) { return c >= 0.0f ? (c <= 1.0f ? c : 1.0f) : 0.0f; }

void n3d_draw_unit_vectors(n3d_frame_context* fc, const n3d_unit_vector* vectors, float scale, int vectors_count,
                           const mat4x4 mvp)
{
    (void)scale;
    n3d_framebuffer* fb = fc->fb;
    n3d_coveragebuffer* cb = fc->cb;
    const float kx = (float)fb->w / 2.0f, ky = (float)fb->h / 2.0f;
    const float x_offset = kx + 0.5f, y_offset = ky + 0.5f;
    for (int i = 0; i < vectors_count; ++i) {
        const n3d_unit_vector* uv = &vectors[i];
        vec3 ends[2];
        vec3_copy(ends[0], uv->origo);
        vec3_add(ends[1], uv->origo, uv->n);
        float sx[2], sy[2];
        for (int e = 0; e < 2; ++e) {
            const float* p = ends[e];
            const float x = mvp[0][0] * p[0] + mvp[1][0] * p[1] + mvp[2][0] * p[2] + mvp[3][0];
            const float y = mvp[0][1] * p[0] + mvp[1][1] * p[1] + mvp[2][1] * p[2] + mvp[3][1];
            const float w = mvp[0][3] * p[0] + mvp[1][3] * p[1] + mvp[2][3] * p[2] + mvp[3][3];
            // Also false for every NaN, so a bad point ends the drawing as one outside does.
            if (!(w > 0.0f && -w <= x && x <= w && -w <= y && y <= w))
                return;
            sx[e] = x * kx / w + x_offset;
            sy[e] = y * ky / w + y_offset;
            if (!std::isfinite(sx[e]) || !std::isfinite(sy[e]))
                return;
        }
        const float r = unit_color(uv->color[0]), g = unit_color(uv->color[1]), b = unit_color(uv->color[2]);
        const uint16_t argb =
            (uint16_t)(0x8000u | (unsigned)(31.0f * r) << 10 | (unsigned)(31.0f * g) << 5 | (unsigned)(31.0f * b));
        const uint8_t index = (uint8_t)(255.0f * r);

        const float dx = sx[1] - sx[0], dy = sy[1] - sy[0];
        if (dx == 0.0f && dy == 0.0f)
            continue;
        // Step the major axis in whole pixels, the minor one in fixed point of 10
        // fraction bits. Inside the view volume both ends lie within half a pixel
        // of the framebuffer, so the loop is never longer than its width or height.
        const bool x_major = fabsf(dx) >= fabsf(dy);
        const int s = (x_major ? sx[0] <= sx[1] : sy[0] <= sy[1]) ? 0 : 1;
        const float major0 = x_major ? sx[s] : sy[s], major1 = x_major ? sx[1 - s] : sy[1 - s];
        const float minor0 = x_major ? sy[s] : sx[s], minor1 = x_major ? sy[1 - s] : sx[1 - s];
        const int size = x_major ? fb->w : fb->h;
        const int slope = (int)(1024.0f * (minor1 - minor0) / (major1 - major0));
        int minor = (int)(minor0 * 1024.0f);
        int m = major0 > 0.0f ? (int)major0 : 0;
        const float end = major1 < (float)(size - 1) ? major1 : (float)(size - 1);
        while (minor < 0 && (float)m < end) {
            ++m;
            minor += slope;
        }
        for (; (float)m < end; ++m, minor += slope) {
            const int px = x_major ? m : minor >> 10;
            const int py = x_major ? minor >> 10 : m;
            if (px < 0 || py < 0 || px >= fb->w || py >= fb->h)
                continue;
            uint8_t* row = static_cast<uint8_t*>(fb->b) + (size_t)py * (size_t)fb->row_bytes;
            if (fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
                memcpy(row + 2 * px, &argb, 2);
            else
                row[px] = index;
            if (cb && px < cb->w && py < cb->h) {
                const size_t bit = (size_t)py * (size_t)cb->w + (size_t)px;
                cb->u32[bit >> 5] |= 0x80000000u >> (bit & 31);
            }
        }
    }
}
