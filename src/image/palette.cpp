#include "image/palette.h"

#include <cfloat>
#include <cstdio>
#include <cstring>

#include "container/n3d_io.h"
#include "core/crash.h"
#include "core/io.h"

void palette_init(palette* p, memarena* arena, int offset, int count)
{
    p->offset = offset;
    p->count = count;
    p->rgba8888 = static_cast<uint8_t*>(memarena_push_zeroed(arena, static_cast<uint64_t>(count) * 4u));
}

void palette_set_from_rgba8888(palette* p, int offset, int count, const uint8_t* rgba8888)
{
    // CLUT indices both the request and the slice cover, within the table.
    int64_t lo = offset > p->offset ? offset : p->offset;
    int64_t hi = static_cast<int64_t>(offset) + count;
    int64_t slice_end = static_cast<int64_t>(p->offset) + p->count;
    if (hi > slice_end)
        hi = slice_end;
    if (lo < 0)
        lo = 0;
    if (hi > PALETTE_CLUT_ENTRIES)
        hi = PALETTE_CLUT_ENTRIES;
    for (int64_t i = lo; i < hi; ++i)
        memcpy(p->rgba8888 + 4 * (i - p->offset), rgba8888 + 4 * i, 4);
}

// 16.16 weight of a mix factor, the factor limited to 0..1 (NaN gives 0) so the
// two weights stay within 0..65536 and every channel within 0..255.
static int32_t mix_fp16(float mix)
{
    double m = mix;
    if (!(m >= 0.0))
        m = 0.0;
    if (m > 1.0)
        m = 1.0;
    return static_cast<int32_t>(65536.0 * m);
}

static void palette_require_entries(const char* what, const palette* input, const palette* result)
{
    if (input->count < result->count)
        n3d_crash("src/palette_image", __LINE__, "%s: input palette has %d entries, the result needs %d\n", what,
                  input->count, result->count);
}

void palette_mix(palette* p, float mix, const palette* a, const palette* b)
{
    palette_require_entries("palette_mix", a, p);
    palette_require_entries("palette_mix", b, p);
    int32_t a_mix_fp16 = mix_fp16(mix);
    int32_t b_mix_fp16 = 65536 - a_mix_fp16;
    for (int k = 0; k < p->count; ++k) {
        for (int c = 0; c < 3; ++c) {
            int32_t va = a->rgba8888[4 * k + c];
            int32_t vb = b->rgba8888[4 * k + c];
            p->rgba8888[4 * k + c] = static_cast<uint8_t>((a_mix_fp16 * va + b_mix_fp16 * vb) >> 16);
        }
    }
}

static int32_t clamp_byte(int x) { return x < 0 ? 0 : (x > 255 ? 255 : x); }

void palette_fade_to_rgb(palette* p, float mix, const palette* a, int r, int g, int b)
{
    palette_require_entries("palette_fade_to_rgb", a, p);
    int32_t b_mix_fp16 = mix_fp16(mix);
    int32_t a_mix_fp16 = 65536 - b_mix_fp16;
    const int32_t colour[3] = {clamp_byte(r), clamp_byte(g), clamp_byte(b)};
    for (int k = 0; k < p->count; ++k) {
        for (int c = 0; c < 3; ++c) {
            int32_t va = a->rgba8888[4 * k + c];
            p->rgba8888[4 * k + c] = static_cast<uint8_t>((b_mix_fp16 * colour[c] + a_mix_fp16 * va) >> 16);
        }
    }
}

int palette_find_best_match_linear_pma(const palette* p, const vec4 linear_pma)
{
    // The query is encoded as it stands (not divided by its alpha) and compared
    // on all four components.
    vec4 query;
    vec4_srgb_from_linear(query, linear_pma);
    int best = 0;
    float best_distance = FLT_MAX;
    for (int k = 0; k < p->count; ++k) {
        vec4 entry;
        vec4_srgba_from_srgba8888(entry, p->rgba8888 + 4 * k);
        float d = 0.0f;
        for (int c = 0; c < 4; ++c)
            d += (entry[c] - query[c]) * (entry[c] - query[c]);
        if (d < best_distance) {
            best_distance = d;
            best = k;
        }
    }
    return best;
}

uint8_t* palette_io_store(uint8_t* b, const palette* p, int endian)
{
    b = io_store16(b, static_cast<uint16_t>(p->offset), endian);
    b = io_store16(b, static_cast<uint16_t>(p->count), endian);
    if (p->count > 0) {
        memcpy(b, p->rgba8888, static_cast<size_t>(p->count) * 4u);
        b += static_cast<size_t>(p->count) * 4u;
    }
    return b;
}

// The file loader's message line, then the file it was reading.
[[noreturn]] static void palette_load_failed(const char* path, const char* why)
{
    crash_fail(1, "failed load file\nin file \"%s\"%s\n", path, why);
}

const uint8_t* palette_io_load(memarena* arena, palette* out, const uint8_t* b, uint64_t size, int endian)
{
    out->offset = 0;
    out->count = 0;
    out->rgba8888 = nullptr;
    io_reader r = io_reader_make(b, size, endian);
    uint32_t offset = io_read16(&r, "palette offset");
    uint32_t count = io_read16(&r, "palette count");
    // A record must fit the bytes at hand and the 256 entries of a colour table.
    // A bad record says why here; the caller names what it was reading: the
    // resource cache the resource, the file loader the file.
    if (r.failed) {
        printf("palette record refused: palette header of 4 bytes does not fit in %llu bytes\n",
               (unsigned long long)size);
        return nullptr;
    }
    if (offset + count > PALETTE_CLUT_ENTRIES) {
        printf("palette record refused: %u entries from offset %u reach past %d colours\n", count, offset,
               PALETTE_CLUT_ENTRIES);
        return nullptr;
    }
    if (io_reader_remaining(&r) < 4u * count) {
        printf("palette record refused: %u entries need %u bytes, %llu follow the header\n", count, 4u * count,
               (unsigned long long)io_reader_remaining(&r));
        return nullptr;
    }
    const uint8_t* colours = io_read_bytes(&r, 4u * count, "palette colours");
    out->offset = static_cast<int32_t>(offset);
    out->count = static_cast<int32_t>(count);
    out->rgba8888 = static_cast<uint8_t*>(memarena_push(arena, 4u * count));
    if (count > 0)
        memcpy(out->rgba8888, colours, 4u * count);
    return r.p;
}

palette* palette_load_file(memarena* arena, const char* path)
{
    palette* p = memarena_push_array<palette>(arena, 1);
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    int endian = 0;
    if (n3d_io_load_file(path, arena, &buffer, &size, &endian) != 0)
        palette_load_failed(path, ": cannot be read");
    if (!palette_io_load(arena, p, buffer, size, endian))
        palette_load_failed(path, "");
    return p;
}
