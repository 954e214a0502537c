#include "n3d/n3d_asset.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "container/n3d_io.h"
#include "core/crash.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"

// ---- helpers -------------------------------------------------------------------

static bool asset_aligned(const void* p, uintptr_t align)
{
    return (reinterpret_cast<uintptr_t>(p) & (align - 1)) == 0;
}

// Fails r with why (a whole phrase, kept as the reason) and returns 1.
static int asset_refuse(io_reader* r, const char* why)
{
    io_reader_fail(r, why);
    return 1;
}

// The end of a whole-record load: a failure is reported once, naming the record.
static const uint8_t* asset_finish(io_reader* r, int failed, const char* record)
{
    if (failed || r->failed) {
        printf("%s record refused: %s\n", record, r->what ? r->what : "bad data");
        return nullptr;
    }
    return r->p;
}

// ---- textures -------------------------------------------------------------------

// Bytes a texel takes in memory, and the word read at once from a level: the
// rasterizers load a swizzled level's four vertically adjacent texels as one
// word (8 bytes of 16-bit texels, 4 bytes of 8-bit ones), row-by-row levels are
// read texel by texel. An in-place level must start on such a word.
static int texture_texel_bytes(int format) { return format == 2 ? 2 : format == 4 ? 4 : 1; }
static uintptr_t texture_level_align(int format, int swizzled)
{
    if (swizzled)
        return format == 2 ? 8 : 4;
    return (uintptr_t)texture_texel_bytes(format);
}

static int texture_mip_table_count(const n3d_texture* t)
{
    return (((t->h_log2 - t->min_v_level) << 7) | (t->w_log2 - t->min_u_level)) + 1;
}

static int texture_mip_slot(const n3d_texture* t, int u_level, int v_level)
{
    return ((t->h_log2 - v_level) << 7) | (t->w_log2 - u_level);
}

uint8_t* n3d_io_texture_store(void* bv, const n3d_texture* t, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    if (t->format < 1 || t->format > 4)
        n3d_crash("src/n3d_io", __LINE__, "not implemented for texture format %d\n", t->format);
    b = io_store8(b, (int8_t)t->format);
    b = io_store8(b, (int8_t)t->not_swizzled);
    b = io_store8(b, (int8_t)t->w_log2);
    b = io_store8(b, (int8_t)t->h_log2);
    b = io_store8(b, (int8_t)t->min_u_level);
    b = io_store8(b, (int8_t)t->min_v_level);
    if (t->format == 1 || t->format == 3) {
        b = io_store16(b, (uint16_t)t->colors_count, endian);
        b = io_store16(b, (uint16_t)t->shades_per_color, endian);
        const uint64_t colors = t->colors_count > 0 ? (uint64_t)t->colors_count : 0;
        const uint64_t shades = colors * (uint64_t)(t->shades_per_color > 0 ? t->shades_per_color : 0);
        if (t->format == 1) {
            const uint8_t* pal = static_cast<const uint8_t*>(t->palette);
            const uint8_t* st = static_cast<const uint8_t*>(t->shade_table);
            for (uint64_t i = 0; i < colors; ++i) {
                uint16_t v;
                memcpy(&v, pal + 2 * i, 2);
                b = io_store16(b, v, endian);
            }
            for (uint64_t i = 0; i < shades; ++i) {
                uint16_t v;
                memcpy(&v, st + 2 * i, 2);
                b = io_store16(b, v, endian);
            }
        } else {
            if (colors)
                memcpy(b, t->palette, colors);
            b += colors;
            if (shades)
                memcpy(b, t->shade_table, shades);
            b += shades;
        }
    }
    const int swizzled = t->not_swizzled == 0;
    for (int u = t->w_log2; u >= t->min_u_level; --u) {
        for (int v = t->h_log2; v >= t->min_v_level; --v) {
            const uint32_t size = n3d_mipmap_size(t->format, swizzled, u, v);
            const uint8_t* level = t->mips[texture_mip_slot(t, u, v)];
            if (t->format == 2) {
                for (uint32_t i = 0; i < size / 2; ++i) {
                    uint16_t x;
                    memcpy(&x, level + 2 * i, 2);
                    b = io_store16(b, x, endian);
                }
            } else if (t->format == 4) {
                for (uint32_t i = 0; i < size / 4; ++i) {
                    uint32_t x;
                    memcpy(&x, level + 4 * i, 4);
                    b = io_store32(b, x, endian);
                }
            } else {
                memcpy(b, level, size);
                b += size;
            }
        }
    }
    return b;
}

// A block of entries of `entry` bytes each: in place where allowed and aligned,
// else copied into an aligned arena block with 16- and 32-bit values converted.
static void* texture_read_block(io_reader* r, memarena* arena, uint64_t bytes, int entry, uintptr_t align, int in_place,
                                const char* what)
{
    const uint8_t* p = io_read_bytes(r, bytes, what);
    if (!p)
        return nullptr;
    if (in_place && asset_aligned(p, align))
        return const_cast<uint8_t*>(p);
    uint8_t* dst = static_cast<uint8_t*>(memarena_push_align(arena, bytes, align));
    if (!dst)
        return nullptr;
    if (entry == 2) {
        for (uint64_t i = 0; i < bytes / 2; ++i) {
            uint16_t v;
            io_load16(&v, p + 2 * i, r->endian);
            memcpy(dst + 2 * i, &v, 2);
        }
    } else if (entry == 4) {
        for (uint64_t i = 0; i < bytes / 4; ++i) {
            uint32_t v;
            io_load32(&v, p + 4 * i, r->endian);
            memcpy(dst + 4 * i, &v, 4);
        }
    } else {
        memcpy(dst, p, bytes);
    }
    return dst;
}

int n3d_io_texture_read(io_reader* r, memarena* arena, n3d_texture* out, int ok_reuse_b)
{
    memset(out, 0, sizeof(*out));
    out->format = io_read8(r, "texture header does not fit");
    out->not_swizzled = io_read8(r, "texture header does not fit");
    out->w_log2 = io_read8(r, "texture header does not fit");
    out->h_log2 = io_read8(r, "texture header does not fit");
    out->min_u_level = io_read8(r, "texture header does not fit");
    out->min_v_level = io_read8(r, "texture header does not fit");
    if (r->failed)
        return 1;
    if (out->format < 1 || out->format > 4)
        return asset_refuse(r, "texture format is not 1 to 4");
    const int swizzled = out->not_swizzled == 0;
    // Row-by-row textures (images, effect sources) may be larger than the
    // swizzled layout reaches.
    if (swizzled && (out->w_log2 > N3D_TEXTURE_MAX_LOG2 || out->h_log2 > N3D_TEXTURE_MAX_LOG2))
        return asset_refuse(r, "texture log2 size above 8");
    if (out->w_log2 > N3D_TEXTURE_MAX_LOG2_NOT_SWIZZLED || out->h_log2 > N3D_TEXTURE_MAX_LOG2_NOT_SWIZZLED)
        return asset_refuse(r, "texture log2 size above 14");
    if (out->min_u_level > out->w_log2 || out->min_v_level > out->h_log2)
        return asset_refuse(r, "texture minimum mip level above its log2 size");
    if (swizzled && out->format == 4)
        return asset_refuse(r, "texture of format 4 stored swizzled");

    const int in_place = ok_reuse_b && r->endian == IO_ENDIAN_NATIVE;
    const int texel_bytes = texture_texel_bytes(out->format);
    if (out->format == 1 || out->format == 3) {
        out->colors_count = io_read16(r, "texture colour counts do not fit");
        out->shades_per_color = io_read16(r, "texture colour counts do not fit");
        if (r->failed)
            return 1;
        // The rasterizers read shade_table[(texel << 5) | shade] for every texel byte.
        if (out->colors_count != N3D_TEXTURE_COLORS_COUNT || out->shades_per_color != N3D_TEXTURE_SHADES_PER_COLOR)
            return asset_refuse(r, "texture colour and shade counts are not 256 and 32");
        // Format 1 colours and shades are ARGB1555 values, format 3 ones CLUT indices.
        const int entry = out->format == 1 ? 2 : 1;
        const uint64_t colors = (uint64_t)out->colors_count;
        const uint64_t shades = colors * (uint64_t)out->shades_per_color;
        out->palette =
            texture_read_block(r, arena, colors * entry, entry, entry, in_place, "texture palette does not fit");
        out->shade_table =
            texture_read_block(r, arena, shades * entry, entry, entry, in_place, "texture shade table does not fit");
        if (r->failed)
            return 1;
    }

    const int slots = texture_mip_table_count(out);
    out->mips = memarena_push_array_zeroed<uint8_t*>(arena, (uint64_t)slots);
    for (int u = out->w_log2; u >= out->min_u_level; --u) {
        for (int v = out->h_log2; v >= out->min_v_level; --v) {
            const uint64_t size = n3d_mipmap_size(out->format, swizzled, u, v);
            if (out->format == 4 && size % 4 != 0)
                return asset_refuse(r, "texture level of format 4 not whole texels");
            uint8_t* level = static_cast<uint8_t*>(texture_read_block(r, arena, size, texel_bytes,
                                                                      texture_level_align(out->format, swizzled),
                                                                      in_place, "texture mip level does not fit"));
            if (!level)
                return asset_refuse(r, "texture mip level does not fit");
            out->mips[texture_mip_slot(out, u, v)] = level;
        }
    }
    return 0;
}

const uint8_t* n3d_io_texture_load(memarena* arena, n3d_texture* out, const void* b, uint64_t size, int ok_reuse_b,
                                   int endian)
{
    io_reader r = io_reader_make(b, size, endian);
    int failed = n3d_io_texture_read(&r, arena, out, ok_reuse_b);
    return asset_finish(&r, failed, "texture");
}

// Not called by the system: a fixed two-byte tag (7, 2).
uint8_t* n3d_io_store_consts(void* bv, const n3d_texture* t, int endian)
{
    (void)t;
    (void)endian;
    uint8_t* b = static_cast<uint8_t*>(bv);
    b[0] = 7;
    b[1] = 2;
    return b + 2;
}

// ---- vertices -------------------------------------------------------------------

struct vertices_array_desc {
    uint32_t bit;
    int per_vertex_bytes;
    int is_bytes;  // joint indices: 4 bytes a vertex, never swapped
};

// File order of the arrays, one row per mask bit.
static const vertices_array_desc k_vertices_arrays[8] = {
    {N3D_VERTICES_STORAGE_XYZ, N3D_VERTICES_XYZ_BYTES, 0},
    {N3D_VERTICES_STORAGE_UV, N3D_VERTICES_UV_BYTES, 0},
    {N3D_VERTICES_STORAGE_N_XYZ, N3D_VERTICES_N_XYZ_BYTES, 0},
    {N3D_VERTICES_STORAGE_T_XYZ, N3D_VERTICES_T_XYZ_BYTES, 0},
    {N3D_VERTICES_STORAGE_B_XYZ, N3D_VERTICES_B_XYZ_BYTES, 0},
    {N3D_VERTICES_STORAGE_TB_NORM, N3D_VERTICES_TB_NORM_BYTES, 0},
    {N3D_VERTICES_STORAGE_JOINTS, N3D_VERTICES_JOINTS_BYTES, 1},
    {N3D_VERTICES_STORAGE_JOINTS_WEIGHTS, N3D_VERTICES_JOINTS_WEIGHTS_BYTES, 0},
};

// The array of row i of k_vertices_arrays. Each pointer is read and written as
// its own type (never through a void** view of the field).
static const void* vertices_array(const n3d_vertices* v, int i)
{
    switch (i) {
    case 0:
        return v->xyz;
    case 1:
        return v->uv;
    case 2:
        return v->n_xyz;
    case 3:
        return v->t_xyz;
    case 4:
        return v->b_xyz;
    case 5:
        return v->tb_norm;
    case 6:
        return v->joints;
    default:
        return v->joints_weights;
    }
}

static void vertices_array_set(n3d_vertices* v, int i, void* p)
{
    switch (i) {
    case 0:
        v->xyz = static_cast<float*>(p);
        break;
    case 1:
        v->uv = static_cast<float*>(p);
        break;
    case 2:
        v->n_xyz = static_cast<float*>(p);
        break;
    case 3:
        v->t_xyz = static_cast<float*>(p);
        break;
    case 4:
        v->b_xyz = static_cast<float*>(p);
        break;
    case 5:
        v->tb_norm = static_cast<float*>(p);
        break;
    case 6:
        v->joints = static_cast<uint8_t*>(p);
        break;
    default:
        v->joints_weights = static_cast<float*>(p);
        break;
    }
}

static uint64_t vertices_count(const n3d_vertices* v) { return v->count > 0 ? (uint64_t)v->count : 0; }

uint8_t* n3d_io_vertices_store(void* bv, const n3d_vertices* vertices, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    uint32_t mask = 0;
    for (int i = 0; i < 8; ++i)
        if (vertices_array(vertices, i))
            mask |= k_vertices_arrays[i].bit;
    if (mask == N3D_VERTICES_STORAGE_LEGACY)
        mask = 0;
    b = io_store32(b, mask, endian);
    b = io_store32(b, (uint32_t)vertices->count, endian);
    const uint64_t n = vertices_count(vertices);
    for (int i = 0; i < 8; ++i) {
        const void* a = vertices_array(vertices, i);
        if (!a)
            continue;
        const uint64_t bytes = n * (uint64_t)k_vertices_arrays[i].per_vertex_bytes;
        if (k_vertices_arrays[i].is_bytes) {
            memcpy(b, a, bytes);
            b += bytes;
        } else {
            b = io_store_many_f32(b, static_cast<const float*>(a), (uint32_t)(bytes / 4), endian);
        }
    }
    return b;
}

int n3d_io_vertices_read(io_reader* r, memarena* arena, n3d_vertices* out)
{
    uint32_t mask = io_read32(r, "vertices header does not fit");
    uint32_t count = io_read32(r, "vertices header does not fit");
    if (r->failed)
        return 1;
    if (mask & ~N3D_VERTICES_STORAGE_ALL)
        return asset_refuse(r, "vertices mask names unknown arrays");
    if (count > (uint32_t)INT_MAX)
        return asset_refuse(r, "vertices count above the largest int");
    const uint32_t named = mask == 0 ? N3D_VERTICES_STORAGE_LEGACY : mask;
    if (!(named & N3D_VERTICES_STORAGE_XYZ))
        return asset_refuse(r, "vertices record without positions");

    // Pass 0: the arrays' bytes, checked against the record before anything is pushed.
    uint64_t data_bytes = 0;
    uint64_t block_bytes = 0;
    for (int i = 0; i < 8; ++i) {
        if (!(named & k_vertices_arrays[i].bit))
            continue;
        const uint64_t bytes = (uint64_t)count * (uint64_t)k_vertices_arrays[i].per_vertex_bytes;
        data_bytes += bytes;
        block_bytes += bytes + 32;
    }
    if (data_bytes > io_reader_remaining(r))
        return asset_refuse(r, "vertices arrays do not fit");
    out->count = (int)count;

    // Pass 1: one 32-byte aligned block, each array in it aligned and padded to 32.
    memarena local;
    void* block = memarena_push_align(arena, block_bytes, 32);
    memarena_init(&local, "vertices_arena", block ? block_bytes : 0, block);
    for (int i = 0; i < 8; ++i) {
        if (!(named & k_vertices_arrays[i].bit))
            continue;
        const uint64_t bytes = (uint64_t)count * (uint64_t)k_vertices_arrays[i].per_vertex_bytes;
        void* dst = memarena_push_align_pad(&local, bytes, 32);
        vertices_array_set(out, i, dst);
        if (k_vertices_arrays[i].is_bytes) {
            const uint8_t* src = io_read_bytes(r, bytes, "vertices arrays do not fit");
            if (src && bytes)
                memcpy(dst, src, bytes);
        } else {
            io_read_many_f32(r, static_cast<float*>(dst), bytes / 4, "vertices arrays do not fit");
        }
    }
    return r->failed ? 1 : 0;
}

const uint8_t* n3d_io_vertices_load(n3d_vertices* out, memarena* arena, const void* b, uint64_t size, int endian)
{
    io_reader r = io_reader_make(b, size, endian);
    int failed = n3d_io_vertices_read(&r, arena, out);
    return asset_finish(&r, failed, "vertices");
}

uint8_t* n3d_io_asset_mesh_store(void* b, const n3d_asset_mesh* mesh, int endian)
{
    return n3d_io_vertices_store(b, &mesh->vertices, endian);
}

const uint8_t* n3d_io_asset_mesh_load(n3d_asset_mesh* out, memarena* arena, const void* b, uint64_t size, int endian)
{
    memset(out, 0, sizeof(*out));
    return n3d_io_vertices_load(&out->vertices, arena, b, size, endian);
}

uint8_t* n3d_io_mesh_store(void* b, const n3d_mesh* mesh, int endian)
{
    return n3d_io_vertices_store(b, &mesh->vertices, endian);
}

const uint8_t* n3d_io_mesh_load(n3d_mesh* out, memarena* arena, const void* b, uint64_t size, int endian)
{
    memset(static_cast<void*>(out), 0, sizeof(*out));
    return n3d_io_vertices_load(&out->vertices, arena, b, size, endian);
}

int n3d_vertices_dbg_cmp(const n3d_vertices* a, const n3d_vertices* b)
{
    if (a->count != b->count)
        return 1;
    int result = 0;
    const uint64_t n = vertices_count(a);
    for (int i = 0; i < 8; ++i) {
        const void* x = vertices_array(a, i);
        const void* y = vertices_array(b, i);
        if ((x == nullptr) != (y == nullptr)) {
            result = 1;
            continue;
        }
        if (x && memcmp(x, y, n * (uint64_t)k_vertices_arrays[i].per_vertex_bytes) != 0)
            result = 1;
    }
    return result;
}

// ---- coverage buffers ----------------------------------------------------------------

static uint64_t coverage_words(const n3d_coveragebuffer* cb)
{
    if (cb->w <= 0 || cb->h <= 0)
        return 0;
    return ((uint64_t)cb->w * (uint64_t)cb->h) >> 5;
}

uint8_t* n3d_io_coveragebuffer_store(void* bv, const n3d_coveragebuffer* cb, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)cb->w, endian);
    b = io_store32(b, (uint32_t)cb->h, endian);
    const uint64_t words = coverage_words(cb);
    for (uint64_t i = 0; i < words; ++i)
        b = io_store32(b, cb->u32[i], endian);
    return b;
}

int n3d_io_coveragebuffer_read(io_reader* r, memarena* arena, n3d_coveragebuffer* out)
{
    memset(out, 0, sizeof(*out));
    uint32_t w = io_read32(r, "coverage buffer size does not fit");
    uint32_t h = io_read32(r, "coverage buffer size does not fit");
    if (r->failed)
        return 1;
    if (w % 32 != 0)
        return asset_refuse(r, "coverage buffer width not a multiple of 32");
    if (w > (uint32_t)INT_MAX || h > (uint32_t)INT_MAX)
        return asset_refuse(r, "coverage buffer size above the largest int");
    const uint64_t words = ((uint64_t)w * (uint64_t)h) >> 5;
    if (words * 4 > io_reader_remaining(r))
        return asset_refuse(r, "coverage buffer words do not fit");
    out->w = (int)w;
    out->h = (int)h;
    out->u32 = memarena_push_array_align<uint32_t>(arena, words, MEMARENA_PLANE_ALIGN);
    for (uint64_t i = 0; i < words; ++i)
        out->u32[i] = io_read32(r, "coverage buffer words do not fit");
    return r->failed ? 1 : 0;
}

const uint8_t* n3d_io_coveragebuffer_load(memarena* arena, n3d_coveragebuffer* out, const void* b, uint64_t size,
                                          int endian)
{
    io_reader r = io_reader_make(b, size, endian);
    int failed = n3d_io_coveragebuffer_read(&r, arena, out);
    return asset_finish(&r, failed, "coverage buffer");
}

// ---- files -------------------------------------------------------------------------

n3d_texture* n3d_io_asset_texture_load_file(memarena* arena, const char* path)
{
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    int endian = 0;
    if (n3d_io_load_file(path, arena, &buffer, &size, &endian) != 0)
        return nullptr;
    n3d_texture* t = memarena_push_array<n3d_texture>(arena, 1);
    if (!n3d_io_texture_load(arena, t, buffer, size, 0, endian))
        return nullptr;
    return t;
}

n3d_asset_mesh* n3d_io_asset_mesh_load_file(memarena* arena, const char* path)
{
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    int endian = 0;
    if (n3d_io_load_file(path, arena, &buffer, &size, &endian) != 0)
        return nullptr;
    n3d_asset_mesh* mesh = memarena_push_array_zeroed<n3d_asset_mesh>(arena, 1);
    if (!n3d_io_asset_mesh_load(mesh, arena, buffer, size, endian))
        return nullptr;
    printf("%s -> vertices: %d\n", path, mesh->vertices.count);
    return mesh;
}
