#include "n3d/mad_animate.h"

#include <cmath>
#include <cstdio>

#include "core/crash.h"
#include "core/linmath_extended.h"
#include "core/memarena.h"
#include "n3d/mad.h"

// Below this dot product the two rotations are too close for the angle to be
// reliable, and the normalised straight blend is used.
static const float MAD_SLERP_LINEAR_ABOVE = 0.9995f;
// The component of b orthogonal to a, shorter than this, names no plane.
static const float MAD_SLERP_MIN_ORTHOGONAL = 1e-6f;

void quat_slerp(quat result, const quat a, const quat b, float t)
{
    float d = vec4_mul_inner(a, b);
    if (d > MAD_SLERP_LINEAR_ABOVE) {
        vec4 r;
        for (int i = 0; i < 4; ++i)
            r[i] = a[i] + (b[i] - a[i]) * t;
        vec4_norm(result, r);
        return;
    }
    d = d < -1.0f ? -1.0f : (d > 1.0f ? 1.0f : d);
    vec4 c;
    for (int i = 0; i < 4; ++i)
        c[i] = b[i] - a[i] * d;
    const float len = vec4_len(c);
    // b = -a (or within rounding of it): every plane is as good as any, and
    // normalising the zero vector would poison every matrix below the node.
    if (!(len > MAD_SLERP_MIN_ORTHOGONAL)) {
        vec4_copy(result, a);
        return;
    }
    vec4_scale(c, c, 1.0f / len);
    const double theta = std::acos(static_cast<double>(d)) * static_cast<double>(t);
    const double ct = std::cos(theta), st = std::sin(theta);
    for (int i = 0; i < 4; ++i)
        result[i] = static_cast<float>(static_cast<double>(a[i]) * ct + static_cast<double>(c[i]) * st);
}

void mad_sampler_interpolation_values(float* out, const mad_sampler* sampler, int attribute,
                                      int* inout_keyframe_last_known, float time)
{
    const int count = sampler->count;
    if (count <= 0)
        return;
    const int hint = *inout_keyframe_last_known;
    // The keyframe after the hint, kept inside the sampler for any hint.
    int i = hint >= count - 1 ? count - 1 : hint + 1;
    if (i < 0)
        i = 0;
    const float* ts = sampler->timestamps;
    while (time > ts[i] && i + 1 < count)
        ++i;
    const int k1 = (i > 1 ? i : 1) - 1;
    const int k2 = i;
    *inout_keyframe_last_known = k1;

    const int components = attribute == MAD_ATTRIBUTE_ROTATION ? 4 : 3;
    if (static_cast<long long>(sampler->values_count) < static_cast<long long>(k2 + 1) * components)
        return;
    const float* a = sampler->values + k1 * components;
    const float* b = sampler->values + k2 * components;
    const float dt = ts[k2] - ts[k1];
    if (static_cast<double>(dt) < 1e-5) {
        for (int c = 0; c < components; ++c)
            out[c] = a[c];
        return;
    }
    float f = (time - ts[k1]) / dt;
    f = f > 0.0f ? (f < 1.0f ? f : 1.0f) : 0.0f;  // a NaN time counts as the earlier keyframe
    if (attribute == MAD_ATTRIBUTE_ROTATION && sampler->interpolation == MAD_INTERPOLATION_LINEAR) {
        quat_slerp(out, a, b, f);
    } else if (sampler->interpolation == MAD_INTERPOLATION_STEP) {
        for (int c = 0; c < components; ++c)
            out[c] = a[c];
    } else if (sampler->interpolation == MAD_INTERPOLATION_LINEAR) {
        for (int c = 0; c < components; ++c)
            out[c] = b[c] * f + (1.0f - f) * a[c];
    }
}

void mad_animate(mad_datapack* pack, int animation_index, float t)
{
    if (animation_index < 0 || animation_index >= pack->animations_count)
        n3d_crash("src/n3d", __LINE__, "animation index %d out of range (%d animations)\n", animation_index,
                  pack->animations_count);
    const mad_animation* anim = &pack->animations[animation_index];
    for (int i = 0; i < anim->channels_count; ++i) {
        const mad_channel* ch = &anim->channels[i];
        float* target;
        switch (ch->attribute) {
        case MAD_ATTRIBUTE_TRANSLATION:
            target = ch->node->translation;
            break;
        case MAD_ATTRIBUTE_ROTATION:
            target = ch->node->rotation;
            break;
        case MAD_ATTRIBUTE_SCALE:
            target = ch->node->scale;
            break;
        default:
            continue;
        }
        int hint = 0;
        mad_sampler_interpolation_values(target, ch->sampler, ch->attribute, &hint, t);
    }
}

void mad_mat4x4_from_srt(mat4x4 r, const vec3 scale, const quat rotate, const vec3 translate)
{
    mat4x4 s, rot, tr;
    mat4x4_identity(s);
    s[0][0] = scale[0];
    s[1][1] = scale[1];
    s[2][2] = scale[2];
    mat4x4_from_quat(rot, rotate);
    mat4x4_mul(r, rot, s);
    mat4x4_translate(tr, translate[0], translate[1], translate[2]);
    mat4x4_mul(r, tr, r);
}

void mad_world_matrices(mat4x4* out, const mad_datapack* pack, memarena* tmp_arena)
{
    // Each node lies in at most one children list (checked when the datapack
    // is loaded), so the stack never holds more than nodes_count entries.
    const int n = pack->nodes_count;
    int* stack = memarena_push_array<int>(tmp_arena, static_cast<uint64_t>(n));
    int top = 0;
    for (int i = 0; i < n; ++i) {
        const mad_node* node = &pack->nodes[i];
        mad_mat4x4_from_srt(out[i], node->scale, node->rotation, node->translation);
        if (!node->parent)
            for (int k = 0; k < node->children_count; ++k)
                stack[top++] = node->children_index[k];
    }
    // Every local matrix is complete before the first child is popped, so the
    // order of the nodes in the array does not matter.
    while (top > 0) {
        const int j = stack[--top];
        const mad_node* node = &pack->nodes[j];
        mat4x4_mul(out[j], out[node->parent - pack->nodes], out[j]);
        for (int k = 0; k < node->children_count; ++k)
            stack[top++] = node->children_index[k];
    }
}

void mad_joint_matrices(mat4x4* out, const mat4x4* world, const mad_datapack* pack, const mad_skin* skin)
{
    (void)pack;
    for (int i = 0; i < skin->joints_count; ++i)
        mat4x4_mul(out[i], world[skin->joints[i]], skin->joint_from_model_matrices[i]);
}

static const char* mad_attribute_name(int attribute)
{
    switch (attribute) {
    case MAD_ATTRIBUTE_TRANSLATION:
        return "translation";
    case MAD_ATTRIBUTE_ROTATION:
        return "rotation";
    case MAD_ATTRIBUTE_SCALE:
        return "scale";
    default:
        return "";
    }
}

void mad_animate_print(const mad_datapack* pack, int animation_index)
{
    if (animation_index < 0 || animation_index >= pack->animations_count)
        n3d_crash("src/n3d", __LINE__, "animation index %d out of range (%d animations)\n", animation_index,
                  pack->animations_count);
    const mad_animation* anim = &pack->animations[animation_index];
    for (int i = 0; i < anim->channels_count; ++i) {
        const mad_channel* ch = &anim->channels[i];
        const mad_sampler* s = ch->sampler;
        printf("node[%d].%s keyframes: %d\n", static_cast<int>(ch->node - pack->nodes),
               mad_attribute_name(ch->attribute), s->count);
        const int components = ch->attribute == MAD_ATTRIBUTE_ROTATION ? 4 : 3;
        for (int k = 0; k < s->count; ++k) {
            // Only keyframes whose values the sampler holds.
            if (static_cast<long long>(s->values_count) < static_cast<long long>(k + 1) * components)
                break;
            const float* v = s->values + k * components;
            const double time = static_cast<double>(s->timestamps[k]);
            if (components == 4)
                printf("\t[%d][%.2f]: %.2f %.2f %.2f %2.f\n", k, time, static_cast<double>(v[0]),
                       static_cast<double>(v[1]), static_cast<double>(v[2]), static_cast<double>(v[3]));
            else
                printf("\t[%d][%.2f]: %.2f %.2f %2.f\n", k, time, static_cast<double>(v[0]), static_cast<double>(v[1]),
                       static_cast<double>(v[2]));
        }
        printf("]\n");
    }
}
