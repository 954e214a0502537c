// Typed buffers out of an arena that earlier pushes left at any address: every
// target, table and loaded record that the renderer, the display emulation and
// the scenes make starts at a multiple of its type's alignment, and the planes
// that the wide paths read at a multiple of 64, after an odd number of bytes
// was pushed before it. The loaders are given every resource of the sample's
// packs. Then the sample's production, with one odd-sized resource added or its
// sequence emptied so that the arena stands at an odd address when the loading
// steps build their tables, is loaded and played in this process (the first
// to its end): under the asan preset any misaligned access is a report.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "host/valkyrie_context.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/mad.h"
#include "n3d/n3d.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/vexil_fixture.h"
#include "target/n3d_framebuffer.h"
#include "target/n3d_texel_format.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil.h"
#include "vexil/vexil_fs.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_starfield.h"
#include "vexil/vexil_tunnel_func.h"

namespace {

using test_arena = qf_test_arena<64u << 20>;

// Byte counts pushed before each buffer: every one leaves the arena at an
// odd address, one byte short of a 64-byte line among them.
const uint64_t SKEWS[] = {1, 3, 17, 63};

struct placed {
    std::string what;
    const void* p;
    uint64_t align;
};
typedef std::vector<placed> placements;

template <typename T>
void add_record(placements* out, const std::string& what, const T* p)
{
    out->push_back({what, p, alignof(T)});
}

void expect_placed(const placements& all, const std::string& where)
{
    for (const placed& x : all) {
        EXPECT_NE(x.p, nullptr) << where << ": " << x.what;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(x.p) % x.align, 0u)
            << where << ": " << x.what << " at " << x.p << " is not a multiple of " << x.align;
    }
}

void add_framebuffer(placements* out, const std::string& what, const n3d_framebuffer* fb)
{
    add_record(out, what + " record", fb);
    out->push_back({what + " pixels", fb->b, 64});
}

void add_coverage(placements* out, const std::string& what, const n3d_coveragebuffer* cb)
{
    add_record(out, what + " record", cb);
    out->push_back({what + " words", cb->u32, 64});
}

void add_depth(placements* out, const std::string& what, const n3d_depthbuffer* db)
{
    add_record(out, what + " record", db);
    out->push_back({what + " values", db->u16, 64});
    out->push_back({what + " validity words", db->cb_cache_zeroed.u32, 64});
}

void add_frame_context(placements* out, const std::string& what, const n3d_frame_context* fc)
{
    add_framebuffer(out, what + " framebuffer", fc->fb);
    if (fc->db)
        add_depth(out, what + " depth buffer", fc->db);
    if (fc->cb) {
        add_coverage(out, what + " coverage", fc->cb);
        add_coverage(out, what + " previous coverage", fc->cb_dirty);
    }
}

// Levels as the rasterizers read them: 16-bit swizzled levels a 64-bit word
// per four texels, the others a texel at a time; 16-bit palettes and shades.
void add_texture(placements* out, const std::string& what, const n3d_texture* t)
{
    add_record(out, what + " mip table", t->mips);
    const uint64_t texel = t->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 ? 2 : t->format == 4 ? 4 : 1;
    const uint64_t level_align = texel == 2 && !t->not_swizzled ? 8 : texel;
    for (int u = t->w_log2; u >= t->min_u_level; u--)
        for (int v = t->h_log2; v >= t->min_v_level; v--)
            out->push_back({what + " level " + std::to_string(u) + "x" + std::to_string(v),
                            t->mips[N3D_MIP_INDEX(t->w_log2 - u, t->h_log2 - v)], level_align});
    if (t->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555) {
        out->push_back({what + " palette", t->palette, 2});
        out->push_back({what + " shade table", t->shade_table, 2});
    }
}

void add_vertices(placements* out, const std::string& what, const n3d_vertices* v)
{
    // The mesh and datapack readers give every array a 32-byte start.
    const void* arrays[] = {v->xyz, v->uv, v->n_xyz, v->t_xyz, v->b_xyz, v->tb_norm, v->joints, v->joints_weights};
    const char* names[] = {"xyz", "uv", "n_xyz", "t_xyz", "b_xyz", "tb_norm", "joints", "joints_weights"};
    for (int i = 0; i < 8; i++)
        if (arrays[i])
            out->push_back({what + " " + names[i], arrays[i], 32});
}

void add_datapack(placements* out, const mad_datapack* dp)
{
    if (dp->nodes_count)
        add_record(out, "nodes", dp->nodes);
    for (int i = 0; i < dp->nodes_count; i++)
        if (dp->nodes[i].children_count)
            add_record(out, "node children", dp->nodes[i].children_index);
    if (dp->meshes_count)
        add_record(out, "meshes", dp->meshes);
    for (int i = 0; i < dp->meshes_count; i++) {
        const mad_mesh* m = &dp->meshes[i];
        if (m->primitives_count)
            add_record(out, "primitives", m->primitives);
        for (int k = 0; k < m->primitives_count; k++)
            add_vertices(out, "primitive", &m->primitives[k].vertices);
    }
    if (dp->skins_count)
        add_record(out, "skins", dp->skins);
    for (int i = 0; i < dp->skins_count; i++) {
        const mad_skin* s = &dp->skins[i];
        if (s->joints_count) {
            add_record(out, "skin joints", s->joints);
            add_record(out, "inverse bind matrices", s->joint_from_model_matrices);
            add_record(out, "joint matrices", s->model_from_joint_matrices);
        }
    }
    if (dp->cameras_count)
        add_record(out, "cameras", dp->cameras);
    if (dp->animations_count)
        add_record(out, "animations", dp->animations);
    for (int i = 0; i < dp->animations_count; i++) {
        const mad_animation* a = &dp->animations[i];
        if (a->samplers_count)
            add_record(out, "samplers", a->samplers);
        if (a->channels_count)
            add_record(out, "channels", a->channels);
        for (int k = 0; k < a->samplers_count; k++) {
            add_record(out, "sampler times", a->samplers[k].timestamps);
            add_record(out, "sampler values", a->samplers[k].values);
        }
    }
    if (dp->images_count)
        add_record(out, "images", dp->images);
    if (dp->materials_count)
        add_record(out, "materials", dp->materials);
}

// What a decoded resource of a kind holds.
void add_resource(placements* out, int kind, const void* r)
{
    switch (kind) {
    case VEXIL_RSRC_KIND_STENCIL:
        add_coverage(out, "stencil", static_cast<const n3d_coveragebuffer*>(r));
        break;
    case VEXIL_RSRC_KIND_TEXTURE:
        add_record(out, "texture", static_cast<const n3d_texture*>(r));
        add_texture(out, "texture", static_cast<const n3d_texture*>(r));
        break;
    case VEXIL_RSRC_KIND_PALETTE_ANIMATION: {
        const palette_animation* pa = static_cast<const palette_animation*>(r);
        add_record(out, "palette animation", pa);
        if (pa->frames_count)
            add_record(out, "palette animation frames", pa->frames);
        break;
    }
    case VEXIL_RSRC_KIND_PALETTE:
        add_record(out, "palette", static_cast<const palette*>(r));
        break;
    case VEXIL_RSRC_KIND_RLE_IMAGE:
        add_record(out, "run-length image", static_cast<const vexil_rle_image*>(r));
        break;
    case VEXIL_RSRC_KIND_IMAGE:
        add_record(out, "image", static_cast<const vexil_image*>(r));
        add_texture(out, "image texture", &static_cast<const vexil_image*>(r)->texture);
        break;
    case VEXIL_RSRC_KIND_MADPACK:
        add_record(out, "datapack", static_cast<const mad_datapack*>(r));
        add_datapack(out, static_cast<const mad_datapack*>(r));
        break;
    case VEXIL_RSRC_KIND_FONT: {
        const fontbitmap* f = static_cast<const fontbitmap*>(r);
        add_record(out, "font", f);
        add_record(out, "glyphs", f->glyphs);
        for (int i = 0; i < f->codepoint_count; i++)
            if (f->glyphs[i].cb.u32)
                out->push_back({"glyph coverage words", f->glyphs[i].cb.u32, 64});
        break;
    }
    default:
        break;
    }
}

struct maker {
    const char* what;
    void (*make)(memarena* arena, placements* out);
};

const maker MAKERS[] = {
    {"16-bit framebuffer",
     [](memarena* a, placements* out) {
         static n3d_framebuffer fb;
         n3d_framebuffer_init_argb1555(&fb, 320, 240, a);
         add_framebuffer(out, "framebuffer", &fb);
     }},
    {"8-bit framebuffer",
     [](memarena* a, placements* out) {
         static n3d_framebuffer fb;
         n3d_framebuffer_init_index8(&fb, 641, 3, a);
         add_framebuffer(out, "framebuffer", &fb);
     }},
    {"coverage buffer",
     [](memarena* a, placements* out) {
         static n3d_coveragebuffer cb;
         n3d_coveragebuffer_init(&cb, 640, 480, a);
         add_coverage(out, "coverage", &cb);
     }},
    {"depth buffer",
     [](memarena* a, placements* out) {
         static n3d_depthbuffer db;
         n3d_depthbuffer_init(&db, 320, 240, a);
         add_depth(out, "depth buffer", &db);
     }},
    {"16-bit frame context with depth and coverage",
     [](memarena* a, placements* out) {
         static n3d_frame_context fc;
         n3d_framecontext_init(&fc, a, 320, 200, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                               N3D_FRAMECONTEXT_DEPTHBUFFER | N3D_FRAMECONTEXT_COVERAGEBUFFER);
         add_frame_context(out, "context", &fc);
     }},
    {"8-bit frame context with coverage",
     [](memarena* a, placements* out) {
         static n3d_frame_context fc;
         n3d_framecontext_init(&fc, a, 640, 480, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8,
                               N3D_FRAMECONTEXT_COVERAGEBUFFER);
         add_frame_context(out, "context", &fc);
     }},
    {"renderer start-up",
     [](memarena* a, placements* out) {
         n3d_init(a);
         out->push_back({"batch block", n3d_batch_arena.ptr, 32});
     }},
    {"display emulation",
     [](memarena* a, placements* out) {
         static valkyrie_context ctx;
         emulate_valkyrie_init(&ctx, a);
         out->push_back({"overlay plane", ctx.overlay.b, 64});
         out->push_back({"video page 0", ctx.videos[0].b, 64});
         out->push_back({"video page 1", ctx.videos[1].b, 64});
     }},
    {"tunnel table",
     [](memarena* a, placements* out) {
         // The loading step's table: built in place, its stores 16 bits wide.
         static n3d_framebuffer fb;
         n3d_framebuffer_init_argb1555(&fb, 640, 480, a);
         vexil_tunnel_argb1555_init(&fb);
         add_framebuffer(out, "tunnel table", &fb);
     }},
    {"starfield",
     [](memarena* a, placements* out) {
         static vexil_starfield sf;
         static vexil_starfield_star stars[1 << 10];
         vexil_starfield_init_argb1555(&sf, 10, stars, 0, 640, 480, a);
         add_record(out, "draw stars", sf.stars_pool);
         add_record(out, "bucket nodes", sf.buckets_pool);
         add_record(out, "bucket heads", sf.buckets_head);
         add_record(out, "bucket tails", sf.buckets_tail);
     }},
    {"textures built from a bitmap",
     [](memarena* a, placements* out) {
         bitmap bm;
         bitmap_init(&bm, a, 64, 64, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
         const float c1[4] = {1, 0, 0, 1}, c2[4] = {0, 0, 1, 1};
         ASSERT_EQ(bitmap_mosaic(&bm, 8, 8, c1, c2), 0);
         memarena* tmp = memarena_push_subarena(a, "tmp", 4u << 20);
         const int formats[] = {N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555};
         for (int format : formats)
             for (int swizzle = 0; swizzle < 2; swizzle++) {
                 memarena_push(a, 1);
                 static n3d_texture t[4];
                 n3d_texture* tx = &t[(format == formats[0] ? 0 : 2) + swizzle];
                 testing::internal::CaptureStdout();
                 n3d_make_texture_from_bitmap(tx, a, tmp, format, swizzle, 1, 0, BITMAP_FILTER_BOX, &bm, nullptr, -1,
                                              0.0f);
                 testing::internal::GetCapturedStdout();
                 memarena_reset(tmp);
                 add_texture(out, "format " + std::to_string(format) + " swizzle " + std::to_string(swizzle), tx);
             }
     }},
    {"mesh record",
     [](memarena* a, placements* out) {
         // Stored from a scratch arena, loaded after an odd push.
         static std::vector<uint8_t> block(1u << 16);
         memarena scratch;
         memarena_init(&scratch, "scratch", block.size(), block.data());
         static std::vector<uint8_t> record(1u << 16);
         n3d_asset_mesh mesh{};
         mesh.vertices.count = 5;
         mesh.vertices.xyz = memarena_push_array_zeroed<float>(&scratch, 15);
         mesh.vertices.uv = memarena_push_array_zeroed<float>(&scratch, 10);
         mesh.vertices.n_xyz = memarena_push_array_zeroed<float>(&scratch, 15);
         mesh.vertices.tb_norm = memarena_push_array_zeroed<float>(&scratch, 10);
         uint8_t* end = n3d_io_asset_mesh_store(record.data(), &mesh, IO_ENDIAN_NATIVE);
         memarena_push(a, 5);
         static n3d_asset_mesh loaded;
         ASSERT_NE(n3d_io_asset_mesh_load(&loaded, a, record.data(), (uint64_t)(end - record.data()), IO_ENDIAN_NATIVE),
                   nullptr);
         add_vertices(out, "mesh", &loaded.vertices);
     }},
};

TEST(TypedBufferAlignment, TargetsAndTablesAfterAnOddPush)
{
    test_arena ta;
    for (const maker& m : MAKERS)
        for (uint64_t skew : SKEWS) {
            memarena_reset(&ta.arena);
            memarena_push(&ta.arena, skew);
            placements found;
            m.make(&ta.arena, &found);
            ASSERT_FALSE(found.empty()) << m.what;
            expect_placed(found, std::string(m.what) + " after " + std::to_string(skew) + " bytes");
        }
}

std::string sample_pak(int i)
{
    return std::string(QF_BINARY_DIR) + "/assets/vexil/le/pak" + std::to_string(i) + ".vxf";
}

// Every resource of the sample's packs decoded after an odd push, copied and,
// where its kind allows, read in place from the pack image.
TEST(TypedBufferAlignment, SampleResourcesLoadedAfterAnOddPush)
{
    test_arena packs(96u << 20);
    test_arena ta;
    int kinds_seen[VEXIL_RSRC_KINDS_COUNT] = {};
    for (int p = 0; p < 3; p++) {
        vexil_fs fs;
        vexil_fs_open_file(&fs, sample_pak(p).c_str(), &packs.arena);
        for (int e = 0; e < fs.header.entries_count; e++) {
            const vexil_fs_entry* entry = &fs.header.entries[e];
            const vexil_rsrc_kind* k = vexil_rsrc_kind_find(entry->tag);
            ASSERT_NE(k, nullptr) << entry->name;
            if (!k->decoder)
                continue;
            kinds_seen[entry->tag]++;
            for (int in_place = 0; in_place <= k->in_place; in_place++)
                for (uint64_t skew : SKEWS) {
                    memarena_reset(&ta.arena);
                    memarena_push(&ta.arena, skew);
                    testing::internal::CaptureStdout();
                    void* r = k->decoder(&ta.arena, entry->data + 4, entry->size - 4, fs.header.endian, in_place);
                    testing::internal::GetCapturedStdout();
                    ASSERT_NE(r, nullptr) << entry->name;
                    placements found;
                    add_resource(&found, entry->tag, r);
                    expect_placed(found, std::string(entry->name) + (in_place ? " in place" : " copied") + " after " +
                                             std::to_string(skew) + " bytes");
                }
        }
    }
    // The sample carries every kind the loaders decode.
    for (const vexil_rsrc_kind& k : VEXIL_RSRC_KINDS)
        if (k.decoder) {
            EXPECT_GT(kinds_seen[k.number], 0) << k.name;
        }
}

// The sample's three packs, with pak2 holding extra as well.
void write_sample_variant(const std::string& dir, const std::vector<vexil_fixture_payload>& extra)
{
    test_arena packs(96u << 20);
    std::vector<std::vector<vexil_fixture_payload>> paks(3);
    for (int p = 0; p < 3; p++) {
        vexil_fs fs;
        vexil_fs_open_file(&fs, sample_pak(p).c_str(), &packs.arena);
        for (int e = 0; e < fs.header.entries_count; e++) {
            const vexil_fs_entry* entry = &fs.header.entries[e];
            paks[p].push_back(
                {entry->name, entry->tag, std::string(reinterpret_cast<const char*>(entry->data), entry->size), 0});
        }
    }
    paks[2].insert(paks[2].end(), extra.begin(), extra.end());
    testing::internal::CaptureStdout();
    vexil_fixture_write_production(dir, paks);
    testing::internal::GetCapturedStdout();
}

uintptr_t next_address(const memarena* a) { return reinterpret_cast<uintptr_t>(a->ptr) + a->sp; }

TEST(TypedBufferAlignment, SampleLoadedFromAnOddArenaPlays)
{
    struct variant {
        const char* why;
        std::vector<vexil_fixture_payload> extra;
        bool odd_before_tables;  // the arena stands at an odd address when step 1 begins
        int seconds;             // of the clock to play; the whole sample ends itself at 91 s
    };
    const vexil_fixture_payload odd_sized = {"odd_sized.txt", VEXIL_RSRC_KIND_TEXT, "seven", 2};
    const variant variants[] = {
        {"one odd-sized resource added", {odd_sized}, false, 95},
        // A later pack's entry wins: the sequence has no line at all, and the
        // name of its cache entry is the last thing pushed before the tables.
        {"an empty sequence", {odd_sized, vexil_fixture_text("sequence.csv", "")}, true, 3},
    };
    for (const variant& v : variants) {
        std::string dir = capture_temp_dir();
        write_sample_variant(dir, v.extra);
        captured_run r = capture_run([&] {
            vexil_fixture_host h;
            vexil_fixture_start(&h, dir, 0);
            demosys_update(h.ds, &h.video, h.keys, &h.nk2);  // step 0: packs, sequence, scenes
            vexil* d = &h.ds->vexil;
            if (v.odd_before_tables && next_address(d->arena) % 2 == 0) {
                fprintf(stderr, "the arena is not at an odd address after the first loading step\n");
                crash_exit(4);
            }
            demosys_update(h.ds, &h.video, h.keys, &h.nk2);  // step 1: the tunnel table
            demosys_update(h.ds, &h.video, h.keys, &h.nk2);  // step 2
            if (!d->initialized)
                crash_exit(5);
            // What the loading steps built.
            placements found;
            add_framebuffer(&found, "tunnel table", &d->uv_map_tunnel);
            for (int i = 0; i < d->fc_overlay_backbuffers_count; i++)
                add_frame_context(&found, "overlay back buffer", &d->fc_overlay_backbuffers[i]);
            for (int i = 0; i < d->overlay_stencils_count; i++)
                add_coverage(&found, "overlay stencil", &d->overlay_stencils[i]);
            for (int i = 0; i < VEXIL_SHADE_TABLE_CACHE_MAX; i++)
                found.push_back({"shade table", d->shade_table_cache[i].shade_table, 32});
            add_record(&found, "stars", d->stars);
            add_record(&found, "16-bit sines", d->sin2048_fp11);
            add_record(&found, "float sines", d->sin2048_float);
            add_depth(&found, "page depth buffer", &h.ds->videos_db);
            for (const placed& x : found)
                if (!x.p || reinterpret_cast<uintptr_t>(x.p) % x.align) {
                    fprintf(stderr, "%s at %p is not a multiple of %lu\n", x.what.c_str(), x.p, (unsigned long)x.align);
                    crash_exit(6);
                }
            // Both update kinds each 1/60 s of the clock, until the production
            // ends itself or the time is up.
            for (int tick = 0; tick <= v.seconds * 60 && !h.ds->quit; tick++) {
                vexil_audio_position.store(tick * 735 / 2);
                vexil_fixture_update(&h, 0);
                vexil_fixture_update(&h, 1);
            }
            int ran = 0;
            for (int i = 0; i < d->scenes_count; i++)
                ran += d->scenes[i].completed_prepare && !d->scenes[i].is_first_run;
            printf("played to %.2f s: %d of %d scenes ran%s\n", d->t, ran, d->scenes_count,
                   h.ds->quit ? ", the production ended" : "");
            fflush(stdout);
            // Played to its end, every row of the sample was prepared and run.
            if (v.seconds > 91 && (!h.ds->quit || ran != d->scenes_count))
                crash_exit(7);
            crash_exit(0);
        });
        EXPECT_TRUE(r.exited) << v.why << "\n" << r.err;
        EXPECT_EQ(r.status, 0) << v.why << "\n" << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0) << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << v.why << "\n" << r.err;
        EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << v.why << "\n" << r.err;
        vexil_fixture_remove_production(dir);
        rmdir(dir.c_str());
    }
}

}  // namespace
