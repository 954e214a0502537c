// Test support for the earlier production's runtime: writes its asset
// directory with the system's own writers (mosaic and flare textures built by
// texture building and stored as texture files, small wall and cube meshes,
// an IMA ADPCM stream from the encoder, beat files), with switches that leave
// an asset out or break it; and a 16-bit frame context over an exactly sized
// heap plane, so AddressSanitizer sees any write outside it. Header only;
// failures are gtest assertion failures.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "core/memarena.h"
#include "host/acm_ima.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "target/n3d_framebuffer.h"

struct demo_assets_fixture_options {
    int music_frames = 3500000;        // past the last scene change at 3375676
    std::vector<int32_t> beats;        // empty: a beat every 11025 samples to the music's end
    std::string leave_out;             // a file name not to write
    std::string index8_as_argb1555;    // an index8 file written as ARGB1555 instead
    std::string argb1555_row_by_row;   // an ARGB1555 file written row by row
    std::string wall_without_normals;  // a mesh file written without its normals
    int texture_log2 = 8;              // size of every texture
};

inline void demo_fixture_write(const std::string& path, const void* data, size_t n)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (n) {
        ASSERT_EQ(fwrite(data, 1, n, f), n);
    }
    ASSERT_EQ(fclose(f), 0);
}

// A bitmap made by the mosaic or flare generator, built into a texture of one
// format and written as a texture file.
inline void demo_fixture_texture(const std::string& path, memarena* arena, int format, int swizzle, int flare, int log2,
                                 uint32_t cell, const float c1[4], const float c2[4])
{
    const uint64_t marker = memarena_get_marker(arena);
    const uint32_t n = 1u << log2;
    bitmap bm;
    bitmap_init(&bm, arena, n, n, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
    ASSERT_EQ(flare ? bitmap_flare(&bm, c1) : bitmap_mosaic(&bm, cell, cell, c1, c2), 0);
    // The builder rewinds its temporary arena: it must not be the levels' arena.
    memarena* tmp = memarena_push_subarena(arena, "demo_fixture_tmp", 8u << 20);
    n3d_texture t{};
    n3d_make_texture_from_bitmap(&t, arena, tmp, format, swizzle, 1, 0, BITMAP_FILTER_BOX, &bm, nullptr, -1, 0.0f);
    uint8_t* b = static_cast<uint8_t*>(memarena_push(arena, 4u << 20));
    uint8_t* end = n3d_io_texture_store(b, &t, IO_ENDIAN_NATIVE);
    ASSERT_EQ(n3d_io_store_file(path.c_str(), b, end, IO_ENDIAN_NATIVE), 0);
    memarena_goto_marker(arena, marker);
}

// Two triangles of a square at depth side - 2.5, every array present unless
// without_normals.
inline void demo_fixture_mesh(const std::string& path, memarena* arena, int side, int without_normals)
{
    const uint64_t marker = memarena_get_marker(arena);
    const int count = 6;
    n3d_vertices v{};
    v.count = count;
    v.xyz = memarena_push_array<float>(arena, count * 3);
    v.uv = memarena_push_array<float>(arena, count * 2);
    v.n_xyz = memarena_push_array<float>(arena, count * 3);
    v.t_xyz = memarena_push_array<float>(arena, count * 3);
    v.b_xyz = memarena_push_array<float>(arena, count * 3);
    v.tb_norm = memarena_push_array<float>(arena, count * 2);
    const float corners[6][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, -1}, {1, 1}, {-1, 1}};
    for (int i = 0; i < count; i++) {
        const float a = corners[i][0], b = corners[i][1];
        const float p[3] = {a, b, side - 2.5f};
        memcpy(v.xyz + 3 * i, p, sizeof p);
        v.uv[2 * i] = (a + 1) / 2;
        v.uv[2 * i + 1] = (b + 1) / 2;
        const float nrm[3] = {0, 0, 1}, tan[3] = {1, 0, 0}, bit[3] = {0, 1, 0};
        memcpy(v.n_xyz + 3 * i, nrm, sizeof nrm);
        memcpy(v.t_xyz + 3 * i, tan, sizeof tan);
        memcpy(v.b_xyz + 3 * i, bit, sizeof bit);
        v.tb_norm[2 * i] = 1;
        v.tb_norm[2 * i + 1] = 1;
    }
    if (without_normals)
        v.n_xyz = nullptr;
    n3d_asset_mesh mesh{};
    mesh.vertices = v;
    uint8_t* b = static_cast<uint8_t*>(memarena_push(arena, 1u << 16));
    uint8_t* end = n3d_io_asset_mesh_store(b, &mesh, IO_ENDIAN_NATIVE);
    ASSERT_EQ(n3d_io_store_file(path.c_str(), b, end, IO_ENDIAN_NATIVE), 0);
    memarena_goto_marker(arena, marker);
}

// A tone for the first second, then the encoder's codes for silence.
inline std::vector<uint8_t> demo_fixture_music(int frames)
{
    std::vector<uint8_t> s((size_t)frames);
    acm_ima_state left, right;
    acm_ima_init_state(&left);
    acm_ima_init_state(&right);
    for (int i = 0; i < frames; i++) {
        const int16_t v = i < 22050 ? (int16_t)(8000.0 * sin(2 * M_PI * 440.0 * i / 22050.0)) : 0;
        const int l = acm_ima_encode(&left, v);
        const int r = acm_ima_encode(&right, (int16_t)(-v));
        s[(size_t)i] = (uint8_t)(l | r << 4);
    }
    return s;
}

inline std::vector<int32_t> demo_fixture_default_beats(int music_frames)
{
    std::vector<int32_t> beats;
    for (int32_t p = 0; p <= music_frames; p += 11025)
        beats.push_back(p);
    return beats;
}

inline void demo_fixture_write_assets(const std::string& dir, const demo_assets_fixture_options& o = {})
{
    std::vector<uint8_t> block(48u << 20);
    memarena arena;
    memarena_init(&arena, "demo_fixture_arena", block.size(), block.data());
    auto wanted = [&](const std::string& name) { return name != o.leave_out; };
    const float red[4] = {0.8f, 0.1f, 0.1f, 1}, blue[4] = {0.1f, 0.2f, 0.9f, 1}, white[4] = {1, 1, 1, 1},
                grey[4] = {0.3f, 0.3f, 0.3f, 1}, green[4] = {0.1f, 0.7f, 0.2f, 1};

    const char* t16[] = {"tiles_256_16bpp.tmap", "tiles_nogirl_256_16bpp.tmap", "tiles_warp_256_16bpp.tmap",
                         "flare_256_16bpp.tmap"};
    for (int i = 0; i < 4; i++) {
        if (!wanted(t16[i]))
            continue;
        const int swizzle = o.argb1555_row_by_row == t16[i] ? 0 : 1;
        demo_fixture_texture(dir + "/" + t16[i], &arena, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, swizzle, i == 3,
                             o.texture_log2, 16u << i, red, blue);
    }
    const char* t8[] = {"tiles_256_8bpp.tmap", "tiles_nogirl_256_8bpp.tmap", "tiles_warp_256_8bpp.tmap"};
    for (int i = 0; i < 3; i++) {
        if (!wanted(t8[i]))
            continue;
        const int format = o.index8_as_argb1555 == t8[i] ? N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555
                                                         : N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555;
        demo_fixture_texture(dir + "/" + t8[i], &arena, format, 1, 0, o.texture_log2, 8u << i, i == 1 ? green : white,
                             grey);
    }
    std::vector<std::string> meshes = {"cube.mesh", "toruswarp.mesh"};
    for (int s = 0; s < 6; s++)
        meshes.push_back("room2_side" + std::to_string(s) + ".mesh");
    for (size_t i = 0; i < meshes.size(); i++)
        if (wanted(meshes[i]))
            demo_fixture_mesh(dir + "/" + meshes[i], &arena, (int)i, o.wall_without_normals == meshes[i]);

    if (wanted("Sonavert_Remix.dat")) {
        std::vector<uint8_t> music = demo_fixture_music(o.music_frames);
        demo_fixture_write(dir + "/Sonavert_Remix.dat", music.data(), music.size());
    }
    if (wanted("beats.dat")) {
        std::vector<int32_t> beats = o.beats.empty() ? demo_fixture_default_beats(o.music_frames) : o.beats;
        demo_fixture_write(dir + "/beats.dat", beats.data(), beats.size() * 4);
    }
}

// A 16-bit frame context (with a coverage pair when the width allows one)
// whose plane is its own heap block of exactly h x row_bytes bytes.
struct demo_fixture_frame {
    std::vector<uint8_t> arena_block;
    memarena arena;
    std::vector<uint16_t> plane;
    n3d_frame_context fc;

    demo_fixture_frame(int w, int h, int row_bytes) : arena_block(1u << 20), plane((size_t)h * row_bytes / 2, 0x1234)
    {
        memarena_init(&arena, "demo_fixture_frame", arena_block.size(), arena_block.data());
        // Coverage buffers come in widths of whole words.
        n3d_framecontext_init(&fc, &arena, w, h, 0, w % 32 == 0 ? N3D_FRAMECONTEXT_COVERAGEBUFFER : 0);
        fc.fb->format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
        fc.fb->w = w;
        fc.fb->h = h;
        fc.fb->row_bytes = row_bytes;
        fc.fb->b = plane.data();
    }
    uint16_t at(int x, int y) const { return plane[(size_t)y * fc.fb->row_bytes / 2 + x]; }
};

// A new directory holding links to every file of base except those named in
// except (the caller writes its own versions of those).
inline std::string demo_fixture_variant_dir(const std::string& base, const std::vector<std::string>& except)
{
    const std::string dir = capture_temp_dir();
    const char* names[] = {"tiles_256_16bpp.tmap",
                           "tiles_nogirl_256_16bpp.tmap",
                           "tiles_warp_256_16bpp.tmap",
                           "flare_256_16bpp.tmap",
                           "tiles_256_8bpp.tmap",
                           "tiles_nogirl_256_8bpp.tmap",
                           "tiles_warp_256_8bpp.tmap",
                           "cube.mesh",
                           "toruswarp.mesh",
                           "room2_side0.mesh",
                           "room2_side1.mesh",
                           "room2_side2.mesh",
                           "room2_side3.mesh",
                           "room2_side4.mesh",
                           "room2_side5.mesh",
                           "Sonavert_Remix.dat",
                           "beats.dat"};
    for (const char* n : names) {
        int skip = 0;
        for (const auto& e : except)
            skip |= e == n;
        if (!skip) {
            EXPECT_EQ(symlink((base + "/" + n).c_str(), (dir + "/" + n).c_str()), 0) << n;
        }
    }
    return dir;
}
