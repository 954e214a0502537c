// The sample production as data: the generator writes the same packs every
// time (and the build's packs are its output), every payload is a whole record
// its kind's loader reads to the last byte, and the sequence uses every scene
// kind the bindings table binds, with every form of time, labels, a barrier and
// one music_sync.
#include <gtest/gtest.h>

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
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "vexil/vexil.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil_fs.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_scenes.h"
#include "vexil/vexil_bindings.h"
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
    captured_run r = capture_program({std::string(QF_BINARY_DIR) + "/sample/sample_generate", sample_dir(), out, work, FONT},
                                     "", {}, 120);
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
