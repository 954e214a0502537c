// Animated datapacks: node hierarchy, meshes of primitives, skins, cameras,
// keyframe animations, images and materials; the ".mad" record (pack kind 6),
// lookup by name and a debug comparison. Main thread; called by the resource
// cache, the datapack scene and tools. Loaded data comes from the reader's
// arena. The reader never reads past its bytes and checks every index, count,
// time and the hierarchy first: a bad record gives null and a stdout line.
#pragma once

#include <cstdint>

#include "core/io.h"
#include "core/linmath.h"
#include "core/memarena.h"
#include "n3d/n3d_vertices.h"

// Channel attributes.
#define MAD_ATTRIBUTE_TRANSLATION 1
#define MAD_ATTRIBUTE_ROTATION 2
#define MAD_ATTRIBUTE_SCALE 3
// Sampler interpolations.
#define MAD_INTERPOLATION_STEP 1
#define MAD_INTERPOLATION_LINEAR 2
// Material and primitive references without a target.
#define MAD_INDEX_NONE 0xFFFFFFFFu

struct mad_mesh;
struct mad_skin;
struct mad_camera;

struct mad_node {
    char* name;
    mad_mesh* mesh;      // or null
    mad_skin* skin;      // or null
    mad_camera* camera;  // or null
    vec3 scale;
    quat rotation;  // x, y, z, w
    vec3 translation;
    int children_count;
    int* children_index;  // node indices
    mad_node* parent;     // null for a root
};

struct mad_image {
    char* name;         // the texture's base name
    int texture_index;  // not stored; 0 after loading, set by the datapack's user
};

struct mad_material {
    mad_image* base_color_image;  // or null
    vec4 base_color;
};

struct mad_primitive {
    n3d_vertices vertices;
    mad_material* material;  // or null
};

struct mad_mesh {
    int primitives_count;
    mad_primitive* primitives;
};

struct mad_skin {
    int joints_count;
    int* joints;                        // node indices
    mat4x4* joint_from_model_matrices;  // inverse bind matrices, stored
    mat4x4* model_from_joint_matrices;  // their inverses, computed on load
};

struct mad_camera {
    int is_orthographic;
    float zfar;
    float znear;
    float xmag;          // orthographic only, else 0
    float ymag;          // orthographic only, else 0
    float aspect_ratio;  // perspective only, else 0
    float yfov;          // perspective only, else 0
};

struct mad_sampler {
    int interpolation;  // MAD_INTERPOLATION_*
    int count;          // keyframes, at least 1
    int values_count;   // floats in values
    float* timestamps;  // count times, non-decreasing
    float* values;      // 4 floats a keyframe for rotation, else 3
};

struct mad_channel {
    mad_node* node;
    mad_sampler* sampler;  // into the owning animation's samplers
    int attribute;         // MAD_ATTRIBUTE_*
};

struct mad_animation {
    char* name;
    int samplers_count;
    mad_sampler* samplers;
    int channels_count;
    mad_channel* channels;
};

struct mad_datapack {
    int nodes_count;
    mad_node* nodes;
    int meshes_count;
    mad_mesh* meshes;
    int skins_count;
    mad_skin* skins;
    int cameras_count;
    mad_camera* cameras;
    int animations_count;
    mad_animation* animations;
    int images_count;
    mad_image* images;
    int materials_count;
    mad_material* materials;
};

// ---- whole record --------------------------------------------------------------
// The seven counts (nodes, meshes, skins, cameras, animations, images,
// materials), then the nodes, images, materials, meshes, skins, cameras and
// animations. Returns the position after the record, or null when the size
// bytes at b do not hold a well-formed datapack: every index below its count,
// node references a strict forest (each parent matches the one children list
// that holds the node, no node twice, no cycle), samplers with at least one
// keyframe, non-decreasing times and enough values for their channels, and
// every primitive of a node with a skin carrying joints and weights whose joint
// indices lie below that skin's joint count.
const uint8_t* mad_datapack_load(mad_datapack* out, memarena* arena, const void* b, uint64_t size, int endian);
uint8_t* mad_datapack_store(void* b, const mad_datapack* datapack, int endian);

// ---- per record ----------------------------------------------------------------
// Readers take the datapack being filled (its counts and arrays, pushed by
// mad_datapack_load before the records are read; arrays may still be unfilled)
// and read at r's position. Each returns the position after its record, or null
// with r failed. Index checks against counts happen here; the checks that need
// the whole datapack (the forest, channel value counts, skinned joints) happen
// in mad_datapack_load.
const uint8_t* mad_node_load(mad_node* out, const mad_datapack* dp, memarena* arena, io_reader* r);
const uint8_t* mad_image_load(mad_image* out, memarena* arena, io_reader* r);
const uint8_t* mad_material_load(mad_material* material, const mad_datapack* dp, io_reader* r);
const uint8_t* mad_mesh_load(mad_mesh* mesh, const mad_datapack* dp, memarena* arena, io_reader* r);
const uint8_t* mad_skin_load(mad_skin* out, const mad_datapack* dp, memarena* arena, io_reader* r);
const uint8_t* mad_camera_load(mad_camera* out, io_reader* r);
const uint8_t* mad_animation_load(mad_animation* out, const mad_datapack* dp, memarena* arena, io_reader* r);
const uint8_t* mad_sampler_load(mad_sampler* out, memarena* arena, io_reader* r);
const uint8_t* mad_channel_load(mad_channel* out, const mad_datapack* dp, mad_sampler* samplers, int samplers_count,
                                io_reader* r);

// Writers: pointers are turned back into indices by their distance from the
// start of the array given.
uint8_t* mad_node_store(void* b, const mad_node* node, const mad_node* nodes, const mad_mesh* meshes,
                        const mad_skin* skins, const mad_camera* cameras, int endian);
uint8_t* mad_image_store(void* b, const mad_image* image, int endian);
uint8_t* mad_material_store(void* b, const mad_material* material, const mad_image* images, int endian);
uint8_t* mad_mesh_store(void* b, const mad_mesh* mesh, const mad_material* materials, int endian);
uint8_t* mad_skin_store(void* b, const mad_skin* skin, const mad_node* nodes, int endian);
uint8_t* mad_camera_store(void* b, const mad_camera* camera, int endian);
uint8_t* mad_animation_store(void* b, const mad_animation* animation, const mad_node* nodes, int endian);
uint8_t* mad_sampler_store(void* b, const mad_sampler* sampler, int endian);
uint8_t* mad_channel_store(void* b, const mad_channel* channel, const mad_node* nodes, const mad_sampler* samplers,
                           int endian);

// ---- lookup and debug ------------------------------------------------------------
// Index of the first animation (node) with exactly this name; otherwise prints
// "failed find animation \"%s\"\n" ("failed find node \"%s\"\n") and gives -1.
int mad_animation_find_by_name(const mad_datapack* datapack, const char* name);
int mad_node_find_by_name(const mad_datapack* datapack, const char* name);

// 0 when the two datapacks agree (node and animation names are not compared,
// image names are), 1 otherwise.
int mad_datapack_dbg_cmp(const mad_datapack* a, const mad_datapack* b);
