#include "n3d/n3d_pipeline.h"

#include <cstring>

#include "core/crash.h"
#include "core/linmath_extended.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "n3d/n3d.h"
#include "n3d/n3d_draw.h"
#include "n3d/n3d_vertices.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"
#include "target/n3d_texel_format.h"

float n3d_pipeline_bucketing_z_far = 100.0f;

// Triangles of a command; a negative vertex count counts as none, so it can
// never make room for more triangles than the sort arrays hold.
static int n3d_pipeline_cmd_triangles(const struct n3d_pipeline_cmd* cmd)
{
    const int count = cmd->vertices->count;
    return count > 0 ? count / 3 : 0;
}

void n3d_pipeline_begin(n3d_pipeline* p, n3d_frame_context* fc, n3d_space_context* sc)
{
    p->cmds_count = 0;
    p->primitives_count = 0;
    p->fc = fc;
    p->sc = sc;
}

void n3d_pipeline_cmd(n3d_pipeline* p, const struct n3d_pipeline_cmd* cmd)
{
    if (p->cmds_count > N3D_PIPELINE_DRAW_CMD_MAX_COUNT - 1)
        n3d_crash("src/n3d", __LINE__, "reached max cmds: %d (increase N3D_PIPELINE_DRAW_CMD_MAX_COUNT)\n",
                  N3D_PIPELINE_DRAW_CMD_MAX_COUNT);
    memcpy(&p->cmds[p->cmds_count], cmd, sizeof *cmd);
    p->cmds_count++;
    // Checked after the command is in: exactly 4096 triangles are allowed.
    p->primitives_count += n3d_pipeline_cmd_triangles(cmd);
    if (p->primitives_count > N3D_PIPELINE_MAX_PRIMITIVES)
        n3d_crash("src/n3d", __LINE__, "reached max primitives: %d (increase N3D_PIPELINE_MAX_PRIMITIVES)\n",
                  N3D_PIPELINE_MAX_PRIMITIVES);
}

void n3d_pipeline_validate_cmds(const n3d_pipeline* p)
{
    for (int i = 0; i < p->cmds_count; ++i) {
        const struct n3d_pipeline_cmd* cmd = &p->cmds[i];
        // A missing texture has no format, so it fits neither flag.
        const int format = cmd->texture ? cmd->texture->format : N3D_TEXEL_FORMAT_NONE;
        const int flags = cmd->rasterizer_flags;
        if ((flags & N3D_RASTERIZER_T0_I8ARGB1555) && format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555)
            n3d_crash("src/n3d", __LINE__,
                      "cmd[%d] has rasterizer flag N3D_RASTERIZER_T0_I8ARGB1555 but texture format is not "
                      "N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555!\n",
                      i);
        if ((flags & N3D_RASTERIZER_T0_ARGB1555) && format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
            n3d_crash("src/n3d", __LINE__,
                      "cmd[%d] has rasterizer flag N3D_RASTERIZER_T0_ARGB1555 but texture format is not "
                      "N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555!\n",
                      i);
    }
}

void n3d_pipeline_draw_batch(n3d_pipeline* p, n3d_draw_args* draw_args)
{
    (void)p;
    if (draw_args->draw_mode & N3D_DRAW_MODE_PHONG)
        n3d_draw_triangles_phong_argb1555(draw_args);
    else
        n3d_draw_triangles_argb1555(draw_args);
}

// Light and eye in the command's model space.
static void n3d_pipeline_model_positions(const n3d_pipeline* p, const struct n3d_pipeline_cmd* cmd,
                                         vec3 model_light_pos, vec3 model_view_pos)
{
    mat4x4_mul_vec3(model_light_pos, cmd->model_from_world, cmd->light_context->world_light_pos, 1.0f);
    mat4x4_mul_vec3(model_view_pos, cmd->model_from_world, p->sc->world_view_pos, 1.0f);
}

void n3d_pipeline_draw_directly(n3d_pipeline* p)
{
    n3d_draw_args args;
    memset(&args, 0, sizeof args);
    args.fc = p->fc;
    args.batch_arena = &n3d_batch_arena;
    for (int i = 0; i < p->cmds_count; ++i) {
        struct n3d_pipeline_cmd* cmd = &p->cmds[i];
        n3d_texture* textures[1] = {cmd->texture};
        uint8_t* phong_luts[1] = {cmd->phong_lut ? cmd->phong_lut->lut : nullptr};
        n3d_material material = {textures, phong_luts};
        mat4x4 mvp;
        args.rasterizer_flags = cmd->rasterizer_flags;
        args.draw_mode = cmd->draw_mode;
        args.all_vs = cmd->vertices;
        args.material = &material;
        args.mesh_primitives_count = n3d_pipeline_cmd_triangles(cmd);
        mat4x4_mul(mvp, p->sc->clip_from_world, cmd->world_from_model);
        args.mvp = &mvp;
        n3d_pipeline_model_positions(p, cmd, args.model_light_pos, args.model_view_pos);
        n3d_pipeline_draw_batch(p, &args);
    }
}

void n3d_pipeline_end(n3d_pipeline* p)
{
    n3d_pipeline_validate_cmds(p);
    n3d_pipeline_draw_directly(p);
}

// Bucket of a depth between near and far, defined for every input: below near
// (and NaN) 0, beyond far 1023.
static int n3d_pipeline_bucket(float depth, float near_plane, float far_plane)
{
    const float b = (depth - near_plane) / (far_plane - near_plane) * static_cast<float>(N3D_PIPELINE_SORT_BUCKETS - 1);
    if (!(b > 0.0f))
        return 0;
    if (b > static_cast<float>(N3D_PIPELINE_SORT_BUCKETS - 1))
        return N3D_PIPELINE_SORT_BUCKETS - 1;
    return static_cast<int>(b);
}

// Closes the open run [v_begin, v_end) of command cmd_i under key.
static void n3d_pipeline_store_run(n3d_pipeline* p, int* runs, int cmd_i, int v_begin, int v_end, int key)
{
    n3d_pipeline_sort_entry* e = &p->sort_entries[*runs];
    e->cmd_i = static_cast<uint8_t>(cmd_i);
    e->v_begin = static_cast<uint16_t>(v_begin);
    e->v_count = static_cast<uint8_t>(v_end - v_begin);
    p->sort_buckets[*runs] = static_cast<uint16_t>(key);
    ++*runs;
}

// Splits every command into runs of equal key and at most 252 vertices.
// Returns the number of runs (at most one per triangle, so within the arrays).
static int n3d_pipeline_make_runs(n3d_pipeline* p, int do_sort_near_to_far)
{
    const float near_plane = p->sc->near_plane;
    const float far_plane = n3d_pipeline_bucketing_z_far;
    int runs = 0;
    for (int c = 0; c < p->cmds_count; ++c) {
        const struct n3d_pipeline_cmd* cmd = &p->cmds[c];
        mat4x4 view_in_model;
        mat4x4_mul(view_in_model, cmd->model_from_world, p->sc->world_from_view);
        vec3 origin = {view_in_model[3][0], view_in_model[3][1], view_in_model[3][2]};
        vec3 forward = {view_in_model[2][0], view_in_model[2][1], view_in_model[2][2]};
        vec3_norm(forward, forward);
        const float* xyz = cmd->vertices->xyz;
        const int triangles = n3d_pipeline_cmd_triangles(cmd);
        int run_begin = 0, run_key = 0;
        for (int t = 0; t < triangles; ++t) {
            const int v_i = 3 * t;
            int key = do_sort_near_to_far ? N3D_PIPELINE_SORT_BUCKETS : -1;
            for (int k = 0; k < 3; ++k) {
                vec3 d;
                vec3_sub(d, &xyz[3 * (v_i + k)], origin);
                const int b = n3d_pipeline_bucket(-vec3_mul_inner(forward, d), near_plane, far_plane);
                key = do_sort_near_to_far ? (b < key ? b : key) : (b > key ? b : key);
            }
            if (t == 0) {
                run_key = key;
            } else if (key != run_key || v_i - run_begin > N3D_PIPELINE_SORT_RUN_MAX_VERTICES - 1) {
                n3d_pipeline_store_run(p, &runs, c, run_begin, v_i, run_key);
                run_begin = v_i;
                run_key = key;
            }
        }
        if (3 * triangles > run_begin)
            n3d_pipeline_store_run(p, &runs, c, run_begin, 3 * triangles, run_key);
    }
    return runs;
}

// Stable counting sort of the runs by key into sorted_entries.
static void n3d_pipeline_sort_runs(n3d_pipeline* p, int runs)
{
    memset(p->buckets_first, 0, sizeof p->buckets_first);
    for (int i = 0; i < runs; ++i)
        p->buckets_first[p->sort_buckets[i] + 1]++;
    for (int i = 1; i <= N3D_PIPELINE_SORT_BUCKETS; ++i)
        p->buckets_first[i] = static_cast<uint16_t>(p->buckets_first[i] + p->buckets_first[i - 1]);
    for (int i = 0; i < runs; ++i)
        p->sorted_entries[p->buckets_first[p->sort_buckets[i]]++] = p->sort_entries[i];
}

void n3d_pipeline_draw_sorted(n3d_pipeline* p, int do_sort_near_to_far)
{
    const int runs = n3d_pipeline_make_runs(p, do_sort_near_to_far);
    n3d_pipeline_sort_runs(p, runs);

    for (int c = 0; c < p->cmds_count; ++c) {
        const struct n3d_pipeline_cmd* cmd = &p->cmds[c];
        n3d_pipeline_cmd_cache* cache = &p->cmds_cache[c];
        mat4x4_mul(cache->mvp, p->sc->clip_from_world, cmd->world_from_model);
        n3d_pipeline_model_positions(p, cmd, cache->model_light_pos, cache->model_view_pos);
    }

    n3d_draw_args args;
    memset(&args, 0, sizeof args);
    args.fc = p->fc;
    args.batch_arena = &n3d_batch_arena;
    for (int n = 0; n < runs; ++n) {
        const n3d_pipeline_sort_entry* e = &p->sorted_entries[do_sort_near_to_far ? n : runs - 1 - n];
        struct n3d_pipeline_cmd* cmd = &p->cmds[e->cmd_i];
        n3d_pipeline_cmd_cache* cache = &p->cmds_cache[e->cmd_i];
        const n3d_vertices* all = cmd->vertices;
        const int v = e->v_begin;
        // A view of the run: the arrays the two draw paths read, from its first vertex.
        n3d_vertices view;
        memset(&view, 0, sizeof view);
        view.count = e->v_count;
        view.xyz = all->xyz ? all->xyz + 3 * v : nullptr;
        view.uv = all->uv ? all->uv + 2 * v : nullptr;
        view.n_xyz = all->n_xyz ? all->n_xyz + 3 * v : nullptr;
        view.t_xyz = all->t_xyz ? all->t_xyz + 3 * v : nullptr;
        view.b_xyz = all->b_xyz ? all->b_xyz + 3 * v : nullptr;
        n3d_texture* textures[1] = {cmd->texture};
        uint8_t* phong_luts[1] = {cmd->phong_lut ? cmd->phong_lut->lut : nullptr};
        n3d_material material = {textures, phong_luts};
        args.rasterizer_flags = cmd->rasterizer_flags;
        args.draw_mode = cmd->draw_mode;
        args.all_vs = &view;
        args.material = &material;
        args.mesh_primitives_count = e->v_count / 3;
        args.mvp = &cache->mvp;
        vec3_copy(args.model_light_pos, cache->model_light_pos);
        vec3_copy(args.model_view_pos, cache->model_view_pos);
        n3d_pipeline_draw_batch(p, &args);
    }
}
