// The resource cache: a (name, kind) request of a scene, loader or the runtime
// turned into a decoded object, once per name, searching the packs from the last
// to the first; and the one table of resource kinds that the cache, the fuzz
// targets and their scripts read. Main thread only; results and cache nodes live in
// "vexil_arena" until exit. Every failure (no such resource, a record that does
// not decode) stops through the crash path naming the resource and its kind.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "vexil/vexil.h"
#include "vexil/vexil_fs.h"

struct n3d_coveragebuffer;

// Reads one record of its kind from the size bytes at b (after the payload's own
// marker) into a result pushed from the arena, in byte order endian; in_place lets
// it point pixel data into the pack image. Null on failure.
typedef void* vexil_rsrc_decode_func(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);

void* vexil_rsrc_decode_stencil(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_texture(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_palette_animation(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_palette(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_rle_image(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_image(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_madpack(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);
void* vexil_rsrc_decode_font(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);

struct vexil_rsrc_kind {
    const char* name;                 // also the name of the kind's fuzz target
    int number;                       // the directory entry's tag
    vexil_rsrc_decode_func* decoder;  // null: the payload itself is the result (music, text)
    int in_place;                     // the decoder may use the pack image in place
};

// One row a line, in kind order: fuzz/CMakeLists.txt reads the names of the rows
// that have a decoder from this text.
inline constexpr vexil_rsrc_kind VEXIL_RSRC_KINDS[] = {
    {"stencil", VEXIL_RSRC_KIND_STENCIL, vexil_rsrc_decode_stencil, 0},
    {"texture", VEXIL_RSRC_KIND_TEXTURE, vexil_rsrc_decode_texture, 1},
    {"palette_animation", VEXIL_RSRC_KIND_PALETTE_ANIMATION, vexil_rsrc_decode_palette_animation, 0},
    {"palette", VEXIL_RSRC_KIND_PALETTE, vexil_rsrc_decode_palette, 0},
    {"rle_image", VEXIL_RSRC_KIND_RLE_IMAGE, vexil_rsrc_decode_rle_image, 1},
    {"image", VEXIL_RSRC_KIND_IMAGE, vexil_rsrc_decode_image, 1},
    {"madpack", VEXIL_RSRC_KIND_MADPACK, vexil_rsrc_decode_madpack, 0},
    {"font", VEXIL_RSRC_KIND_FONT, vexil_rsrc_decode_font, 0},
    {"music", VEXIL_RSRC_KIND_MUSIC, nullptr, 1},
    {"text", VEXIL_RSRC_KIND_TEXT, nullptr, 1},
};
inline constexpr int VEXIL_RSRC_KINDS_COUNT = (int)(sizeof VEXIL_RSRC_KINDS / sizeof VEXIL_RSRC_KINDS[0]);

constexpr bool vexil_rsrc_kinds_in_order()
{
    for (int i = 0; i < VEXIL_RSRC_KINDS_COUNT; i++)
        if (VEXIL_RSRC_KINDS[i].number != i)
            return false;
    return true;
}
static_assert(vexil_rsrc_kinds_in_order(), "a kind's row sits at its number");

// The kind's row, or null for a number that is no kind.
constexpr const vexil_rsrc_kind* vexil_rsrc_kind_find(int kind)
{
    return kind >= 0 && kind < VEXIL_RSRC_KINDS_COUNT ? &VEXIL_RSRC_KINDS[kind] : nullptr;
}

// The decoded object for (name, kind), decoded once per name. Never null.
void* vexil_load_resource(vexil* d, const char* name, int kind);
n3d_coveragebuffer* vexil_load_stencil(vexil* d, const char* name);
n3d_texture* vexil_load_texture(vexil* d, const char* name);
palette_animation* vexil_load_palette_animation(vexil* d, const char* name);
palette* vexil_load_palette(vexil* d, const char* name);
vexil_rle_image* vexil_load_rle_image(vexil* d, const char* name);
vexil_image* vexil_load_image(vexil* d, const char* name);
mad_datapack* vexil_load_madpack(vexil* d, const char* name);
fontbitmap* vexil_load_font(vexil* d, const char* name);
vexil_music* vexil_load_music(vexil* d, const char* name);
// The name a cached object was requested by, for messages; "?" when it is none.
const char* vexil_rsrc_name(vexil* d, const void* ptr);
