#include "vexil/vexil_rsrc.h"

#include <cstring>

#include "core/io.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/mad.h"
#include "n3d/n3d_asset.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"

void* vexil_rsrc_decode_stencil(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    n3d_coveragebuffer* r = memarena_push_array_zeroed<n3d_coveragebuffer>(arena, 1);
    return n3d_io_coveragebuffer_load(arena, r, b, size, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_texture(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    n3d_texture* r = memarena_push_array_zeroed<n3d_texture>(arena, 1);
    return n3d_io_texture_load(arena, r, b, size, in_place, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_palette_animation(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    palette_animation* r = memarena_push_array_zeroed<palette_animation>(arena, 1);
    return palette_animation_io_load(arena, r, b, size, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_palette(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    palette* r = memarena_push_array_zeroed<palette>(arena, 1);
    return palette_io_load(arena, r, b, size, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_rle_image(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    vexil_rle_image* r = memarena_push_array_zeroed<vexil_rle_image>(arena, 1);
    return vexil_rle_image_load(arena, r, b, size, in_place, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_image(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    vexil_image* r = memarena_push_array_zeroed<vexil_image>(arena, 1);
    return vexil_image_load(arena, r, b, size, in_place, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_madpack(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    mad_datapack* r = memarena_push_array_zeroed<mad_datapack>(arena, 1);
    return mad_datapack_load(r, arena, b, size, endian) ? r : nullptr;
}

void* vexil_rsrc_decode_font(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    fontbitmap* r = memarena_push_array_zeroed<fontbitmap>(arena, 1);
    return fontbitmap_io_load(r, arena, b, size, endian) ? r : nullptr;
}

static char* vexil_strdup(memarena* arena, const char* s)
{
    size_t n = strlen(s);
    char* r = static_cast<char*>(memarena_push(arena, n + 1));
    memcpy(r, s, n + 1);
    return r;
}

void* vexil_load_resource(vexil* d, const char* name, int kind)
{
    // Keyed by name: names are unique across kinds within a production. One
    // reused under another kind would hand out an object of the wrong type,
    // so that production stops here instead.
    vexil_rsrc_node* tail = &d->rsrc_node_head;
    for (vexil_rsrc_node* n = &d->rsrc_node_head; n; n = n->next) {
        if (n->name && strcmp(n->name, name) == 0) {
            if (n->kind != kind)
                VEXIL_CRASH("\"%s\" was loaded with kind %d and cannot be used with kind %d\n", name, n->kind, kind);
            return n->ptr;
        }
        tail = n;
    }

    uint64_t tmp_marker = memarena_get_marker(d->tmp_arena);
    int endian = d->paks[0].header.endian;
    uint8_t* payload = nullptr;
    size_t size = 0;
    for (int i = d->paks_count - 1; i >= 0 && !payload; i--)
        payload = vexil_fs_get(&d->paks[i], kind, name, &size);
    if (!payload)
        VEXIL_CRASH("could not find \"%s\" with kind %d in pak file!\n", name, kind);

    const vexil_rsrc_kind* k = vexil_rsrc_kind_find(kind);
    if (!k)
        VEXIL_CRASH("kind %d??\n", kind);
    const int in_place = k->in_place && endian == IO_ENDIAN_NATIVE;
    void* result = nullptr;
    if (k->decoder) {
        // The payload's own marker is skipped: the first pack's byte order applies.
        if (size < 4)
            VEXIL_CRASH("failed load \"%s\" tag %d\n", name, kind);
        result = k->decoder(d->arena, payload + 4, size - 4, endian, in_place);
        if (!result)
            VEXIL_CRASH("failed load \"%s\" tag %d\n", name, kind);
    } else if (kind == VEXIL_RSRC_KIND_MUSIC) {
        vexil_music* m = memarena_push_array_zeroed<vexil_music>(d->arena, 1);
        m->buffer = payload;
        m->size = (uint32_t)size;
        result = m;
    } else if (kind == VEXIL_RSRC_KIND_TEXT) {
        // The string must end inside its payload (the writer pads with zeros).
        if (!memchr(payload, 0, size))
            VEXIL_CRASH("text \"%s\" is not terminated inside its payload of %zu bytes\n", name, size);
        result = payload;
    }

    vexil_rsrc_node* node = memarena_push_array_zeroed<vexil_rsrc_node>(d->arena, 1);
    node->name = vexil_strdup(d->arena, name);
    node->ptr = result;
    node->kind = kind;
    tail->next = node;
    memarena_goto_marker(d->tmp_arena, tmp_marker);
    return result;
}

n3d_coveragebuffer* vexil_load_stencil(vexil* d, const char* name)
{
    return static_cast<n3d_coveragebuffer*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_STENCIL));
}
n3d_texture* vexil_load_texture(vexil* d, const char* name)
{
    return static_cast<n3d_texture*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_TEXTURE));
}
palette_animation* vexil_load_palette_animation(vexil* d, const char* name)
{
    return static_cast<palette_animation*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_PALETTE_ANIMATION));
}
palette* vexil_load_palette(vexil* d, const char* name)
{
    return static_cast<palette*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_PALETTE));
}
vexil_rle_image* vexil_load_rle_image(vexil* d, const char* name)
{
    return static_cast<vexil_rle_image*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_RLE_IMAGE));
}
vexil_image* vexil_load_image(vexil* d, const char* name)
{
    return static_cast<vexil_image*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_IMAGE));
}
mad_datapack* vexil_load_madpack(vexil* d, const char* name)
{
    return static_cast<mad_datapack*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_MADPACK));
}
fontbitmap* vexil_load_font(vexil* d, const char* name)
{
    return static_cast<fontbitmap*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_FONT));
}
vexil_music* vexil_load_music(vexil* d, const char* name)
{
    return static_cast<vexil_music*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_MUSIC));
}

const char* vexil_rsrc_name(vexil* d, const void* ptr)
{
    for (vexil_rsrc_node* n = d->rsrc_node_head.next; n; n = n->next)
        if (n->ptr == ptr)
            return n->name;
    return "?";
}
