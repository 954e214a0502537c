// The sample production as data: the generator writes the same packs every
// time (and the build's packs are its output), every payload is a whole record
// its kind's loader reads to the last byte, and the sequence uses every scene
// kind the bindings table binds, with every form of time, labels, a barrier and
// one music_sync.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/mad.h"
#include "n3d/mad_animate.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "support/windows_skip.h"
#include "target/n3d_framebuffer.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_fs.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_scenes.h"
#include "vexil/vexil_sequence.h"

namespace {

const char* FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string sample_dir() { return std::string(QF_SOURCE_DIR) + "/sample"; }
std::string build_paks_dir() { return std::string(QF_BINARY_DIR) + "/assets/vexil/le"; }

// Runs the generator into a fresh directory and returns it.
std::string generate(const std::string& root)
{
    std::string out = root + "/assets/vexil/le", work = root + "/work";
    captured_run r = capture_program(
        {std::string(QF_BINARY_DIR) + "/sample/sample_generate", sample_dir(), out, work, FONT}, "", {}, 120);
    EXPECT_EQ(r.exited, 1) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
}

struct arena_block {
    memarena arena;
    void* block;
    explicit arena_block(uint64_t size) : block(malloc(size)) { memarena_init(&arena, "test_arena", size, block); }
    ~arena_block() { free(block); }
};

TEST(SampleGenerator, TwoRunsWriteTheSamePacksAsTheBuild)
{
    QF_SKIP_ON_WINDOWS("the build's packs come from the build machine's generator, which wine starts without a "
                       "process to wait for; WindowsProgram.ZipPacksAreWhatTheGeneratorWrites runs it");
    std::string a = capture_temp_dir(), b = capture_temp_dir();
    std::string out_a = generate(a), out_b = generate(b);
    for (int i = 0; i < 3; i++) {
        std::string name = "/pak" + std::to_string(i) + ".vxf";
        std::vector<uint8_t> pa = read_file(out_a + name), pb = read_file(out_b + name);
        std::vector<uint8_t> built = read_file(build_paks_dir() + name);
        ASSERT_GT(pa.size(), 8u) << name;
        EXPECT_TRUE(pa == pb) << name << " differs between two runs";
        EXPECT_TRUE(pa == built) << name << " differs from the build's";
    }
    std::filesystem::remove_all(a);
    std::filesystem::remove_all(b);
}

// Every payload decodes with its kind's loader, which reads exactly the
// payload's bytes; text ends with its zero byte.
TEST(SampleGenerator, EveryPayloadIsOneWholeRecordOfItsKind)
{
    arena_block mem(256ull << 20);
    std::set<std::string> names;
    int kinds_seen[10] = {};
    for (int i = 0; i < 3; i++) {
        std::string path = build_paks_dir() + "/pak" + std::to_string(i) + ".vxf";
        vexil_fs fs{};
        vexil_fs_open_file(&fs, path.c_str(), &mem.arena);
        int endian = fs.header.endian;
        EXPECT_EQ(endian, IO_ENDIAN_NATIVE) << path;
        ASSERT_GT(fs.header.entries_count, 0) << path;
        for (int e = 0; e < fs.header.entries_count; e++) {
            const vexil_fs_entry& en = fs.header.entries[e];
            std::string what = path + ": " + en.name;
            EXPECT_TRUE(names.insert(en.name).second) << what << " is not the only resource of its name";
            ASSERT_LT(en.tag, 10) << what;
            kinds_seen[en.tag]++;
            const uint8_t* b = en.data + 4;  // kinds 0 to 7 begin with their marker
            uint64_t n = en.size >= 4 ? en.size - 4 : 0;
            const uint8_t* end = nullptr;
            switch (en.tag) {
            case VEXIL_RSRC_KIND_STENCIL: {
                n3d_coveragebuffer cb{};
                end = n3d_io_coveragebuffer_load(&mem.arena, &cb, b, n, endian);
                EXPECT_EQ(cb.w % 32, 0) << what;
                break;
            }
            case VEXIL_RSRC_KIND_TEXTURE: {
                n3d_texture t{};
                end = n3d_io_texture_load(&mem.arena, &t, b, n, 0, endian);
                break;
            }
            case VEXIL_RSRC_KIND_PALETTE_ANIMATION: {
                palette_animation pa{};
                end = palette_animation_io_load(&mem.arena, &pa, b, n, endian);
                EXPECT_GT(pa.frames_count, 0) << what;
                break;
            }
            case VEXIL_RSRC_KIND_PALETTE: {
                palette p{};
                end = palette_io_load(&mem.arena, &p, b, n, endian);
                break;
            }
            case VEXIL_RSRC_KIND_RLE_IMAGE: {
                vexil_rle_image r{};
                end = vexil_rle_image_load(&mem.arena, &r, b, n, 0, endian);
                break;
            }
            case VEXIL_RSRC_KIND_IMAGE: {
                vexil_image im{};
                end = vexil_image_load(&mem.arena, &im, b, n, 0, endian);
                break;
            }
            case VEXIL_RSRC_KIND_MADPACK: {
                mad_datapack dp{};
                end = mad_datapack_load(&dp, &mem.arena, b, n, endian);
                break;
            }
            case VEXIL_RSRC_KIND_FONT: {
                fontbitmap f{};
                end = fontbitmap_io_load(&f, &mem.arena, b, n, endian);
                EXPECT_EQ(f.codepoint_count, f.codepoint_last - f.codepoint_first + 1) << what;
                break;
            }
            case VEXIL_RSRC_KIND_MUSIC:
                EXPECT_GT(en.size, 22050u * 60) << what << ": a minute of music at least";
                end = b;
                n = 0;
                break;
            case VEXIL_RSRC_KIND_TEXT:
                ASSERT_GT(en.size, 0u) << what;
                EXPECT_EQ(en.data[en.size - 1], 0) << what << " is not ended by a zero byte";
                EXPECT_EQ(strlen((const char*)en.data) + 1, en.size) << what;
                end = b;
                n = 0;
                break;
            default:
                ADD_FAILURE() << what << " has kind " << en.tag << ", which the sample does not make";
                end = b;
                n = 0;
            }
            ASSERT_NE(end, nullptr) << what << " does not load";
            EXPECT_EQ(end, b + n) << what << " is not read to its last byte";
        }
    }
    EXPECT_TRUE(names.count("sequence.csv"));
    EXPECT_EQ(kinds_seen[VEXIL_RSRC_KIND_MUSIC], 1);
}

// The build's three packs, opened, with lookup by kind and name.
struct opened_paks {
    arena_block mem{256ull << 20};
    vexil_fs fs[3]{};
    opened_paks()
    {
        for (int i = 0; i < 3; i++) {
            std::string path = build_paks_dir() + "/pak" + std::to_string(i) + ".vxf";
            vexil_fs_open_file(&fs[i], path.c_str(), &mem.arena);
        }
    }
    // The payload after its marker (kinds 0 to 7) or whole (8, 9); null when absent.
    const uint8_t* get(int kind, const char* name, uint64_t* size)
    {
        for (int i = 2; i >= 0; i--) {
            size_t n = 0;
            const uint8_t* p = vexil_fs_get(&fs[i], kind, name, &n);
            if (p) {
                int skip = kind <= VEXIL_RSRC_KIND_FONT ? 4 : 0;
                *size = n - skip;
                return p + skip;
            }
        }
        return nullptr;
    }
    bool texture(const char* name, n3d_texture* t)
    {
        uint64_t n = 0;
        const uint8_t* p = get(VEXIL_RSRC_KIND_TEXTURE, name, &n);
        return p && n3d_io_texture_load(&mem.arena, t, p, n, 0, IO_ENDIAN_NATIVE) == p + n;
    }
};

// Distinct 16-bit texels of a texture's first level.
size_t distinct_u16(const n3d_texture& t)
{
    std::set<uint16_t> seen;
    const uint16_t* px = reinterpret_cast<const uint16_t*>(t.mips[0]);
    for (size_t i = 0; i < (size_t(1) << (t.w_log2 + t.h_log2)); i++)
        seen.insert(px[i]);
    return seen.size();
}

// What the tunnel, the bump map and the background read: sizes, formats and
// layouts their drawing takes, with pictures that are not one flat colour.
TEST(SampleVideoAssets, TunnelBumpMapAndBackgroundTexturesFitTheirScenes)
{
    opened_paks p;
    n3d_texture tunnel{}, color{}, bump{}, back{};
    ASSERT_TRUE(p.texture("tunnel_map", &tunnel));
    EXPECT_EQ(tunnel.format, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    EXPECT_EQ(tunnel.not_swizzled, 1);
    EXPECT_EQ(tunnel.w_log2, 8);
    EXPECT_EQ(tunnel.h_log2, 8);
    EXPECT_GT(distinct_u16(tunnel), 64u);

    ASSERT_TRUE(p.texture("bump_color", &color));
    ASSERT_TRUE(p.texture("bump_normals", &bump));
    EXPECT_EQ(color.format, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555);
    EXPECT_EQ(bump.format, N3D_TEXEL_FORMAT_BUMPMAP);
    EXPECT_EQ(color.not_swizzled, 1);
    EXPECT_EQ(bump.not_swizzled, 1);
    EXPECT_EQ(color.w_log2, bump.w_log2);
    EXPECT_EQ(color.h_log2, bump.h_log2);
    // The scene's 310 x 256 source window lies inside both.
    EXPECT_GE(1 << color.w_log2, 310);
    EXPECT_GE(1 << color.h_log2, 256);
    // Slopes in both directions and a lit base term inside the window.
    const uint32_t* texels = reinterpret_cast<const uint32_t*>(bump.mips[0]);
    int x_neg = 0, x_pos = 0, y_neg = 0, y_pos = 0, based = 0;
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 310; x++) {
            uint32_t v = texels[(y << bump.w_log2) | x];
            int8_t nx = (int8_t)(v >> 24), ny = (int8_t)(v >> 16);
            x_neg += nx<0, x_pos += nx> 0, y_neg += ny<0, y_pos += ny> 0, based += (v & 0xff) != 0;
        }
    EXPECT_GT(x_neg, 500);
    EXPECT_GT(x_pos, 500);
    EXPECT_GT(y_neg, 500);
    EXPECT_GT(y_pos, 500);
    EXPECT_GT(based, 310 * 256 / 3);

    // The stencil covers the window's width in whole words; its set bits (where
    // the background shows) and clear bits (the plate) both take a good share
    // of the page the window lies on.
    uint64_t n = 0;
    const uint8_t* sp = p.get(VEXIL_RSRC_KIND_STENCIL, "bump_stencil", &n);
    ASSERT_NE(sp, nullptr);
    n3d_coveragebuffer cb{};
    ASSERT_EQ(n3d_io_coveragebuffer_load(&p.mem.arena, &cb, sp, n, IO_ENDIAN_NATIVE), sp + n);
    EXPECT_GE(cb.w, 310);
    EXPECT_GE(cb.h, 240);
    long set = 0;
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++)
            set += (cb.u32[(y * cb.w + x) / 32] >> (31 - (x & 31))) & 1;
    EXPECT_GT(set, 320 * 240 / 8);
    EXPECT_LT(set, 320 * 240 / 2);

    // The background pans a page-sized window over a larger texture.
    ASSERT_TRUE(p.texture("nebula_background", &back));
    EXPECT_EQ(back.format, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    EXPECT_EQ(back.not_swizzled, 1);
    EXPECT_GT(1 << back.w_log2, 320);
    EXPECT_GT(1 << back.h_log2, 240);
    EXPECT_GT(distinct_u16(back), 256u);
}

// The datapack as the datapack scene takes it: named sky, camera and head
// nodes, two animations, every material's texture in the packs in the format
// of its pass, a few hundred triangles, and under the first animation a camera
// that stays inside the sky and keeps the sculpture in view.
TEST(SampleVideoAssets, TheDatapackHasItsNodesTexturesAndAMovingCamera)
{
    opened_paks p;
    uint64_t n = 0;
    const uint8_t* b = p.get(VEXIL_RSRC_KIND_MADPACK, "sculpture", &n);
    ASSERT_NE(b, nullptr);
    mad_datapack dp{};
    ASSERT_EQ(mad_datapack_load(&dp, &p.mem.arena, b, n, IO_ENDIAN_NATIVE), b + n);
    const int sky = mad_node_find_by_name(&dp, "sky"), cam = mad_node_find_by_name(&dp, "camera"),
              head = mad_node_find_by_name(&dp, "head");
    ASSERT_GE(sky, 0);
    ASSERT_GE(cam, 0);
    ASSERT_GE(head, 0);
    const int orbit = mad_animation_find_by_name(&dp, "orbit"), hop = mad_animation_find_by_name(&dp, "hop");
    ASSERT_GE(orbit, 0);
    ASSERT_GE(hop, 0);
    const mad_camera* c = dp.nodes[cam].camera;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->is_orthographic, 0);
    EXPECT_GT(c->yfov, 0.3f);
    EXPECT_LT(c->yfov, 1.6f);
    EXPECT_GE(c->znear, 0.25f) << "the depth buffer's nearest plane";
    ASSERT_NE(dp.nodes[sky].mesh, nullptr);
    ASSERT_NE(dp.nodes[head].mesh, nullptr);

    int object_triangles = 0, object_primitives = 0, sky_primitives = 0;
    for (int i = 0; i < dp.nodes_count; i++) {
        const mad_mesh* m = dp.nodes[i].mesh;
        if (!m)
            continue;
        for (int k = 0; k < m->primitives_count; k++) {
            const mad_primitive& pr = m->primitives[k];
            std::string what = std::string(dp.nodes[i].name) + " primitive " + std::to_string(k);
            ASSERT_NE(pr.material, nullptr) << what;
            ASSERT_NE(pr.material->base_color_image, nullptr) << what;
            const n3d_vertices& v = pr.vertices;
            EXPECT_EQ(v.count % 3, 0) << what;
            EXPECT_TRUE(v.xyz && v.uv) << what;
            n3d_texture t{};
            std::string tex = std::string(pr.material->base_color_image->name) + ".tmap";
            ASSERT_TRUE(p.texture(tex.c_str(), &t)) << what << ": no texture " << tex;
            EXPECT_EQ(t.not_swizzled, 0) << tex;
            EXPECT_LE(t.w_log2, 8) << tex;
            EXPECT_LE(t.h_log2, 8) << tex;
            if (i == sky) {
                sky_primitives++;
                EXPECT_EQ(t.format, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) << tex;
            } else {
                object_primitives++;
                object_triangles += v.count / 3;
                EXPECT_EQ(t.format, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555) << tex;
                EXPECT_TRUE(v.n_xyz && v.t_xyz && v.b_xyz) << what << ": the phong path's arrays";
            }
        }
    }
    EXPECT_GE(object_triangles, 200);
    EXPECT_LE(object_triangles, 2000);
    EXPECT_GE(sky_primitives, 1);
    EXPECT_LE(object_primitives, 100);

    // Both animations move a part that carries a mesh.
    for (int a : {orbit, hop}) {
        bool moves_mesh = false;
        for (int k = 0; k < dp.animations[a].channels_count; k++)
            moves_mesh |= dp.animations[a].channels[k].node->mesh != nullptr;
        EXPECT_TRUE(moves_mesh) << dp.animations[a].name;
    }

    // The sky is drawn at a fifth of its size round the camera.
    float sky_r = 1e30f;
    const n3d_vertices& sv = dp.nodes[sky].mesh->primitives[0].vertices;
    for (int i = 0; i < sv.count; i++)
        sky_r = std::min(sky_r, std::sqrt(sv.xyz[3 * i] * sv.xyz[3 * i] + sv.xyz[3 * i + 1] * sv.xyz[3 * i + 1] +
                                          sv.xyz[3 * i + 2] * sv.xyz[3 * i + 2]));
    std::vector<mat4x4> world(dp.nodes_count);
    float head_y_min = 1e30f, head_y_max = -1e30f;
    for (float t = 0.0f; t <= 30.0f; t += 0.25f) {
        mad_animate(&dp, orbit, t);
        mad_animate(&dp, hop, t);
        uint64_t marker = memarena_get_marker(&p.mem.arena);
        mad_world_matrices(world.data(), &dp, &p.mem.arena);
        memarena_goto_marker(&p.mem.arena, marker);
        vec3 eye = {world[cam][3][0], world[cam][3][1], world[cam][3][2]};
        vec3 sky_at = {world[sky][3][0], world[sky][3][1], world[sky][3][2]};
        vec3 d;
        vec3_sub(d, eye, sky_at);
        EXPECT_LT(vec3_len(d), 0.2f * sky_r * 0.9f) << "t " << t;
        // The head (at the sculpture's centre) lies in front of the camera,
        // inside its field of view.
        mat4x4 view;
        mat4x4_invert(view, world[cam]);
        vec4 h = {world[head][3][0], world[head][3][1], world[head][3][2], 1.0f}, hv;
        mat4x4_mul_vec4(hv, view, h);
        EXPECT_LT(hv[2], -1.0f) << "t " << t;
        EXPECT_LT(std::fabs(hv[1] / hv[2]), std::tan(c->yfov / 2.0f)) << "t " << t;
        EXPECT_LT(std::fabs(hv[0] / hv[2]), std::tan(c->yfov / 2.0f) * 4.0f / 3.0f) << "t " << t;
        head_y_min = std::min(head_y_min, world[head][3][1]);
        head_y_max = std::max(head_y_max, world[head][3][1]);
    }
    EXPECT_GT(head_y_max - head_y_min, 0.1f) << "the head does not hop";
}

// The greetings scene's font and text: at least six greetings, each a line
// ended by a newline, printable with the font's glyphs.
TEST(SampleVideoAssets, GreetingsAreLinesTheFontCanPrint)
{
    opened_paks p;
    uint64_t n = 0;
    const uint8_t* fb = p.get(VEXIL_RSRC_KIND_FONT, "greetings.fnt", &n);
    ASSERT_NE(fb, nullptr);
    fontbitmap font{};
    ASSERT_EQ(fontbitmap_io_load(&font, &p.mem.arena, fb, n, IO_ENDIAN_NATIVE), fb + n);
    const char* text = (const char*)p.get(VEXIL_RSRC_KIND_TEXT, "greetings.ini", &n);
    ASSERT_NE(text, nullptr);
    std::string s(text);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.back(), '\n') << "text after the last newline is not a greeting";
    int lines = 0;
    size_t at = 0;
    while (at < s.size()) {
        size_t nl = s.find('\n', at);
        if (nl == std::string::npos)
            break;
        std::string line = s.substr(at, nl - at);
        if (!line.empty())
            lines++;
        int inked = 0;
        for (char ch : line) {
            ASSERT_GE(ch, font.codepoint_first) << line;
            ASSERT_LE(ch, font.codepoint_last) << line;
            inked += font.glyphs[ch - font.codepoint_first].w > 0;
        }
        EXPECT_GT(inked, 0) << "line \"" << line << "\" prints nothing";
        at = nl + 1;
    }
    EXPECT_GE(lines, 6);
}

// The sequence as the production reads it, with the scene each row binds.
struct parsed_sequence {
    arena_block mem{64ull << 20};
    memarena tmp;
    void* tmp_block;
    vexil_sequence seq{};
    std::string text;
    parsed_sequence()
    {
        tmp_block = malloc(8u << 20);
        memarena_init(&tmp, "test_tmp", 8u << 20, tmp_block);
        std::vector<uint8_t> t = read_file(sample_dir() + "/sequence.csv");
        text.assign(t.begin(), t.end());
        vexil_load_sequence(&seq, text.data(), "sequence.csv", &mem.arena, &tmp);
    }
    ~parsed_sequence() { free(tmp_block); }
};

TEST(SampleSequence, UsesEveryBoundSceneKindAndEveryTimeForm)
{
    parsed_sequence p;
    ASSERT_GT(p.seq.rows_count, 0);
    std::set<const vexil_binding_func*> used;
    for (int i = 0; i < p.seq.rows_count; i++) {
        const vexil_sequence_row& row = p.seq.rows[i];
        const vexil_binding_func* b =
            vexil_find_binding_by_name(bindings, bindings_count, row.func_name, (int)strlen(row.func_name));
        ASSERT_NE(b, nullptr) << "line " << row.line << ": " << row.func_name;
        EXPECT_STREQ(b->name, row.func_name) << "line " << row.line << " binds by a shortened name";
        EXPECT_NE(b->scene_func, nullptr) << "line " << row.line << ": " << row.func_name << " is not bound yet";
        used.insert(b);
    }
    for (int i = 0; i < bindings_count; i++) {
        if (bindings[i].scene_func) {
            EXPECT_TRUE(used.count(&bindings[i])) << bindings[i].name << " is bound but the sample never uses it";
        }
    }

    // Every way of giving a time, on either side.
    std::set<std::string> forms;
    int music_syncs = 0;
    for (int i = 0; i < p.seq.rows_count; i++) {
        const vexil_sequence_row& row = p.seq.rows[i];
        for (auto side : {std::make_pair(row.start_op, row.start_op_v), std::make_pair(row.end_op, row.end_op_v)}) {
            std::string op = side.first, ref = side.second;
            if (op == "abs")
                forms.insert("abs");
            else if (ref == "prev" || ref == "me")
                forms.insert(op + " " + ref);
            else
                forms.insert(op + " label");
        }
        music_syncs += strcmp(row.func_name, "music_sync") == 0;
    }
    for (const char* f : {"abs", "relstart prev", "relend prev", "relstart me", "relend me", "relstart label"})
        EXPECT_TRUE(forms.count(f)) << "no row gives a time as " << f;
    EXPECT_EQ(music_syncs, 1);
    EXPECT_GE(p.seq.labels_count, 2);
    EXPECT_GE(p.seq.barriers_count, 1);
    // The music starts after the loading screen: rows keep their times and the
    // music's first frame plays 3 s into the clock.
    EXPECT_EQ(p.seq.music_start_22050hz, 3 * 22050);
    // The production ends with its closing fade, the last row to end.
    const vexil_sequence_row& last = p.seq.rows[p.seq.rows_count - 1];
    EXPECT_STREQ(last.func_name, "fade_out_music");
    for (int i = 0; i < p.seq.rows_count; i++)
        EXPECT_LE(p.seq.rows[i].end_22050hz, last.end_22050hz) << "line " << p.seq.rows[i].line;
}

}  // namespace
