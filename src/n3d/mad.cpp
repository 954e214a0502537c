#include "n3d/mad.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "n3d/n3d_asset.h"

// Smallest bytes each record can take in the file: a count is checked against
// what is left before its array is pushed, so a bad count never asks the arena
// for more than the record could hold.
#define MAD_NODE_MIN_BYTES 61       // name NUL, children count, 10 floats, 4 references
#define MAD_IMAGE_MIN_BYTES 1       // name NUL
#define MAD_MATERIAL_MIN_BYTES 20   // image index, 4 floats
#define MAD_MESH_MIN_BYTES 4        // primitives count
#define MAD_PRIMITIVE_MIN_BYTES 12  // vertices header, material index
#define MAD_SKIN_MIN_BYTES 4        // joints count
#define MAD_JOINT_BYTES 68          // node index, 16 floats
#define MAD_CAMERA_BYTES 20         // kind, 4 floats
#define MAD_ANIMATION_MIN_BYTES 9   // name NUL, two counts
#define MAD_SAMPLER_MIN_BYTES 16    // three fields, at least one time
#define MAD_CHANNEL_BYTES 12

static const uint8_t* mad_refuse(io_reader* r, const char* why)
{
    io_reader_fail(r, why);
    return nullptr;
}

static const uint8_t* mad_done(const io_reader* r) { return r->failed ? nullptr : r->p; }

// A hierarchy fault, naming the node: index and name. The text lives until the
// next refusal, long enough for mad_datapack_load to print it.
static char mad_node_why[160];
static const uint8_t* mad_refuse_node(io_reader* r, const mad_datapack* dp, int node, const char* fault)
{
    const char* name = node >= 0 && node < dp->nodes_count && dp->nodes[node].name ? dp->nodes[node].name : "";
    if (!r->failed) {
        snprintf(mad_node_why, sizeof mad_node_why, "node %d \"%.40s\" %s", node, name, fault);
        io_reader_fail(r, mad_node_why);
    }
    return nullptr;
}

// A count read from the file: at most INT_MAX and, at min_bytes a record, within
// what is left of the data.
static bool mad_count_fits(io_reader* r, uint32_t count, uint64_t min_bytes, const char* why)
{
    if (r->failed)
        return false;
    if (count > (uint32_t)INT_MAX || (uint64_t)count * min_bytes > io_reader_remaining(r)) {
        io_reader_fail(r, why);
        return false;
    }
    return true;
}

// ---- readers ---------------------------------------------------------------------

// Index of a node record inside the datapack's array, -1 when it lies elsewhere.
static int mad_node_index(const mad_node* node, const mad_datapack* dp)
{
    return node >= dp->nodes && node < dp->nodes + dp->nodes_count ? (int)(node - dp->nodes) : -1;
}

const uint8_t* mad_node_load(mad_node* out, const mad_datapack* dp, memarena* arena, io_reader* r)
{
    memset(out, 0, sizeof(*out));
    out->name = io_read_str(r, arena, "node name not terminated inside the record");
    uint32_t children_count = io_read32(r, "node does not fit");
    io_read_many_f32(r, out->scale, 3, "node does not fit");
    io_read_many_f32(r, out->rotation, 4, "node does not fit");
    io_read_many_f32(r, out->translation, 3, "node does not fit");
    uint32_t mesh = io_read32(r, "node does not fit");
    uint32_t skin = io_read32(r, "node does not fit");
    uint32_t camera = io_read32(r, "node does not fit");
    if (r->failed)
        return nullptr;
    // Plus-one references: 0 is none.
    if (mesh > (uint32_t)dp->meshes_count)
        return mad_refuse(r, "node mesh index out of range");
    if (skin > (uint32_t)dp->skins_count)
        return mad_refuse(r, "node skin index out of range");
    if (camera > (uint32_t)dp->cameras_count)
        return mad_refuse(r, "node camera index out of range");
    out->mesh = mesh ? &dp->meshes[mesh - 1] : nullptr;
    out->skin = skin ? &dp->skins[skin - 1] : nullptr;
    out->camera = camera ? &dp->cameras[camera - 1] : nullptr;
    if (!mad_count_fits(r, children_count, 4, "node children do not fit"))
        return nullptr;
    out->children_count = (int)children_count;
    out->children_index = memarena_push_array<int>(arena, children_count);
    for (uint32_t i = 0; i < children_count; ++i) {
        uint32_t c = io_read32(r, "node children do not fit");
        if (c >= (uint32_t)dp->nodes_count)
            return mad_refuse_node(r, dp, mad_node_index(out, dp), "has a child index out of range");
        out->children_index[i] = (int)c;
    }
    uint32_t parent = io_read32(r, "node parent does not fit");
    if (r->failed)
        return nullptr;
    if (parent > (uint32_t)dp->nodes_count)
        return mad_refuse_node(r, dp, mad_node_index(out, dp), "has a parent index out of range");
    out->parent = parent ? &dp->nodes[parent - 1] : nullptr;
    return mad_done(r);
}

const uint8_t* mad_image_load(mad_image* out, memarena* arena, io_reader* r)
{
    memset(out, 0, sizeof(*out));
    out->name = io_read_str(r, arena, "image name not terminated inside the record");
    return mad_done(r);
}

const uint8_t* mad_material_load(mad_material* material, const mad_datapack* dp, io_reader* r)
{
    memset(material, 0, sizeof(*material));
    uint32_t image = io_read32(r, "material does not fit");
    io_read_many_f32(r, material->base_color, 4, "material does not fit");
    if (r->failed)
        return nullptr;
    if (image != MAD_INDEX_NONE) {
        if (image >= (uint32_t)dp->images_count)
            return mad_refuse(r, "material image index out of range");
        material->base_color_image = &dp->images[image];
    }
    return mad_done(r);
}

const uint8_t* mad_mesh_load(mad_mesh* mesh, const mad_datapack* dp, memarena* arena, io_reader* r)
{
    memset(mesh, 0, sizeof(*mesh));
    uint32_t count = io_read32(r, "mesh does not fit");
    if (!mad_count_fits(r, count, MAD_PRIMITIVE_MIN_BYTES, "mesh primitives do not fit"))
        return nullptr;
    mesh->primitives_count = (int)count;
    mesh->primitives = memarena_push_array_zeroed<mad_primitive>(arena, count);
    for (uint32_t i = 0; i < count; ++i) {
        mad_primitive* p = &mesh->primitives[i];
        memset(p, 0, sizeof(*p));
        if (n3d_io_vertices_read(r, arena, &p->vertices) != 0)
            return nullptr;
        uint32_t material = io_read32(r, "primitive material does not fit");
        if (r->failed)
            return nullptr;
        if (material != MAD_INDEX_NONE) {
            if (material >= (uint32_t)dp->materials_count)
                return mad_refuse(r, "primitive material index out of range");
            p->material = &dp->materials[material];
        }
    }
    return mad_done(r);
}

const uint8_t* mad_skin_load(mad_skin* out, const mad_datapack* dp, memarena* arena, io_reader* r)
{
    memset(out, 0, sizeof(*out));
    uint32_t count = io_read32(r, "skin does not fit");
    if (!mad_count_fits(r, count, MAD_JOINT_BYTES, "skin joints do not fit"))
        return nullptr;
    out->joints_count = (int)count;
    out->joints = memarena_push_array_zeroed<int>(arena, count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t j = io_read32(r, "skin joints do not fit");
        if (j >= (uint32_t)dp->nodes_count)
            return mad_refuse(r, "skin joint index out of range");
        out->joints[i] = (int)j;
    }
    out->joint_from_model_matrices = memarena_push_array<mat4x4>(arena, count);
    out->model_from_joint_matrices = memarena_push_array<mat4x4>(arena, count);
    for (uint32_t i = 0; i < count; ++i) {
        io_read_many_f32(r, &out->joint_from_model_matrices[i][0][0], 16, "skin matrices do not fit");
        if (r->failed)
            return nullptr;
        mat4x4_invert(out->model_from_joint_matrices[i], out->joint_from_model_matrices[i]);
    }
    return mad_done(r);
}

const uint8_t* mad_camera_load(mad_camera* out, io_reader* r)
{
    memset(out, 0, sizeof(*out));
    out->is_orthographic = (int)io_read32(r, "camera does not fit");
    out->zfar = io_readf32(r, "camera does not fit");
    out->znear = io_readf32(r, "camera does not fit");
    if (out->is_orthographic) {
        out->xmag = io_readf32(r, "camera does not fit");
        out->ymag = io_readf32(r, "camera does not fit");
    } else {
        out->aspect_ratio = io_readf32(r, "camera does not fit");
        out->yfov = io_readf32(r, "camera does not fit");
    }
    return mad_done(r);
}

const uint8_t* mad_sampler_load(mad_sampler* out, memarena* arena, io_reader* r)
{
    memset(out, 0, sizeof(*out));
    out->interpolation = (int)io_read32(r, "sampler does not fit");
    uint32_t count = io_read32(r, "sampler does not fit");
    uint32_t values_count = io_read32(r, "sampler does not fit");
    if (r->failed)
        return nullptr;
    if (count == 0)
        return mad_refuse(r, "sampler without keyframes");
    if (count > (uint32_t)INT_MAX || values_count > (uint32_t)INT_MAX ||
        4 * ((uint64_t)count + values_count) > io_reader_remaining(r))
        return mad_refuse(r, "sampler keyframes do not fit");
    out->count = (int)count;
    out->values_count = (int)values_count;
    out->timestamps = memarena_push_array<float>(arena, count);
    out->values = memarena_push_array<float>(arena, values_count);
    io_read_many_f32(r, out->timestamps, count, "sampler keyframes do not fit");
    io_read_many_f32(r, out->values, values_count, "sampler keyframes do not fit");
    if (r->failed)
        return nullptr;
    // The sampling only searches forward; NaN times are refused by the same test.
    for (uint32_t i = 1; i < count; ++i)
        if (!(out->timestamps[i - 1] <= out->timestamps[i]))
            return mad_refuse(r, "sampler times decrease");
    return mad_done(r);
}

const uint8_t* mad_channel_load(mad_channel* out, const mad_datapack* dp, mad_sampler* samplers, int samplers_count,
                                io_reader* r)
{
    memset(out, 0, sizeof(*out));
    uint32_t node = io_read32(r, "channel does not fit");
    uint32_t attribute = io_read32(r, "channel does not fit");
    uint32_t sampler = io_read32(r, "channel does not fit");
    if (r->failed)
        return nullptr;
    if (node >= (uint32_t)dp->nodes_count)
        return mad_refuse(r, "channel node index out of range");
    if (sampler >= (uint32_t)samplers_count)
        return mad_refuse(r, "channel sampler index out of range");
    out->node = &dp->nodes[node];
    out->attribute = (int)attribute;
    out->sampler = &samplers[sampler];
    return mad_done(r);
}

const uint8_t* mad_animation_load(mad_animation* out, const mad_datapack* dp, memarena* arena, io_reader* r)
{
    memset(out, 0, sizeof(*out));
    out->name = io_read_str(r, arena, "animation name not terminated inside the record");
    uint32_t samplers_count = io_read32(r, "animation does not fit");
    if (!mad_count_fits(r, samplers_count, MAD_SAMPLER_MIN_BYTES, "animation samplers do not fit"))
        return nullptr;
    out->samplers_count = (int)samplers_count;
    out->samplers = memarena_push_array_zeroed<mad_sampler>(arena, samplers_count);
    for (uint32_t i = 0; i < samplers_count; ++i)
        if (!mad_sampler_load(&out->samplers[i], arena, r))
            return nullptr;
    uint32_t channels_count = io_read32(r, "animation channels do not fit");
    if (!mad_count_fits(r, channels_count, MAD_CHANNEL_BYTES, "animation channels do not fit"))
        return nullptr;
    out->channels_count = (int)channels_count;
    out->channels = memarena_push_array_zeroed<mad_channel>(arena, channels_count);
    for (uint32_t i = 0; i < channels_count; ++i) {
        if (!mad_channel_load(&out->channels[i], dp, out->samplers, out->samplers_count, r))
            return nullptr;
        // Sampling reads count keyframes of 4 (rotation) or 3 floats; other
        // attributes are skipped by the animation and need nothing.
        const mad_channel* c = &out->channels[i];
        const int attr = c->attribute;
        if (attr == MAD_ATTRIBUTE_TRANSLATION || attr == MAD_ATTRIBUTE_ROTATION || attr == MAD_ATTRIBUTE_SCALE) {
            const uint64_t components = attr == MAD_ATTRIBUTE_ROTATION ? 4 : 3;
            if ((uint64_t)c->sampler->values_count < (uint64_t)c->sampler->count * components)
                return mad_refuse(r, "sampler has fewer values than its channel needs");
        }
    }
    return mad_done(r);
}

// Parents, children lists and cycles: the hierarchy walks (world matrices with
// an explicit stack of nodes_count entries) need a strict forest. Scratch comes
// from the arena and is given back by the caller.
static bool mad_check_forest(io_reader* r, const mad_datapack* dp, memarena* arena)
{
    const int n = dp->nodes_count;
    if (n == 0)
        return true;
    int* parent_of = memarena_push_array<int>(arena, (uint64_t)n);
    int* queue = memarena_push_array<int>(arena, (uint64_t)n);
    for (int i = 0; i < n; ++i)
        parent_of[i] = -1;
    for (int p = 0; p < n; ++p) {
        const mad_node* node = &dp->nodes[p];
        for (int k = 0; k < node->children_count; ++k) {
            const int c = node->children_index[k];
            if (parent_of[c] != -1 || c == p) {
                mad_refuse_node(r, dp, c, "listed as a child twice");
                return false;
            }
            parent_of[c] = p;
        }
    }
    int queued = 0;
    for (int i = 0; i < n; ++i) {
        const mad_node* node = &dp->nodes[i];
        const int parent = node->parent ? (int)(node->parent - dp->nodes) : -1;
        if (parent != parent_of[i]) {
            mad_refuse_node(r, dp, i, "parent does not match the children lists");
            return false;
        }
        if (parent == -1)
            queue[queued++] = i;
    }
    // Every node lies below a root unless the parent links close a cycle.
    for (int head = 0; head < queued; ++head) {
        const mad_node* node = &dp->nodes[queue[head]];
        for (int k = 0; k < node->children_count; ++k)
            queue[queued++] = node->children_index[k];
    }
    if (queued != n) {
        // The first node no root reaches lies on the cycle or below it.
        int lost = 0;
        for (int i = 0; i < queued; ++i)
            parent_of[queue[i]] = -2;
        while (parent_of[lost] == -2)
            ++lost;
        mad_refuse_node(r, dp, lost, "is in a cycle of parents");
        return false;
    }
    return true;
}

// The skinning path reads each vertex's joint indices into the joint matrices
// of the skin its node is drawn with.
static bool mad_check_skinned_meshes(io_reader* r, const mad_datapack* dp)
{
    for (int i = 0; i < dp->nodes_count; ++i) {
        const mad_node* node = &dp->nodes[i];
        if (!node->mesh || !node->skin)
            continue;
        for (int p = 0; p < node->mesh->primitives_count; ++p) {
            // A primitive of no vertices has no arrays and nothing to skin.
            const n3d_vertices* v = &node->mesh->primitives[p].vertices;
            if (v->count <= 0)
                continue;
            if (!v->joints || !v->joints_weights) {
                io_reader_fail(r, "skinned primitive without joints and weights");
                return false;
            }
            const uint64_t n = 4 * (uint64_t)v->count;
            for (uint64_t k = 0; k < n; ++k) {
                if (v->joints[k] >= node->skin->joints_count) {
                    io_reader_fail(r, "vertex joint index out of range of its skin");
                    return false;
                }
            }
        }
    }
    return true;
}

const uint8_t* mad_datapack_load(mad_datapack* out, memarena* arena, const void* b, uint64_t size, int endian)
{
    memset(out, 0, sizeof(*out));
    io_reader r = io_reader_make(b, size, endian);
    uint32_t counts[7];
    for (int i = 0; i < 7; ++i)
        counts[i] = io_read32(&r, "datapack counts do not fit");
    // nodes, meshes, skins, cameras, animations, images, materials
    static const uint64_t k_min_bytes[7] = {MAD_NODE_MIN_BYTES,    MAD_MESH_MIN_BYTES,      MAD_SKIN_MIN_BYTES,
                                            MAD_CAMERA_BYTES,      MAD_ANIMATION_MIN_BYTES, MAD_IMAGE_MIN_BYTES,
                                            MAD_MATERIAL_MIN_BYTES};
    uint64_t least = 0;
    for (int i = 0; i < 7; ++i) {
        if (counts[i] > (uint32_t)INT_MAX)
            io_reader_fail(&r, "datapack count above the largest int");
        least += (uint64_t)counts[i] * k_min_bytes[i];
    }
    if (!r.failed && least > io_reader_remaining(&r))
        io_reader_fail(&r, "datapack records do not fit their counts");
    if (!r.failed) {
        out->nodes_count = (int)counts[0];
        out->meshes_count = (int)counts[1];
        out->skins_count = (int)counts[2];
        out->cameras_count = (int)counts[3];
        out->animations_count = (int)counts[4];
        out->images_count = (int)counts[5];
        out->materials_count = (int)counts[6];
        out->nodes = memarena_push_array_zeroed<mad_node>(arena, counts[0]);
        out->meshes = memarena_push_array_zeroed<mad_mesh>(arena, counts[1]);
        out->skins = memarena_push_array_zeroed<mad_skin>(arena, counts[2]);
        out->cameras = memarena_push_array_zeroed<mad_camera>(arena, counts[3]);
        out->animations = memarena_push_array_zeroed<mad_animation>(arena, counts[4]);
        out->images = memarena_push_array_zeroed<mad_image>(arena, counts[5]);
        out->materials = memarena_push_array_zeroed<mad_material>(arena, counts[6]);
    }
    for (int i = 0; !r.failed && i < out->nodes_count; ++i)
        mad_node_load(&out->nodes[i], out, arena, &r);
    for (int i = 0; !r.failed && i < out->images_count; ++i)
        mad_image_load(&out->images[i], arena, &r);
    for (int i = 0; !r.failed && i < out->materials_count; ++i)
        mad_material_load(&out->materials[i], out, &r);
    for (int i = 0; !r.failed && i < out->meshes_count; ++i)
        mad_mesh_load(&out->meshes[i], out, arena, &r);
    for (int i = 0; !r.failed && i < out->skins_count; ++i)
        mad_skin_load(&out->skins[i], out, arena, &r);
    for (int i = 0; !r.failed && i < out->cameras_count; ++i)
        mad_camera_load(&out->cameras[i], &r);
    for (int i = 0; !r.failed && i < out->animations_count; ++i)
        mad_animation_load(&out->animations[i], out, arena, &r);
    if (!r.failed) {
        const uint64_t marker = memarena_get_marker(arena);
        mad_check_forest(&r, out, arena);
        memarena_goto_marker(arena, marker);
    }
    if (!r.failed)
        mad_check_skinned_meshes(&r, out);
    if (r.failed) {
        printf("datapack record refused: %s\n", r.what ? r.what : "bad data");
        return nullptr;
    }
    return r.p;
}

// ---- writers ---------------------------------------------------------------------

// Index of p in the array starting at base, plus one, 0 for null.
template <typename T>
static uint32_t mad_ref_plus1(const T* p, const T* base)
{
    return p ? (uint32_t)(p - base) + 1u : 0u;
}

template <typename T>
static uint32_t mad_ref_or_none(const T* p, const T* base)
{
    return p ? (uint32_t)(p - base) : MAD_INDEX_NONE;
}

uint8_t* mad_node_store(void* bv, const mad_node* node, const mad_node* nodes, const mad_mesh* meshes,
                        const mad_skin* skins, const mad_camera* cameras, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_storestr(b, node->name ? node->name : "");
    b = io_store32(b, (uint32_t)node->children_count, endian);
    b = io_store_many_f32(b, node->scale, 3, endian);
    b = io_store_many_f32(b, node->rotation, 4, endian);
    b = io_store_many_f32(b, node->translation, 3, endian);
    b = io_store32(b, mad_ref_plus1(node->mesh, meshes), endian);
    b = io_store32(b, mad_ref_plus1(node->skin, skins), endian);
    b = io_store32(b, mad_ref_plus1(node->camera, cameras), endian);
    for (int i = 0; i < node->children_count; ++i)
        b = io_store32(b, (uint32_t)node->children_index[i], endian);
    b = io_store32(b, mad_ref_plus1(node->parent, nodes), endian);
    return b;
}

uint8_t* mad_image_store(void* bv, const mad_image* image, int endian)
{
    (void)endian;
    return io_storestr(static_cast<uint8_t*>(bv), image->name ? image->name : "");
}

uint8_t* mad_material_store(void* bv, const mad_material* material, const mad_image* images, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, mad_ref_or_none(material->base_color_image, images), endian);
    b = io_store_many_f32(b, material->base_color, 4, endian);
    return b;
}

uint8_t* mad_mesh_store(void* bv, const mad_mesh* mesh, const mad_material* materials, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)mesh->primitives_count, endian);
    for (int i = 0; i < mesh->primitives_count; ++i) {
        b = n3d_io_vertices_store(b, &mesh->primitives[i].vertices, endian);
        b = io_store32(b, mad_ref_or_none(mesh->primitives[i].material, materials), endian);
    }
    return b;
}

uint8_t* mad_skin_store(void* bv, const mad_skin* skin, const mad_node* nodes, int endian)
{
    (void)nodes;
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)skin->joints_count, endian);
    for (int i = 0; i < skin->joints_count; ++i)
        b = io_store32(b, (uint32_t)skin->joints[i], endian);
    for (int i = 0; i < skin->joints_count; ++i)
        b = io_store_many_f32(b, &skin->joint_from_model_matrices[i][0][0], 16, endian);
    return b;
}

uint8_t* mad_camera_store(void* bv, const mad_camera* camera, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)camera->is_orthographic, endian);
    b = io_storef32(b, camera->zfar, endian);
    b = io_storef32(b, camera->znear, endian);
    if (camera->is_orthographic) {
        b = io_storef32(b, camera->xmag, endian);
        b = io_storef32(b, camera->ymag, endian);
    } else {
        b = io_storef32(b, camera->aspect_ratio, endian);
        b = io_storef32(b, camera->yfov, endian);
    }
    return b;
}

uint8_t* mad_sampler_store(void* bv, const mad_sampler* sampler, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)sampler->interpolation, endian);
    b = io_store32(b, (uint32_t)sampler->count, endian);
    b = io_store32(b, (uint32_t)sampler->values_count, endian);
    b = io_store_many_f32(b, sampler->timestamps, (uint32_t)sampler->count, endian);
    b = io_store_many_f32(b, sampler->values, (uint32_t)sampler->values_count, endian);
    return b;
}

uint8_t* mad_channel_store(void* bv, const mad_channel* channel, const mad_node* nodes, const mad_sampler* samplers,
                           int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)(channel->node - nodes), endian);
    b = io_store32(b, (uint32_t)channel->attribute, endian);
    b = io_store32(b, (uint32_t)(channel->sampler - samplers), endian);
    return b;
}

uint8_t* mad_animation_store(void* bv, const mad_animation* animation, const mad_node* nodes, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_storestr(b, animation->name ? animation->name : "");
    b = io_store32(b, (uint32_t)animation->samplers_count, endian);
    for (int i = 0; i < animation->samplers_count; ++i)
        b = mad_sampler_store(b, &animation->samplers[i], endian);
    b = io_store32(b, (uint32_t)animation->channels_count, endian);
    for (int i = 0; i < animation->channels_count; ++i)
        b = mad_channel_store(b, &animation->channels[i], nodes, animation->samplers, endian);
    return b;
}

uint8_t* mad_datapack_store(void* bv, const mad_datapack* dp, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)dp->nodes_count, endian);
    b = io_store32(b, (uint32_t)dp->meshes_count, endian);
    b = io_store32(b, (uint32_t)dp->skins_count, endian);
    b = io_store32(b, (uint32_t)dp->cameras_count, endian);
    b = io_store32(b, (uint32_t)dp->animations_count, endian);
    b = io_store32(b, (uint32_t)dp->images_count, endian);
    b = io_store32(b, (uint32_t)dp->materials_count, endian);
    for (int i = 0; i < dp->nodes_count; ++i)
        b = mad_node_store(b, &dp->nodes[i], dp->nodes, dp->meshes, dp->skins, dp->cameras, endian);
    for (int i = 0; i < dp->images_count; ++i)
        b = mad_image_store(b, &dp->images[i], endian);
    for (int i = 0; i < dp->materials_count; ++i)
        b = mad_material_store(b, &dp->materials[i], dp->images, endian);
    for (int i = 0; i < dp->meshes_count; ++i)
        b = mad_mesh_store(b, &dp->meshes[i], dp->materials, endian);
    for (int i = 0; i < dp->skins_count; ++i)
        b = mad_skin_store(b, &dp->skins[i], dp->nodes, endian);
    for (int i = 0; i < dp->cameras_count; ++i)
        b = mad_camera_store(b, &dp->cameras[i], endian);
    for (int i = 0; i < dp->animations_count; ++i)
        b = mad_animation_store(b, &dp->animations[i], dp->nodes, endian);
    return b;
}

// ---- lookup -------------------------------------------------------------------------

int mad_animation_find_by_name(const mad_datapack* datapack, const char* name)
{
    for (int i = 0; i < datapack->animations_count; ++i)
        if (datapack->animations[i].name && strcmp(datapack->animations[i].name, name) == 0)
            return i;
    printf("failed find animation \"%s\"\n", name);
    return -1;
}

int mad_node_find_by_name(const mad_datapack* datapack, const char* name)
{
    for (int i = 0; i < datapack->nodes_count; ++i)
        if (datapack->nodes[i].name && strcmp(datapack->nodes[i].name, name) == 0)
            return i;
    printf("failed find node \"%s\"\n", name);
    return -1;
}

// ---- debug comparison -------------------------------------------------------------------

// Both null, or both at the same index of their own arrays.
template <typename T>
static bool mad_same_ref(const T* a, const T* a_base, const T* b, const T* b_base)
{
    if (!a || !b)
        return a == b;
    return (a - a_base) == (b - b_base);
}

static bool mad_floats_equal(const float* a, const float* b, int n)
{
    for (int i = 0; i < n; ++i)
        if (!(a[i] == b[i]))
            return false;
    return true;
}

int mad_datapack_dbg_cmp(const mad_datapack* a, const mad_datapack* b)
{
    if (a->nodes_count != b->nodes_count || a->meshes_count != b->meshes_count || a->skins_count != b->skins_count ||
        a->cameras_count != b->cameras_count || a->animations_count != b->animations_count ||
        a->images_count != b->images_count || a->materials_count != b->materials_count)
        return 1;
    bool same = true;
    for (int i = 0; i < a->nodes_count; ++i) {
        const mad_node* x = &a->nodes[i];
        const mad_node* y = &b->nodes[i];
        same &= mad_same_ref(x->mesh, a->meshes, y->mesh, b->meshes);
        same &= mad_same_ref(x->skin, a->skins, y->skin, b->skins);
        same &= mad_same_ref(x->camera, a->cameras, y->camera, b->cameras);
        same &= mad_same_ref(x->parent, a->nodes, y->parent, b->nodes);
        if (x->children_count != y->children_count) {
            same = false;
        } else {
            for (int k = 0; k < x->children_count; ++k)
                same &= x->children_index[k] == y->children_index[k];
        }
        same &= memcmp(x->scale, y->scale, sizeof(vec3)) == 0;
        same &= memcmp(x->rotation, y->rotation, sizeof(quat)) == 0;
        same &= memcmp(x->translation, y->translation, sizeof(vec3)) == 0;
    }
    for (int i = 0; i < a->images_count; ++i) {
        const char* x = a->images[i].name;
        const char* y = b->images[i].name;
        same &= (x && y) ? strcmp(x, y) == 0 : x == y;
    }
    for (int i = 0; i < a->materials_count; ++i) {
        const mad_material* x = &a->materials[i];
        const mad_material* y = &b->materials[i];
        same &= (x->base_color_image == nullptr) == (y->base_color_image == nullptr);
        same &= memcmp(x->base_color, y->base_color, sizeof(vec4)) == 0;
    }
    for (int i = 0; i < a->meshes_count; ++i) {
        const mad_mesh* x = &a->meshes[i];
        const mad_mesh* y = &b->meshes[i];
        if (x->primitives_count != y->primitives_count)
            return 1;
        for (int k = 0; k < x->primitives_count; ++k) {
            same &= n3d_vertices_dbg_cmp(&x->primitives[k].vertices, &y->primitives[k].vertices) == 0;
            same &= mad_same_ref(x->primitives[k].material, a->materials, y->primitives[k].material, b->materials);
        }
    }
    for (int i = 0; i < a->skins_count; ++i) {
        const mad_skin* x = &a->skins[i];
        const mad_skin* y = &b->skins[i];
        if (x->joints_count != y->joints_count)
            return 1;
        for (int k = 0; k < x->joints_count; ++k) {
            same &= x->joints[k] == y->joints[k];
            same &= memcmp(x->joint_from_model_matrices[k], y->joint_from_model_matrices[k], sizeof(mat4x4)) == 0;
            same &= memcmp(x->model_from_joint_matrices[k], y->model_from_joint_matrices[k], sizeof(mat4x4)) == 0;
        }
    }
    for (int i = 0; i < a->cameras_count; ++i)
        same &= memcmp(&a->cameras[i], &b->cameras[i], sizeof(mad_camera)) == 0;
    for (int i = 0; i < a->animations_count; ++i) {
        const mad_animation* x = &a->animations[i];
        const mad_animation* y = &b->animations[i];
        if (x->samplers_count != y->samplers_count || x->channels_count != y->channels_count)
            return 1;
        for (int k = 0; k < x->samplers_count; ++k) {
            const mad_sampler* s = &x->samplers[k];
            const mad_sampler* t = &y->samplers[k];
            if (s->interpolation != t->interpolation || s->count != t->count || s->values_count != t->values_count)
                return 1;
            same &= mad_floats_equal(s->timestamps, t->timestamps, s->count);
            same &= mad_floats_equal(s->values, t->values, s->values_count);
        }
        for (int k = 0; k < x->channels_count; ++k) {
            const mad_channel* c = &x->channels[k];
            const mad_channel* d = &y->channels[k];
            same &= mad_same_ref(c->node, a->nodes, d->node, b->nodes);
            same &= c->attribute == d->attribute;
            same &= mad_same_ref(c->sampler, x->samplers, d->sampler, y->samplers);
        }
    }
    return same ? 0 : 1;
}
