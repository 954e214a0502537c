// Datapacks in motion: samples an animation's channels into its nodes'
// translation, rotation and scale, builds local matrices (T * R * S), world
// matrices parent before child with an explicit stack, and a skin's joint
// matrices. Called per frame by the datapack scene and the renderer test bench.
// Matrix arrays are the caller's; the world pass takes its stack from a scratch
// arena the caller rewinds. Main thread. Trusts a hierarchy that the loader
// has checked; an animation index out of range stops through the crash path.
#pragma once

#include "core/linmath.h"

struct memarena;
struct mad_datapack;
struct mad_sampler;
struct mad_skin;

// Spherical interpolation from a (t = 0) to b (t = 1), both unit quaternions.
// A negative dot product is not flipped, so the path may take the longer arc.
// For b = -a (no plane to turn in) the result is a: the same rotation.
void quat_slerp(quat result, const quat a, const quat b, float t);

// The sampler's value at time into out (4 floats for rotation, else 3). The
// search runs forward from the keyframe after *inout_keyframe_last_known and
// stores the earlier keyframe of the bracketing pair back there. Step yields
// that earlier keyframe, linear blends (slerp for rotation); time is not
// wrapped. A sampler without keyframes, or with fewer values than its
// keyframes need, leaves out unchanged.
void mad_sampler_interpolation_values(float* out, const mad_sampler* sampler, int attribute,
                                      int* inout_keyframe_last_known, float time);

// Samples every channel of animation animation_index at t into its node;
// later calls overwrite the attributes they share.
void mad_animate(mad_datapack* pack, int animation_index, float t);

// r = T * R * S.
void mad_mat4x4_from_srt(mat4x4 r, const vec3 scale, const quat rotate, const vec3 translate);

// One world matrix per node (out holds nodes_count). Pushes nodes_count ints
// from tmp_arena and leaves them there.
void mad_world_matrices(mat4x4* out_world_from_model, const mad_datapack* pack, memarena* tmp_arena);

// One matrix per joint of skin: world of the joint's node times its inverse
// bind matrix. pack is not read.
void mad_joint_matrices(mat4x4* out_joint_matrices, const mat4x4* nodes_world_from_model, const mad_datapack* pack,
                        const mad_skin* skin);

// The animation's channels and keyframes on standard output.
void mad_animate_print(const mad_datapack* pack, int animation_index);
