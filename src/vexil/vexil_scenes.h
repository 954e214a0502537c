// The control scene kinds: loading the scenes up to a label at once or one per
// call, starting and synchronising the music, and the closing music fade. Bound
// through the bindings table, called by the sequence walk on the main thread;
// arrays go to the parse context's arena. An unknown label stops through the crash
// path naming it.
#pragma once

#include "vexil/vexil.h"

struct vexil_scene_parse_context;

void scene_load_sync(vexil_scene* scene, vexil_args* args);
void scene_load_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_load_async(vexil_scene* scene, vexil_args* args);
void scene_load_async_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_music_start(vexil_scene* scene, vexil_args* args);
void scene_music_start_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_music_sync(vexil_scene* scene, vexil_args* args);
void scene_music_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_fade_out_music(vexil_scene* scene, vexil_args* args);
void scene_fade_out_music_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// Takes the scene signature and does nothing; no binding names it.
void scene_barrier_completion(vexil_scene* scene, vexil_args* args);
void scene_barrier_completion_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
