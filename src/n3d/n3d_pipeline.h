// Draw-command pipeline: one round's draw commands (a triangle list with its
// texture, phong table, light and transforms each) are collected between begin
// and end and drawn at the end through the plain or the phong draw path, in
// submission order, or split into runs sorted over 1024 depth buckets. Used by
// the datapack scene. The record is the caller's and holds fixed arrays; draws
// use the renderer's batch arena. Main thread. Too many commands or triangles,
// and a texture that its rasterizer flags do not fit, stop through the crash path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/linmath.h"

struct n3d_frame_context;
struct n3d_space_context;
struct n3d_light_context;
struct n3d_draw_args;
struct n3d_texture;
struct n3d_phong_lut;
struct n3d_vertices;

#define N3D_PIPELINE_DRAW_CMD_MAX_COUNT 100
#define N3D_PIPELINE_MAX_PRIMITIVES 4096
#define N3D_PIPELINE_SORT_BUCKETS 1024
// A sort run covers at most 84 triangles, so its vertex count fits a byte.
#define N3D_PIPELINE_SORT_RUN_MAX_VERTICES 252

struct n3d_pipeline_cmd {
    int rasterizer_flags;              // a registered rasterizer's flags, or 0: chosen by draw mode
    int draw_mode;                     // N3D_DRAW_MODE_*; N3D_DRAW_MODE_PHONG selects the phong path
    n3d_texture* texture;              // texture 0
    n3d_phong_lut* phong_lut;          // or null
    n3d_light_context* light_context;  // required
    mat4x4 model_from_world;
    mat4x4 world_from_model;
    n3d_vertices* vertices;  // unindexed triangles; valid until the end call
};

// Filled per command by the sorted drawing.
struct n3d_pipeline_cmd_cache {
    mat4x4 mvp;
    vec3 model_light_pos;
    vec3 model_view_pos;
};

// A run of consecutive triangles of one command.
struct n3d_pipeline_sort_entry {
    uint8_t cmd_i;     // command index
    uint8_t v_count;   // vertices, a multiple of 3, at most 252
    uint16_t v_begin;  // first vertex in the command's list
};
static_assert(sizeof(n3d_pipeline_sort_entry) == 4, "sort runs are 4 bytes");

struct n3d_pipeline {
    n3d_frame_context* fc;  // bound by begin
    n3d_space_context* sc;  // bound by begin
    int cmds_count;
    n3d_pipeline_cmd cmds[N3D_PIPELINE_DRAW_CMD_MAX_COUNT];
    n3d_pipeline_cmd_cache cmds_cache[N3D_PIPELINE_DRAW_CMD_MAX_COUNT];
    uint16_t buckets_first[N3D_PIPELINE_SORT_BUCKETS + 1];                // counting sort: first position per bucket
    uint16_t sort_buckets[N3D_PIPELINE_MAX_PRIMITIVES];                   // the bucket of each run
    n3d_pipeline_sort_entry sort_entries[N3D_PIPELINE_MAX_PRIMITIVES];    // runs in creation order
    n3d_pipeline_sort_entry sorted_entries[N3D_PIPELINE_MAX_PRIMITIVES];  // runs in bucket order
    int primitives_count;                                                 // triangles since begin
};
static_assert(N3D_PIPELINE_DRAW_CMD_MAX_COUNT <= 256, "command indices fit the runs' byte");
static_assert(N3D_PIPELINE_MAX_PRIMITIVES * 3 <= 65536, "first vertices fit the runs' 16 bits");
static_assert(N3D_PIPELINE_SORT_RUN_MAX_VERTICES <= 255, "run vertex counts fit a byte");
static_assert(offsetof(n3d_pipeline, sc) > offsetof(n3d_pipeline, fc) &&
                  offsetof(n3d_pipeline, cmds_count) > offsetof(n3d_pipeline, sc) &&
                  offsetof(n3d_pipeline, cmds) > offsetof(n3d_pipeline, cmds_count) &&
                  offsetof(n3d_pipeline, cmds_cache) > offsetof(n3d_pipeline, cmds) &&
                  offsetof(n3d_pipeline, buckets_first) > offsetof(n3d_pipeline, cmds_cache) &&
                  offsetof(n3d_pipeline, sort_buckets) > offsetof(n3d_pipeline, buckets_first) &&
                  offsetof(n3d_pipeline, sort_entries) > offsetof(n3d_pipeline, sort_buckets) &&
                  offsetof(n3d_pipeline, sorted_entries) > offsetof(n3d_pipeline, sort_entries) &&
                  offsetof(n3d_pipeline, primitives_count) > offsetof(n3d_pipeline, sorted_entries),
              "n3d_pipeline fields in their fixed order");

// The far end of the depth range the sorted drawing maps onto its buckets.
extern float n3d_pipeline_bucketing_z_far;

// Empties the list (nothing is freed) and binds the target and the camera.
void n3d_pipeline_begin(n3d_pipeline* p, n3d_frame_context* fc, n3d_space_context* sc);
// Appends a copy of *cmd. The 101st command, or a triangle beyond the 4096th
// since begin, stops with its "reached max" message.
// The function shares the record's name: write `struct n3d_pipeline_cmd` for the record.
void n3d_pipeline_cmd(n3d_pipeline* p, const struct n3d_pipeline_cmd* cmd);
// Validates, then draws in submission order. The list is kept.
void n3d_pipeline_end(n3d_pipeline* p);
// A command whose rasterizer flags ask for an index8 (N3D_RASTERIZER_T0_I8ARGB1555)
// or an ARGB1555 texture (N3D_RASTERIZER_T0_ARGB1555) of another format stops,
// naming the command; flags 0 are not checked here.
void n3d_pipeline_validate_cmds(const n3d_pipeline* p);
void n3d_pipeline_draw_directly(n3d_pipeline* p);
// The phong draw path when draw_args' draw mode has N3D_DRAW_MODE_PHONG, else the plain one.
void n3d_pipeline_draw_batch(n3d_pipeline* p, n3d_draw_args* draw_args);
// Runs of at most 84 triangles, keyed by the nearest (do_sort_near_to_far) or
// farthest vertex's bucket between the near plane and the far distance,
// counting-sorted (stable) and drawn near to far, or far to near.
void n3d_pipeline_draw_sorted(n3d_pipeline* p, int do_sort_near_to_far);
