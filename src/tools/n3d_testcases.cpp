#include "tools/n3d_testcases.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/n3d_io.h"
#include "core/crash.h"
#include "core/linmath_extended.h"
#include "core/posix_file_utils.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/mad.h"
#include "n3d/mad_animate.h"
#include "n3d/n3d_asset.h"
#include "target/n3d_framebuffer.h"

#define TESTCASES_CRASH(...) n3d_crash("src/n3d_testcases", __LINE__, __VA_ARGS__)

n3d_testcases* g_n3d_tcs;

#define TC_MESH_CUBE 0
#define TC_MESH_VIKING_ROOM 1
#define TC_MESH_SUZANNE 2
#define TC_MESH_FACE 3
#define TC_MESH_TORUSWARP 4
#define TC_MESH_ROOM 5
#define TC_MESH_TRIANGLE 6

#define TC_DRAW_577 (N3D_DRAW_MODE_DEFAULT | N3D_DRAW_MODE_TRIANGLES | N3D_DRAW_MODE_COVERAGE_WRITE)
#define TC_DRAW_580 (N3D_DRAW_MODE_PHONG | N3D_DRAW_MODE_TRIANGLES | N3D_DRAW_MODE_COVERAGE_WRITE)
#define TC_DRAW_708 (TC_DRAW_580 | N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555)

#define TC_FOV_Y ((float)(LINMATH_PI / 4))

// ---- assets --------------------------------------------------------------------

static const struct {
    int entry;
    const char* name;
} tc_mesh_files[] = {
    {TC_MESH_CUBE, "cube.mesh"},       {TC_MESH_TORUSWARP, "toruswarp.mesh"}, {TC_MESH_VIKING_ROOM, "viking_room.mesh"},
    {TC_MESH_SUZANNE, "suzanne.mesh"}, {TC_MESH_FACE, "face.mesh"},           {TC_MESH_ROOM, "room.mesh"}};
static const char* const tc_madpack_files[N3D_TESTCASES_MADPACKS] = {"simple_skin.mad", "vellop.mad", "performa.mad"};
static const char* const tc_textures_16bpp[N3D_TESTCASES_TEXTURES - 1] = {"checkerboard2_16bpp.tmap",
                                                                          "viking_room_128_16bpp.tmap", "t2_16bpp.tmap",
                                                                          "light_16bpp.tmap", "tiles_256_16bpp.tmap"};
static const char* const tc_textures_8bpp[N3D_TESTCASES_TEXTURES - 1] = {
    "checkerboard2_8bpp.tmap", "viking_room_128_8bpp.tmap", "t2_8bpp.tmap", "light_8bpp.tmap", "tiles_256_8bpp.tmap"};

mad_datapack* n3d_testcases_load_madpack(memarena* arena, const char* path)
{
    uint8_t* b = nullptr;
    uint64_t size = 0;
    int endian = 0;
    if (n3d_io_load_file(path, arena, &b, &size, &endian) != 0)
        TESTCASES_CRASH("failed load mad_datapack \"%s\"\n", path);
    mad_datapack* pack = memarena_push_array_zeroed<mad_datapack>(arena, 1);
    // A refused record keeps whatever counts and links it had read: never walked.
    if (!mad_datapack_load(pack, arena, b, size, endian))
        TESTCASES_CRASH("failed load mad_datapack \"%s\"\n", path);
    return pack;
}

void n3d_testcase_setup_triangle(n3d_asset_mesh* out, memarena* arena)
{
    memset(out, 0, sizeof *out);
    n3d_vertices* v = &out->vertices;
    v->count = 3;
    v->xyz = memarena_push_array<float>(arena, 9);
    v->uv = memarena_push_array<float>(arena, 6);
    v->n_xyz = memarena_push_array<float>(arena, 9);
    v->t_xyz = memarena_push_array<float>(arena, 9);
    v->b_xyz = memarena_push_array<float>(arena, 9);
    v->tb_norm = memarena_push_array<float>(arena, 6);
    const float xyz[9] = {-1, -1, 0, 1, -1, 0, 0, 1, 0};
    const float uv[6] = {0, 0, 1, 0, 0.5f, 1};
    memcpy(v->xyz, xyz, sizeof xyz);
    memcpy(v->uv, uv, sizeof uv);
    for (int i = 0; i < 3; i++) {
        vec3_set(v->n_xyz + 3 * i, 0, 0, 1);
        vec3_set(v->t_xyz + 3 * i, 1, 0, 0);
        vec3_set(v->b_xyz + 3 * i, 0, 1, 0);
        v->tb_norm[2 * i] = 1.0f;
        v->tb_norm[2 * i + 1] = 1.0f;
    }
}

int n3d_testcases_init_assets(n3d_testcases_assets* assets, memarena* arena, const char* asset_dir)
{
    // 1. Meshes and the generated triangle.
    assets->meshes_count = N3D_TESTCASES_MESHES;
    assets->meshes = memarena_push_array_zeroed<n3d_asset_mesh*>(arena, N3D_TESTCASES_MESHES);
    for (const auto& m : tc_mesh_files)
        assets->meshes[m.entry] = n3d_io_asset_mesh_load_file(arena, file_path_join(arena, asset_dir, m.name));
    assets->meshes[TC_MESH_TRIANGLE] = memarena_push_array_zeroed<n3d_asset_mesh>(arena, 1);
    n3d_testcase_setup_triangle(assets->meshes[TC_MESH_TRIANGLE], arena);

    // 2, 3. Datapacks, then what must be there.
    assets->madpacks = memarena_push_array_zeroed<mad_datapack*>(arena, N3D_TESTCASES_MADPACKS);
    for (int i = 0; i < N3D_TESTCASES_MADPACKS; i++)
        assets->madpacks[i] = n3d_testcases_load_madpack(arena, file_path_join(arena, asset_dir, tc_madpack_files[i]));
    for (int i = 0; i < N3D_TESTCASES_MADPACKS; i++)
        if (!assets->madpacks[i])
            TESTCASES_CRASH("failed load mad_datapack[%d]", i);
    for (int i = 0; i < N3D_TESTCASES_MESHES; i++)
        if (!assets->meshes[i])
            TESTCASES_CRASH("failed load testcases assets, mesh[%d]\n", i);

    // 4. Textures and the phong table.
    n3d_textures_context* tc = &assets->tc;
    memset(tc, 0, sizeof *tc);
    n3d_texture** t16 = memarena_push_array_zeroed<n3d_texture*>(arena, N3D_TESTCASES_TEXTURES);
    tc->textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555] = t16;
    for (int i = 0; i < N3D_TESTCASES_TEXTURES - 1; i++)
        t16[i] = n3d_io_asset_texture_load_file(arena, file_path_join(arena, asset_dir, tc_textures_16bpp[i]));
    n3d_texture** t8 = memarena_push_array_zeroed<n3d_texture*>(arena, N3D_TESTCASES_TEXTURES);
    tc->textures_per_format[N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555] = t8;
    for (int i = 0; i < N3D_TESTCASES_TEXTURES - 1; i++)
        t8[i] = n3d_io_asset_texture_load_file(arena, file_path_join(arena, asset_dir, tc_textures_8bpp[i]));
    t16[N3D_TESTCASES_TEXTURES - 1] = t16[0];
    t8[N3D_TESTCASES_TEXTURES - 1] = t8[0];
    tc->phong_luts = memarena_push_array_zeroed<uint8_t*>(arena, 1);
    tc->phong_luts[0] = n3d_build_phong_lut(arena, 0.5f, 1);

    // 5.
    for (int i = 0; i < N3D_TESTCASES_TEXTURES; i++) {
        if (!t16[i])
            TESTCASES_CRASH("failed load textures_argb1555[%d]\n", i);
        if (!t8[i])
            TESTCASES_CRASH("failed load textures_8bpp[%d]\n", i);
        if (t16[i]->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
            TESTCASES_CRASH("invalid format for textures_argb1555[%d]: %d\n", i, t16[i]->format);
        if (t8[i]->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555)
            TESTCASES_CRASH("invalid format for textures_8bpp[%d]: %d\n", i, t8[i]->format);
    }
    return 0;
}

int n3d_testcases_init(n3d_testcases* tcs, const char* assets_dir, int format, int w, int h)
{
    (void)format;
    (void)w;
    (void)h;
    memset(tcs, 0, sizeof *tcs);
    void* block = malloc(N3D_TESTCASES_ARENA_BYTES);
    if (!block)
        TESTCASES_CRASH("out of memory for n3d_testcases_arena\n");
    memarena_init(&tcs->arena, "n3d_testcases_arena", N3D_TESTCASES_ARENA_BYTES, block);
    if (n3d_testcases_init_assets(&tcs->assets, &tcs->arena, assets_dir) != 0)
        return 1;
    for (int i = 0; i < N3D_TESTCASES_COUNT; i++)
        tcs->testcases[i].tick_delta = 1;
    tcs->testcase_counter = N3D_TESTCASES_FIRST_SCENE;
    return 0;
}

// ---- keys ----------------------------------------------------------------------

int n3d_testcases_key_pressed(uint8_t key) { return g_n3d_tcs->keys[key] && !g_n3d_tcs->prev_keys[key]; }

int n3d_testcases_key_down(uint8_t key) { return g_n3d_tcs->keys[key] != 0; }

// The clock counts with wrapping arithmetic, never a signed overflow.
static int tc_add(int a, int b) { return (int)((unsigned)a + (unsigned)b); }

void n3d_testcase_control_pre(n3d_testcase* tc, const uint8_t* keys)
{
    (void)keys;
    if (n3d_testcases_key_pressed('e'))
        tc->tick_delta = tc_add(tc->tick_delta, 1);
    if (n3d_testcases_key_pressed('q'))
        tc->tick_delta = tc_add(tc->tick_delta, -1);
    if (n3d_testcases_key_down('w')) {
        tc->tick = tc_add(tc->tick, 1);
        tc->tick_freeze = 1;
    }
    if (n3d_testcases_key_down('s')) {
        tc->tick = tc_add(tc->tick, -1);
        tc->tick_freeze = 1;
    }
    if (n3d_testcases_key_pressed('a')) {
        tc->tick_case = tc_add(tc->tick_case, 1);
        tc->enable_tick_case = 1;
    }
    if (n3d_testcases_key_pressed('d')) {
        tc->tick_case = tc_add(tc->tick_case, -1);
        tc->enable_tick_case = 1;
    }
    if (n3d_testcases_key_pressed(' ')) {
        tc->tick_freeze = !tc->tick_freeze;
        tc->enable_tick_case = 0;
    }
    if (n3d_testcases_key_pressed('t'))
        tc->enable_only_triangle = !tc->enable_only_triangle;
    if (n3d_testcases_key_pressed('g'))
        tc->only_triangle_id = tc_add(tc->only_triangle_id, 1);
}

void n3d_testcase_control_post(n3d_testcase* tc, const uint8_t* keys)
{
    (void)keys;
    if (!tc->tick_freeze)
        tc->tick = tc_add(tc->tick, tc->tick_delta);
}

// ---- camera and render context -------------------------------------------------------

// A look-at whose up vector is parallel to the view direction has no
// orientation: another axis stands in for it.
static void tc_look_at(mat4x4 view_from_world, const vec3 eye, const vec3 center, const vec3 up)
{
    vec3 dir, cross, up2;
    vec3_sub(dir, center, eye);
    vec3_mul_cross(cross, dir, up);
    vec3_copy(up2, up);
    if (vec3_len(cross) <= 1e-6f * vec3_len(dir) * vec3_len(up)) {
        if (fabsf(dir[1]) < fabsf(dir[0]) || fabsf(dir[1]) < fabsf(dir[2]))
            vec3_set(up2, 0, 1, 0);
        else
            vec3_set(up2, 0, 0, 1);
    }
    mat4x4_look_at(view_from_world, eye, center, up2);
}

void n3d_testcase_setup_render_context(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc,
                                       const mat4x4 view_from_world, float fov_y, float near_plane)
{
    n3d_render_context* rc = &tcs->rc;
    rc->fc = fc;
    rc->tc = tcs->assets.tc;
    rc->lc = tc->lc;
    mat4x4 world_from_view;
    mat4x4_invert(world_from_view, view_from_world);
    // The projection refuses near planes below its minimum (depth would overflow).
    if (!(near_plane >= N3D_ZBUFFER_MIN_NEAR_PLANE))
        near_plane = N3D_ZBUFFER_MIN_NEAR_PLANE;
    n3d_space_context_set(&tc->sc, fc, view_from_world, world_from_view, fov_y, near_plane);
    rc->sc = tc->sc;
}

static void tc_require_argb1555(const n3d_frame_context* fc)
{
    if (fc->fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        TESTCASES_CRASH("not implemented\n");
}

// ---- the mesh scenes -------------------------------------------------------------------

struct tc_pose {
    mat4x4 world_from_model;
    vec3 eye, center, up;
    int moves_light;
    vec3 light;
};

// One frame of a mesh scene: camera, render context, the light for the next
// frame, the mesh drawn once.
static void tc_mesh_frame(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc, const tc_pose* pose,
                          int mesh_entry, int texture_id, int draw_mode, float near_plane)
{
    n3d_mesh mesh;
    memset(&mesh, 0, sizeof mesh);
    mesh.vertices = tcs->assets.meshes[mesh_entry]->vertices;
    mat4x4_dup(mesh.world_from_model, pose->world_from_model);
    mat4x4_invert(mesh.model_from_world, pose->world_from_model);
    mat4x4 view_from_world;
    tc_look_at(view_from_world, pose->eye, pose->center, pose->up);
    n3d_testcase_setup_render_context(tcs, tc, fc, view_from_world, TC_FOV_Y, near_plane);
    if (pose->moves_light)
        vec3_copy(tc->lc.world_light_pos, pose->light);
    n3d_framecontext_begin(fc, 0);
    tc_require_argb1555(fc);
    mesh.texture_id = texture_id;
    mesh.phong_lut_id = 0;
    n3d_render_meshes(&tcs->rc, &mesh, 1, draw_mode);
    n3d_framecontext_end(fc);
}

static float tc_clock(const n3d_testcase* tc, float factor) { return factor * (float)tc->tick / 60.0f; }

// Slots 0 and 1.
static void tc_pose_spin(tc_pose* p, float t)
{
    mat4x4 id, ry;
    mat4x4_identity(id);
    mat4x4_rotate(ry, id, 0, 1, 0, 0.8f * t + sinf(2 * LINMATH_PI_F * t / 30));
    mat4x4_rotate(p->world_from_model, ry, 0, 0, 1, 0.3f * t + sinf(2 * LINMATH_PI_F * t / 30));
    vec3_set(p->eye, 2, sinf(2 * LINMATH_PI_F * t / 10) + 3, 7 * sinf(2 * LINMATH_PI_F * t / 30));
    vec3_set(p->center, 0, 0, 0);
    vec3_set(p->up, 0, 0, 1);
    p->moves_light = 0;
}

// Slots 4, 6 and 7; slot 8's light.
static void tc_orbit_light(vec3 light, float t)
{
    vec3_set(light, 5 * sinf(LINMATH_PI_F * t), 5 * cosf(LINMATH_PI_F * t),
             2 * cosf(0.6f * LINMATH_PI_F * t) * sinf(2 * LINMATH_PI_F * t));
}

static void tc_pose_orbit(tc_pose* p, float t)
{
    mat4x4 id, ry;
    mat4x4_identity(id);
    mat4x4_rotate(ry, id, 0, 1, 0, 0.8f * t + sinf(t + 2 * LINMATH_PI_F * t / 30));
    mat4x4_rotate(p->world_from_model, ry, 0, 0, 1, 0.3f * t + sinf(2 * LINMATH_PI_F * t / 3));
    mat4x4_translate_in_place(p->world_from_model, 2 * cosf(0.5f * LINMATH_PI_F * t), 2 * sinf(0.5f * LINMATH_PI_F * t),
                              0);
    vec3_set(p->eye, 2, sinf(2 * LINMATH_PI_F * t / 10) + 3, -12 - 5 * sinf(t));
    vec3_set(p->center, 0, 0, 0);
    vec3_set(p->up, 0, 0, 1);
    p->moves_light = 1;
    tc_orbit_light(p->light, t);
}

void n3d_testcase_cube(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc_pose p;
    tc_pose_spin(&p, tc_clock(tc, 0.5f));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_CUBE, 2, TC_DRAW_577, 1.0f);
}

void n3d_testcase_small_triangles(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    const float t = tc_clock(tc, 0.5f);
    tc_pose p;
    tc_pose_spin(&p, t);
    p.moves_light = 1;
    vec3_set(p.light, 5 * sinf(0.4f * LINMATH_PI_F * t), 5 * cosf(0.4f * LINMATH_PI_F * t),
             2 * cosf(0.4f * LINMATH_PI_F * t) * sinf(0.4f * LINMATH_PI_F * t));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_VIKING_ROOM, 1, TC_DRAW_580, 0.1f);
}

void n3d_testcase_phong_move(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc_pose p;
    tc_pose_orbit(&p, tc_clock(tc, 0.25f));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_CUBE, 0, TC_DRAW_708, 0.1f);
}

void n3d_testcase_face(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    const float t = tc_clock(tc, 0.5f);
    tc_pose p;
    mat4x4 id;
    mat4x4_identity(id);
    mat4x4_rotate(p.world_from_model, id, 0, 1, 0, 0.8f * t + sinf(2 * LINMATH_PI_F * t / 30));
    vec3_set(p.eye, 2, sinf(2 * LINMATH_PI_F * t / 10) + 3, 14 * sinf(2 * LINMATH_PI_F * t / 30));
    vec3_set(p.center, 0, 0, 0);
    vec3_set(p.up, 0, 0, 1);
    p.moves_light = 1;
    vec3_set(p.light, 5 * sinf(2 * LINMATH_PI_F * t), 5 * cosf(2 * LINMATH_PI_F * t),
             2 * cosf(2 * LINMATH_PI_F * t) * sinf(2 * LINMATH_PI_F * t));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_FACE, 2, TC_DRAW_580, 0.1f);
}

void n3d_testcase_perspective_correct(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc->tick = 3964;
    tc_pose p;
    tc_pose_orbit(&p, tc_clock(tc, 0.25f));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_CUBE, 0, TC_DRAW_577, 0.1f);
}

void n3d_testcase_256x256(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc_pose p;
    tc_pose_orbit(&p, tc_clock(tc, 0.25f));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_CUBE, 4, TC_DRAW_577, 1.0f);
}

void n3d_testcase_room(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc_pose p;
    mat4x4_identity(p.world_from_model);
    vec3_set(p.eye, 0, 0, -0.1f);
    vec3_set(p.center, 0, 0, 0.1f);
    vec3_set(p.up, 0, 0, 1);  // parallel to the view: tc_look_at picks another
    p.moves_light = 1;
    tc_orbit_light(p.light, tc_clock(tc, 0.25f));
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_ROOM, 4, TC_DRAW_577, 0.1f);
}

void n3d_testcase_clip(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    const float t = tc_clock(tc, 0.5f);
    tc_pose p;
    mat4x4 id;
    mat4x4_identity(id);
    mat4x4_rotate(p.world_from_model, id, -1, 0, 0, LINMATH_PI_F / 2);
    mat4x4_translate_in_place(p.world_from_model, 0, -0.1f - 0.5f * sinf(t), 0);
    vec3_set(p.eye, 0, 1, 2);
    vec3_set(p.center, 0, 0, 0);
    vec3_set(p.up, 0, 1, 0);
    p.moves_light = 0;
    tc_mesh_frame(tcs, tc, fc, &p, TC_MESH_TRIANGLE, 2, TC_DRAW_577, 1.0f);
}

// ---- the datapack scenes -------------------------------------------------------------

// draws: 0 animates and places the nodes but draws nothing.
static void tc_madpack_frame(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc, mad_datapack* pack, float t,
                             int draws)
{
    mat4x4 view_from_world;
    const vec3 eye = {0, 1, 10}, center = {0, 0, 0}, up = {0, 1, 0};
    tc_look_at(view_from_world, eye, center, up);
    n3d_testcase_setup_render_context(tcs, tc, fc, view_from_world, TC_FOV_Y, 1.0f);
    n3d_framecontext_begin(fc, 0);
    memarena* arena = &tcs->arena;
    const uint64_t frame_marker = memarena_get_marker(arena);

    mat4x4* world = memarena_push_array<mat4x4>(arena, pack->nodes_count > 0 ? (size_t)pack->nodes_count : 0);
    // A pack without animations keeps its rest pose.
    if (pack->animations_count > 0)
        mad_animate(pack, 0, t);
    mad_world_matrices(world, pack, arena);

    for (int i = 0; draws && i < pack->nodes_count; i++) {
        const mad_node* node = &pack->nodes[i];
        if (!node->mesh)
            continue;
        const uint64_t node_marker = memarena_get_marker(arena);
        n3d_mesh mesh;
        memset(&mesh, 0, sizeof mesh);
        mat4x4_identity(mesh.world_from_model);
        mat4x4_identity(mesh.model_from_world);
        if (node->skin) {
            const int joints = node->skin->joints_count;
            mesh.joint_matrices = memarena_push_array<mat4x4>(arena, joints > 0 ? (size_t)joints : 0);
            mesh.view_proj_joint_matrices = memarena_push_array<mat4x4>(arena, joints > 0 ? (size_t)joints : 0);
            mad_joint_matrices(mesh.joint_matrices, world, pack, node->skin);
            n3d_prepare_skinning(&mesh, joints, &tcs->rc.sc);
        }
        for (int k = 0; k < node->mesh->primitives_count; k++) {
            const uint64_t primitive_marker = memarena_get_marker(arena);
            mesh.vertices = node->mesh->primitives[k].vertices;
            tc_require_argb1555(fc);
            mesh.texture_id = 2;
            n3d_render_meshes(&tcs->rc, &mesh, 1, TC_DRAW_577);
            memarena_goto_marker(arena, primitive_marker);
        }
        memarena_goto_marker(arena, node_marker);
    }
    memarena_goto_marker(arena, frame_marker);
    n3d_framecontext_end(fc);
}

void n3d_testcase_mad_simple_skin(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc_madpack_frame(tcs, tc, fc, tcs->assets.madpacks[0], tc_clock(tc, 1.0f), 1);
}

void n3d_testcase_mad_complex_skin(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    tc_madpack_frame(tcs, tc, fc, tcs->assets.madpacks[1], tc_clock(tc, 1.0f), 1);
}

void n3d_testcase_mad_textured(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc)
{
    const float t = tc_clock(tc, 1.0f);
    tc_madpack_frame(tcs, tc, fc, tcs->assets.madpacks[2], t, 0);
    vec3_set(tc->lc.world_light_pos, 5 * sinf(0.2f * LINMATH_PI_F * t), 5 * cosf(0.2f * LINMATH_PI_F * t),
             2 * cosf(0.12f * LINMATH_PI_F * t) * sinf(0.4f * LINMATH_PI_F * t));
}

// ---- frame ---------------------------------------------------------------------------

typedef void (*tc_scene_fn)(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);

// Slots 2 and 3 draw nothing.
static const tc_scene_fn tc_scenes[N3D_TESTCASES_COUNT] = {n3d_testcase_cube,
                                                           n3d_testcase_small_triangles,
                                                           nullptr,
                                                           nullptr,
                                                           n3d_testcase_phong_move,
                                                           n3d_testcase_face,
                                                           n3d_testcase_perspective_correct,
                                                           n3d_testcase_256x256,
                                                           n3d_testcase_room,
                                                           n3d_testcase_clip,
                                                           n3d_testcase_mad_simple_skin,
                                                           n3d_testcase_mad_complex_skin,
                                                           n3d_testcase_mad_textured};

void n3d_testcases_update(n3d_testcases* tcs, n3d_frame_context* fc, const uint8_t* keys)
{
    g_n3d_tcs = tcs;
    if (keys)
        memcpy(tcs->keys, keys, sizeof tcs->keys);
    else
        memset(tcs->keys, 0, sizeof tcs->keys);
    if (n3d_testcases_key_pressed('n'))
        tcs->testcase_counter++;
    if (n3d_testcases_key_pressed('p'))
        tcs->testcase_counter--;
    const uint32_t slot = tcs->testcase_counter % N3D_TESTCASES_COUNT;
    n3d_testcase* tc = &tcs->testcases[slot];
    n3d_testcase_control_pre(tc, tcs->keys);
    if (tc_scenes[slot])
        tc_scenes[slot](tcs, tc, fc);
    n3d_testcase_control_post(tc, tcs->keys);
    memcpy(tcs->prev_keys, tcs->keys, sizeof tcs->prev_keys);
}
