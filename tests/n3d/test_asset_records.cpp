// Texture, vertex list and coverage-buffer records: round trips in both byte
// orders, the byte layout of an opposite-order file, the level table, in-place
// reading, and the bounded readers refusing truncated and out-of-range records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"

namespace {

using test_arena = qf_test_arena<8u << 20>;

// An exactly sized copy of the first n bytes, so AddressSanitizer sees any read past them.
std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* data, size_t n)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    if (n)
        memcpy(p.get(), data, n);
    return p;
}

int texel_bytes(int format) { return format == 2 ? 2 : format == 4 ? 4 : 1; }
// Palette and shade-table entries: ARGB1555 for format 1, CLUT indices for format 3.
int entry_bytes(int format) { return format == 1 ? 2 : 1; }

// A texture of the given shape with every level, palette and shade-table byte
// set from a counter, so any misplaced or dropped byte shows.
n3d_texture make_texture(memarena* arena, int format, int swizzled, int w_log2, int h_log2, int min_u, int min_v)
{
    n3d_texture t{};
    t.format = format;
    t.not_swizzled = swizzled ? 0 : 1;
    t.w_log2 = w_log2;
    t.h_log2 = h_log2;
    t.min_u_level = min_u;
    t.min_v_level = min_v;
    uint8_t counter = 1;
    if (format == 1 || format == 3) {
        t.colors_count = 256;
        t.shades_per_color = 32;
        size_t e = (size_t)entry_bytes(format);
        uint8_t* pal = static_cast<uint8_t*>(memarena_push_align(arena, 256 * e, 8));
        uint8_t* st = static_cast<uint8_t*>(memarena_push_align(arena, 256 * 32 * e, 8));
        for (size_t i = 0; i < 256 * e; ++i)
            pal[i] = counter += 7;
        for (size_t i = 0; i < 256 * 32 * e; ++i)
            st[i] = counter += 3;
        t.palette = pal;
        t.shade_table = st;
    }
    int slots = (((h_log2 - min_v) << 7) | (w_log2 - min_u)) + 1;
    t.mips = memarena_push_array_zeroed<uint8_t*>(arena, (uint64_t)slots);
    for (int u = w_log2; u >= min_u; --u)
        for (int v = h_log2; v >= min_v; --v) {
            uint32_t size = n3d_mipmap_size(format, swizzled, u, v);
            uint8_t* level = static_cast<uint8_t*>(memarena_push_align(arena, size, 8));
            for (uint32_t i = 0; i < size; ++i)
                level[i] = counter += 5;
            t.mips[((h_log2 - v) << 7) | (w_log2 - u)] = level;
        }
    return t;
}

uint64_t texture_record_bytes(const n3d_texture& t)
{
    uint64_t n = 6;
    if (t.format == 1 || t.format == 3)
        n += 4 + (uint64_t)entry_bytes(t.format) * 256 * 33;
    for (int u = t.w_log2; u >= t.min_u_level; --u)
        for (int v = t.h_log2; v >= t.min_v_level; --v)
            n += n3d_mipmap_size(t.format, t.not_swizzled == 0, u, v);
    return n;
}

void expect_textures_equal(const n3d_texture& a, const n3d_texture& b)
{
    ASSERT_EQ(a.format, b.format);
    ASSERT_EQ(a.not_swizzled, b.not_swizzled);
    ASSERT_EQ(a.w_log2, b.w_log2);
    ASSERT_EQ(a.h_log2, b.h_log2);
    ASSERT_EQ(a.min_u_level, b.min_u_level);
    ASSERT_EQ(a.min_v_level, b.min_v_level);
    ASSERT_EQ(a.colors_count, b.colors_count);
    ASSERT_EQ(a.shades_per_color, b.shades_per_color);
    size_t e = (size_t)entry_bytes(a.format);
    if (a.format == 1 || a.format == 3) {
        EXPECT_EQ(0, memcmp(a.palette, b.palette, 256 * e));
        EXPECT_EQ(0, memcmp(a.shade_table, b.shade_table, 256 * 32 * e));
    } else {
        EXPECT_EQ(nullptr, b.palette);
        EXPECT_EQ(nullptr, b.shade_table);
    }
    EXPECT_EQ(1, n3d_textures_dbg_cmp(&a, &b));
    for (int u = a.w_log2; u >= a.min_u_level; --u)
        for (int v = a.h_log2; v >= a.min_v_level; --v) {
            int slot = ((a.h_log2 - v) << 7) | (a.w_log2 - u);
            uint32_t size = n3d_mipmap_size(a.format, a.not_swizzled == 0, u, v);
            ASSERT_NE(nullptr, b.mips[slot]) << "level " << u << "x" << v;
            EXPECT_EQ(0, memcmp(a.mips[slot], b.mips[slot], size)) << "level " << u << "x" << v;
        }
}

struct texture_shape {
    int format, swizzled, w_log2, h_log2, min_u, min_v;
};

const texture_shape k_texture_shapes[] = {
    {1, 1, 3, 4, 2, 2},                        // index8 shown as ARGB1555, swizzled with mips
    {1, 0, 2, 2, 2, 2},   {2, 1, 6, 2, 2, 2},  // 16-bit words swap
    {2, 0, 4, 3, 2, 2},   {3, 1, 2, 3, 2, 2}, {3, 0, 5, 2, 5, 2}, {4, 0, 3, 2, 2, 2},  // 32-bit bump texels swap whole
    {3, 0, 9, 2, 7, 2},  // row by row wider than 256 (images over the overlay)
    {1, 0, 2, 10, 2, 10},
};

}  // namespace

TEST(AssetTexture, RoundTripsEveryFormatInBothByteOrders)
{
    for (const texture_shape& s : k_texture_shapes) {
        for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
            SCOPED_TRACE("format " + std::to_string(s.format) + " swizzled " + std::to_string(s.swizzled) + " endian " +
                         std::to_string(endian));
            test_arena ta;
            n3d_texture t = make_texture(&ta.arena, s.format, s.swizzled, s.w_log2, s.h_log2, s.min_u, s.min_v);
            std::vector<uint8_t> buf(texture_record_bytes(t) + 64);
            uint8_t* end = n3d_io_texture_store(buf.data(), &t, endian);
            ASSERT_EQ(texture_record_bytes(t), (uint64_t)(end - buf.data()));
            for (int reuse : {0, 1}) {
                n3d_texture back;
                const uint8_t* after =
                    n3d_io_texture_load(&ta.arena, &back, buf.data(), (uint64_t)(end - buf.data()), reuse, endian);
                ASSERT_EQ(end, after);
                expect_textures_equal(t, back);
            }
        }
    }
}

TEST(AssetTexture, OppositeOrderSwapsEveryWideFieldAndNoByte)
{
    for (const texture_shape& s : k_texture_shapes) {
        SCOPED_TRACE("format " + std::to_string(s.format));
        test_arena ta;
        n3d_texture t = make_texture(&ta.arena, s.format, s.swizzled, s.w_log2, s.h_log2, s.min_u, s.min_v);
        std::vector<uint8_t> native(texture_record_bytes(t)), swapped(texture_record_bytes(t));
        n3d_io_texture_store(native.data(), &t, IO_ENDIAN_NATIVE);
        n3d_io_texture_store(swapped.data(), &t, IO_ENDIAN_SWAPPED);
        // Header bytes never swap; after them come u16 counts, palette and shade
        // table (format 1: u16, format 3: bytes), then levels of the texel width.
        size_t pos = 0;
        for (; pos < 6; ++pos)
            EXPECT_EQ(native[pos], swapped[pos]);
        auto check_run = [&](size_t bytes, size_t width) {
            for (size_t i = 0; i < bytes; ++i)
                ASSERT_EQ(native[pos + i], swapped[pos + (i / width) * width + (width - 1 - i % width)])
                    << "offset " << pos + i;
            pos += bytes;
        };
        if (s.format == 1 || s.format == 3) {
            check_run(4, 2);
            check_run(256 * 33 * (size_t)entry_bytes(s.format), (size_t)entry_bytes(s.format));
        }
        check_run(native.size() - pos, (size_t)texel_bytes(s.format));
    }
}

TEST(AssetTexture, LevelTableOfAFullChain)
{
    // 256 x 256 with both minimum levels 0: (8 << 7 | 8) + 1 = 1033 slots, 81 set.
    test_arena ta(16u << 20);
    // Unswizzled 32-bit levels are whole words, so placed with the levels after
    // the 6 header bytes on 4-byte words every level is read in place.
    n3d_texture t = make_texture(&ta.arena, 4, 0, 8, 8, 0, 0);
    std::vector<uint8_t> buf(texture_record_bytes(t) + 16);
    uint8_t* start = buf.data() + (4 - ((uintptr_t)buf.data() + 6) % 4) % 4;
    uint8_t* end = n3d_io_texture_store(start, &t, IO_ENDIAN_NATIVE);
    uint64_t before = memarena_get_marker(&ta.arena);
    n3d_texture back;
    ASSERT_EQ(end, n3d_io_texture_load(&ta.arena, &back, start, (uint64_t)(end - start), 1, IO_ENDIAN_NATIVE));
    // In place nothing but the table is pushed: its size tells the slot count.
    uint64_t table_bytes = memarena_get_marker(&ta.arena) - before;
    EXPECT_GE(table_bytes, 1033u * sizeof(uint8_t*));
    EXPECT_LT(table_bytes, 1033u * sizeof(uint8_t*) + alignof(uint8_t*));
    int set = 0;
    for (int i = 0; i < 1033; ++i)
        set += back.mips[i] != nullptr;
    EXPECT_EQ(81, set);
    expect_textures_equal(t, back);
}

TEST(AssetTexture, SmallBumpTextureIsOneLevelOf64Bytes)
{
    test_arena ta;
    n3d_texture t = make_texture(&ta.arena, 4, 0, 2, 2, 2, 2);
    std::vector<uint8_t> buf(256);
    uint8_t* end = n3d_io_texture_store(buf.data(), &t, IO_ENDIAN_SWAPPED);
    EXPECT_EQ(6 + 64, end - buf.data());
    n3d_texture back;
    EXPECT_EQ(end, n3d_io_texture_load(&ta.arena, &back, buf.data(), buf.size(), 0, IO_ENDIAN_SWAPPED));
    expect_textures_equal(t, back);
}

TEST(AssetTexture, InPlaceOnlyForNativeAlignedWords)
{
    test_arena ta;
    n3d_texture t = make_texture(&ta.arena, 3, 1, 2, 2, 2, 2);
    n3d_texture t2 = make_texture(&ta.arena, 2, 1, 2, 2, 2, 2);
    n3d_texture t3 = make_texture(&ta.arena, 2, 0, 2, 2, 2, 2);
    alignas(16) uint8_t buf[16 + 6 + 4 + 2 * 256 * 33 + 64];
    for (int offset : {0, 1, 2}) {
        for (const n3d_texture* src : {&t, &t2, &t3}) {
            SCOPED_TRACE("format " + std::to_string(src->format) + " offset " + std::to_string(offset));
            uint8_t* start = buf + offset;
            uint8_t* end = n3d_io_texture_store(start, src, IO_ENDIAN_NATIVE);
            const uint64_t size = (uint64_t)(end - start);
            n3d_texture back;
            ASSERT_EQ(end, n3d_io_texture_load(&ta.arena, &back, start, size, 1, IO_ENDIAN_NATIVE));
            expect_textures_equal(*src, back);
            const uint8_t* level = back.mips[0];
            const bool inside = level >= start && level < end;
            if (src->format == 3) {
                // The palette follows the 10 header bytes, the shade table the palette.
                EXPECT_EQ(start + 10, back.palette);
                EXPECT_EQ(start + 10 + 256, back.shade_table);
                EXPECT_EQ(((uintptr_t)(start + 10 + 256 * 33) % 4) == 0, inside);
            } else if (src->not_swizzled) {
                // Row-by-row 16-bit texels are read one at a time: 2-byte alignment will do.
                EXPECT_EQ(((uintptr_t)(start + 6) % 2) == 0, inside);
            } else {
                // Swizzled 16-bit levels are read four texels (8 bytes) at once.
                EXPECT_EQ(((uintptr_t)(start + 6) % 8) == 0, inside);
            }
            EXPECT_EQ(0u, (uintptr_t)level % (src->not_swizzled ? 2 : src->format == 2 ? 8 : 4));
            // Without permission, or in the other order, everything is copied.
            n3d_texture copy;
            ASSERT_EQ(end, n3d_io_texture_load(&ta.arena, &copy, start, size, 0, IO_ENDIAN_NATIVE));
            EXPECT_FALSE(copy.mips[0] >= start && copy.mips[0] < end);
        }
    }
}

TEST(AssetTexture, RefusesTruncatedRecordsAndBadValues)
{
    test_arena ta;
    n3d_texture t = make_texture(&ta.arena, 1, 1, 2, 3, 2, 2);
    std::vector<uint8_t> good(texture_record_bytes(t));
    n3d_io_texture_store(good.data(), &t, IO_ENDIAN_NATIVE);
    // Every shorter prefix fails, inside the header, palette, shade table or a level.
    for (size_t n = 0; n < good.size(); n = (n + 1 == good.size() ? n + 1
                                             : n < 64             ? n + 1
                                                                  : std::min(n + 97, good.size() - 1))) {
        auto p = exact_copy(good.data(), n);
        n3d_texture back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, n3d_io_texture_load(&ta.arena, &back, p.get(), n, 1, IO_ENDIAN_NATIVE)) << n;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(" fit")) << out;
    }
    struct row {
        const char* why;
        size_t offset;
        std::vector<uint8_t> bytes;
        const char* message;
    };
    const row rows[] = {
        {"format 0", 0, {0}, "format is not 1 to 4"},
        {"format 5", 0, {5}, "format is not 1 to 4"},
        {"width 512", 2, {9}, "log2 size above 8"},
        {"height 512", 3, {9}, "log2 size above 8"},
        {"row-by-row width 32768", 1, {1, 15}, "log2 size above 14"},
        {"row-by-row height 32768", 1, {1, 2, 15}, "log2 size above 14"},
        {"min u above w", 4, {3}, "minimum mip level"},
        {"min v above h", 5, {4}, "minimum mip level"},
        {"255 colours", 6, {255, 0}, "256 and 32"},
        {"257 colours", 6, {1, 1}, "256 and 32"},
        {"31 shades", 8, {31, 0}, "256 and 32"},
        {"swizzled bump map", 0, {4}, "format 4 stored swizzled"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        memcpy(bad.data() + r.offset, r.bytes.data(), r.bytes.size());
        auto p = exact_copy(bad.data(), bad.size());
        n3d_texture back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, n3d_io_texture_load(&ta.arena, &back, p.get(), bad.size(), 1, IO_ENDIAN_NATIVE)) << r.why;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.message)) << r.why << ": " << out;
        EXPECT_EQ(0u, out.find("texture record refused: ")) << out;
    }
}

// ---- vertices ----------------------------------------------------------------

namespace {

struct vertex_fixture {
    std::vector<float> xyz, uv, n, t, b, tb, w;
    std::vector<uint8_t> joints;
    n3d_vertices v{};
    // Arrays named by mask (the storage bits), count vertices of distinct values.
    vertex_fixture(uint32_t mask, int count)
    {
        float f = 0.25f;
        auto fill = [&](std::vector<float>& a, int per) {
            a.resize((size_t)per * count);
            for (float& x : a)
                x = (f += 1.5f);
        };
        v.count = count;
        if (mask & 1)
            fill(xyz, 3), v.xyz = xyz.data();
        if (mask & 2)
            fill(uv, 2), v.uv = uv.data();
        if (mask & 4)
            fill(n, 3), v.n_xyz = n.data();
        if (mask & 8)
            fill(t, 3), v.t_xyz = t.data();
        if (mask & 16)
            fill(b, 3), v.b_xyz = b.data();
        if (mask & 32)
            fill(tb, 2), v.tb_norm = tb.data();
        if (mask & 64) {
            joints.resize(4u * count);
            for (size_t i = 0; i < joints.size(); ++i)
                joints[i] = (uint8_t)(i * 37 + 1);
            v.joints = joints.data();
        }
        if (mask & 128)
            fill(w, 4), v.joints_weights = w.data();
    }
};

uint32_t stored_mask(const uint8_t* b, int endian)
{
    uint32_t m;
    io_load32(&m, b, endian);
    return m;
}

}  // namespace

TEST(AssetVertices, MaskRoundTripsBothOrders)
{
    struct row {
        uint32_t arrays;
        uint32_t mask_in_file;
    };
    // Positions, uvs and normals give 7; the six legacy arrays give 0; with
    // joints and weights 255; a lone joint array keeps its own bit.
    const row rows[] = {{7, 7}, {63, 0}, {255, 255}, {1 | 64, 65}, {1 | 128 | 32, 161}, {1, 1}};
    for (const row& r : rows) {
        for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
            SCOPED_TRACE("arrays " + std::to_string(r.arrays) + " endian " + std::to_string(endian));
            vertex_fixture fx(r.arrays, 5);
            std::vector<uint8_t> buf(4096);
            uint8_t* end = n3d_io_vertices_store(buf.data(), &fx.v, endian);
            EXPECT_EQ(r.mask_in_file, stored_mask(buf.data(), endian));
            test_arena ta;
            n3d_vertices back{};
            ASSERT_EQ(end, n3d_io_vertices_load(&back, &ta.arena, buf.data(), (uint64_t)(end - buf.data()), endian));
            EXPECT_EQ(0, n3d_vertices_dbg_cmp(&fx.v, &back));
            // Loaded arrays share one block, each on a 32-byte boundary.
            for (const void* p : {(const void*)back.xyz, (const void*)back.uv, (const void*)back.n_xyz,
                                  (const void*)back.t_xyz, (const void*)back.b_xyz, (const void*)back.tb_norm,
                                  (const void*)back.joints, (const void*)back.joints_weights})
                if (p) {
                    EXPECT_EQ(0u, (uintptr_t)p % 32);
                }
        }
    }
}

TEST(AssetVertices, OppositeOrderSwapsFloatsNotJoints)
{
    vertex_fixture fx(255, 3);
    std::vector<uint8_t> native(4096), swapped(4096);
    uint8_t* end = n3d_io_vertices_store(native.data(), &fx.v, IO_ENDIAN_NATIVE);
    n3d_io_vertices_store(swapped.data(), &fx.v, IO_ENDIAN_SWAPPED);
    const size_t n = (size_t)(end - native.data());
    // mask, count, xyz, uv, n, t, b, tb (all 4-byte words), joints (bytes), weights.
    const size_t joints_at = 8 + 3 * (12 + 8 + 12 + 12 + 12 + 8);
    for (size_t i = 0; i < n; ++i) {
        const bool in_joints = i >= joints_at && i < joints_at + 12;
        const size_t j = in_joints ? i : (i & ~size_t(3)) + (3 - (i & 3));
        ASSERT_EQ(native[i], swapped[j]) << i;
    }
}

TEST(AssetVertices, DebugComparison)
{
    vertex_fixture a(63, 4), b(63, 4), c(61, 4);
    EXPECT_EQ(0, n3d_vertices_dbg_cmp(&a.v, &a.v));
    EXPECT_EQ(0, n3d_vertices_dbg_cmp(&a.v, &b.v));
    EXPECT_EQ(1, n3d_vertices_dbg_cmp(&a.v, &c.v));  // uv missing in one
    b.n[7] += 1.0f;
    EXPECT_EQ(1, n3d_vertices_dbg_cmp(&a.v, &b.v));
    vertex_fixture d(63, 3);
    EXPECT_EQ(1, n3d_vertices_dbg_cmp(&a.v, &d.v));
}

TEST(AssetVertices, RefusesTruncatedRecordsAndBadValues)
{
    vertex_fixture fx(255, 2);
    std::vector<uint8_t> good(4096);
    good.resize((size_t)(n3d_io_vertices_store(good.data(), &fx.v, IO_ENDIAN_NATIVE) - good.data()));
    test_arena ta;
    for (size_t n = 0; n < good.size(); ++n) {
        auto p = exact_copy(good.data(), n);
        n3d_vertices back{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, n3d_io_vertices_load(&back, &ta.arena, p.get(), n, IO_ENDIAN_NATIVE)) << n;
        EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(" fit"));
    }
    struct row {
        const char* why;
        uint32_t mask, count;
        const char* message;
    };
    const row rows[] = {
        {"unknown mask bit", 256 | 1, 2, "unknown arrays"},
        {"no positions", 2, 2, "without positions"},
        {"count above int", 255, 0x80000000u, "largest int"},
        {"arrays larger than the record", 255, 0x10000000u, "arrays do not fit"},
        {"one vertex too many", 255, 3, "arrays do not fit"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        io_store32(bad.data(), r.mask, IO_ENDIAN_NATIVE);
        io_store32(bad.data() + 4, r.count, IO_ENDIAN_NATIVE);
        auto p = exact_copy(bad.data(), bad.size());
        n3d_vertices back{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, n3d_io_vertices_load(&back, &ta.arena, p.get(), bad.size(), IO_ENDIAN_NATIVE)) << r.why;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.message)) << r.why << ": " << out;
    }
}

// ---- coverage buffers ---------------------------------------------------------

TEST(AssetCoverage, RoundTripsBothOrders)
{
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        test_arena ta;
        n3d_coveragebuffer cb;
        n3d_coveragebuffer_init(&cb, 64, 3, &ta.arena);
        for (int i = 0; i < 6; ++i)
            cb.u32[i] = 0x80000001u * (uint32_t)(i + 1) ^ 0x00FF0000u;
        std::vector<uint8_t> buf(8 + 24);
        uint8_t* end = n3d_io_coveragebuffer_store(buf.data(), &cb, endian);
        ASSERT_EQ(buf.data() + buf.size(), end);
        uint32_t w;
        io_load32(&w, buf.data(), endian);
        EXPECT_EQ(64u, w);
        n3d_coveragebuffer back;
        ASSERT_EQ(end, n3d_io_coveragebuffer_load(&ta.arena, &back, buf.data(), buf.size(), endian));
        EXPECT_EQ(64, back.w);
        EXPECT_EQ(3, back.h);
        EXPECT_EQ(0, memcmp(cb.u32, back.u32, 24));
        EXPECT_EQ(0u, (uintptr_t)back.u32 % 32);
    }
}

TEST(AssetCoverage, RefusesTruncatedRecordsAndBadSizes)
{
    test_arena ta;
    std::vector<uint8_t> good(8 + 8);
    io_store32(good.data(), 32, IO_ENDIAN_NATIVE);
    io_store32(good.data() + 4, 2, IO_ENDIAN_NATIVE);
    for (size_t n = 0; n < good.size(); ++n) {
        auto p = exact_copy(good.data(), n);
        n3d_coveragebuffer back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, n3d_io_coveragebuffer_load(&ta.arena, &back, p.get(), n, IO_ENDIAN_NATIVE)) << n;
        EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(" fit"));
    }
    struct row {
        uint32_t w, h;
        const char* message;
    };
    const row rows[] = {
        {33, 2, "multiple of 32"},
        {0xFFFFFFE0u, 1, "largest int"},
        {32, 0x7FFFFFFFu, "words do not fit"},
        {64, 2, "words do not fit"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        io_store32(bad.data(), r.w, IO_ENDIAN_NATIVE);
        io_store32(bad.data() + 4, r.h, IO_ENDIAN_NATIVE);
        n3d_coveragebuffer back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, n3d_io_coveragebuffer_load(&ta.arena, &back, bad.data(), bad.size(), IO_ENDIAN_NATIVE));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.message)) << r.w << "x" << r.h << ": " << out;
    }
}

// ---- files ----------------------------------------------------------------------

TEST(AssetFiles, TextureAndMeshFilesLoadInEitherOrder)
{
    std::string dir = capture_temp_dir();
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        test_arena ta;
        n3d_texture t = make_texture(&ta.arena, 2, 1, 3, 3, 2, 2);
        std::vector<uint8_t> buf(texture_record_bytes(t));
        uint8_t* end = n3d_io_texture_store(buf.data(), &t, endian);
        std::string tpath = dir + "/t" + std::to_string(endian) + ".tmap";
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, n3d_io_store_file(tpath.c_str(), buf.data(), end, endian));
        n3d_texture* back = n3d_io_asset_texture_load_file(&ta.arena, tpath.c_str());
        testing::internal::GetCapturedStdout();
        ASSERT_NE(nullptr, back);
        expect_textures_equal(t, *back);

        vertex_fixture fx(7, 6);
        n3d_asset_mesh mesh{fx.v};
        std::vector<uint8_t> mbuf(4096);
        uint8_t* mend = n3d_io_asset_mesh_store(mbuf.data(), &mesh, endian);
        std::string mpath = dir + "/m" + std::to_string(endian) + ".mesh";
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, n3d_io_store_file(mpath.c_str(), mbuf.data(), mend, endian));
        testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        n3d_asset_mesh* mback = n3d_io_asset_mesh_load_file(&ta.arena, mpath.c_str());
        EXPECT_EQ(mpath + " -> vertices: 6\n", testing::internal::GetCapturedStdout());
        ASSERT_NE(nullptr, mback);
        EXPECT_EQ(0, n3d_vertices_dbg_cmp(&fx.v, &mback->vertices));
        EXPECT_EQ(nullptr, mback->vertices.t_xyz);
        EXPECT_EQ(nullptr, mback->vertices.joints);

        // A file cut short inside its record fails the load; so does a missing one.
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, n3d_io_store_file(tpath.c_str(), buf.data(), end - 1, endian));
        EXPECT_EQ(nullptr, n3d_io_asset_texture_load_file(&ta.arena, tpath.c_str()));
        EXPECT_EQ(nullptr, n3d_io_asset_mesh_load_file(&ta.arena, (dir + "/missing.mesh").c_str()));
        testing::internal::GetCapturedStdout();
    }
}

TEST(AssetFiles, BadMarkerIsFatal)
{
    std::string path = capture_temp_dir() + "/bad.tmap";
    FILE* f = fopen(path.c_str(), "wb");
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    fwrite(bytes, 1, sizeof bytes, f);
    fclose(f);
    captured_run r = capture_run([&] {
        test_arena ta;
        n3d_io_asset_texture_load_file(&ta.arena, path.c_str());
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("invalid endian marker?\n"));
}

TEST(AssetTexture, StoreConstsWritesTwoBytes)
{
    uint8_t b[4] = {0, 0, 9, 9};
    EXPECT_EQ(b + 2, n3d_io_store_consts(b, nullptr, IO_ENDIAN_SWAPPED));
    EXPECT_EQ(7, b[0]);
    EXPECT_EQ(2, b[1]);
    EXPECT_EQ(9, b[2]);
}

TEST(VerticesAlloc, PushesExactlyThePresentAttributes)
{
    // Rows: the attributes present in src; dst starts with sentinel pointers.
    for (uint32_t mask : {0x01u, 0x07u, 0x41u, 0xFFu, 0xA2u}) {
        SCOPED_TRACE(mask);
        vertex_fixture src(mask, 7);
        test_arena ta;
        n3d_vertices dst{};
        float sentinel_f[1];
        uint8_t sentinel_b[1];
        dst.xyz = dst.uv = dst.n_xyz = dst.t_xyz = dst.b_xyz = dst.tb_norm = dst.joints_weights = sentinel_f;
        dst.joints = sentinel_b;
        const uint64_t before = memarena_get_marker(&ta.arena);
        n3d_vertices_alloc(&dst, &src.v, &ta.arena);
        EXPECT_EQ(7, dst.count);
        const void* got[8] = {dst.xyz,   dst.uv,      dst.n_xyz,  dst.t_xyz,
                              dst.b_xyz, dst.tb_norm, dst.joints, dst.joints_weights};
        const int bytes[8] = {12, 8, 12, 12, 12, 8, 4, 16};
        uint64_t expected = 0;
        for (int i = 0; i < 8; ++i) {
            const bool present = mask & (1u << i);
            const void* sentinel = i == 6 ? (const void*)sentinel_b : (const void*)sentinel_f;
            EXPECT_EQ(!present, got[i] == sentinel) << i;
            if (present) {
                expected += 7u * (uint64_t)bytes[i];
                // The block is the caller's to fill: all of it is writable.
                memset(const_cast<void*>(got[i]), 0xAB, 7u * (size_t)bytes[i]);
            }
        }
        // Float arrays may be padded to a 4-byte start, nothing more.
        const uint64_t used = memarena_get_marker(&ta.arena) - before;
        EXPECT_GE(used, expected);
        EXPECT_LT(used, expected + 4 * 8);
    }
}

TEST(VerticesCopy, CopiesThePresentArraysAndRefusesAMissingDestination)
{
    vertex_fixture src(0xA3u, 5);  // xyz, uv, tb_norm, joints_weights
    test_arena ta;
    n3d_vertices dst{};
    n3d_vertices_alloc(&dst, &src.v, &ta.arena);
    float spare_normals[5 * 3] = {};
    dst.n_xyz = spare_normals;  // absent in src: must stay untouched
    n3d_vertices_copy(&dst, &src.v);
    EXPECT_EQ(5, dst.count);
    dst.n_xyz = nullptr;
    EXPECT_EQ(0, n3d_vertices_dbg_cmp(&src.v, &dst));
    for (float f : spare_normals)
        EXPECT_EQ(0.0f, f);

    n3d_vertices no_uv = dst;
    no_uv.uv = nullptr;
    captured_run r = capture_run([&] { n3d_vertices_copy(&no_uv, &src.v); });
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("destination has no uv array")) << r.err;
}

TEST(AssetMesh, RecordIsTheVerticesRecordAndLoadZeroesTheMesh)
{
    vertex_fixture fx(7, 6);
    n3d_mesh mesh{};
    mesh.vertices = fx.v;
    mesh.texture_id = 3;
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        std::vector<uint8_t> a(4096), b(4096);
        uint8_t* end = n3d_io_mesh_store(a.data(), &mesh, endian);
        ASSERT_EQ(end - a.data(), n3d_io_vertices_store(b.data(), &fx.v, endian) - b.data());
        EXPECT_EQ(0, memcmp(a.data(), b.data(), (size_t)(end - a.data())));
        test_arena ta;
        n3d_mesh back;
        memset(static_cast<void*>(&back), 0x5A, sizeof back);
        ASSERT_EQ(end, n3d_io_mesh_load(&back, &ta.arena, a.data(), (uint64_t)(end - a.data()), endian));
        EXPECT_EQ(0, n3d_vertices_dbg_cmp(&fx.v, &back.vertices));
        EXPECT_EQ(0, back.texture_id);
        EXPECT_EQ(nullptr, back.joint_matrices);
        EXPECT_EQ(nullptr, back.view_proj_joint_matrices);
        EXPECT_EQ(0.0f, back.world_from_model[3][3]);
        // A truncated record fails the load.
        EXPECT_EQ(nullptr, n3d_io_mesh_load(&back, &ta.arena, a.data(), (uint64_t)(end - a.data()) - 1, endian));
    }
}
