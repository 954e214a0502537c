// Hostile production data whose refusals named neither the file nor the row:
// damaged pack directories, damaged palette records, asset files with a marker
// of neither byte order, and sequences with nothing to play or nothing that ends
// them. One row each: the stream the message goes to, the exit status, the
// message itself and the name beside it (the textures of the video scenes and
// the camera values are checked where those scenes are tested).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/io.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/vexil_fixture.h"
#include "vexil/fontbitmap.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

std::string u32(uint32_t v)
{
    uint8_t b[4];
    io_store32(b, v, IO_ENDIAN_NATIVE);
    return std::string(reinterpret_cast<char*>(b), 4);
}

std::string u16(uint16_t v)
{
    uint8_t b[2];
    io_store16(b, v, IO_ENDIAN_NATIVE);
    return std::string(reinterpret_cast<char*>(b), 2);
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---- pack directories -----------------------------------------------------------------

// pak1 holds one text "t" of 2 bytes: marker, count, one 16-byte entry (flags,
// tag, name size, offset, size), the name "t", then the payload at 26.
constexpr size_t kEntry = 8, kName = 24, kPayload = 26;

TEST(RegressHostileNames, DamagedPackDirectoriesNameTheirPack)
{
    struct row {
        const char* why;
        void (*damage)(std::string& pak);
        std::string message;  // %s: the damaged pack's size in bytes
    };
    const row rows[] = {
        {"cut to 7 bytes", [](std::string& p) { p.resize(7); }, "pak file of 7 bytes is too short for its directory\n"},
        {"a marker of neither byte order", [](std::string& p) { p.replace(0, 4, u32(0x12345678u)); },
         "pak file has an invalid endian marker 0x12345678\n"},
        {"more entries than the file holds", [](std::string& p) { p.replace(4, 4, u32(1000)); },
         "pak directory of 1000 entries does not fit in a file of 28 bytes\n"},
        {"a name without its NUL", [](std::string& p) { p[kName + 1] = 'y'; },
         "pak directory entry 0: name of size 2 is not terminated inside the directory\n"},
        {"a payload past the end", [](std::string& p) { p.replace(kEntry + 8, 4, u32(1000)); },
         "pak entry \"t\": payload at 1000 of 2 bytes lies outside the file of 28 bytes\n"},
    };
    const std::string dir = capture_temp_dir();
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        vexil_fixture_write_production(
            dir, {{vexil_fixture_text("sequence.csv", "header\n")}, {vexil_fixture_text("t", "x")}});
        const std::string path = vexil_fixture_asset_dir(dir) + "/pak1.vxf";
        std::string pak = vexil_fixture_read_file(path);
        ASSERT_EQ(pak.size(), kPayload + 2);
        r.damage(pak);
        vexil_fixture_write_file(path, pak);
        captured_run res = capture_run([&] {
            vexil_fixture_host h;
            vexil_fixture_start(&h, dir);
        });
        EXPECT_TRUE(res.exited);
        EXPECT_EQ(res.status, 1);
        EXPECT_NE(res.err.find("crash in "), std::string::npos) << res.err;
        EXPECT_TRUE(ends_with(res.err, r.message + "in pak file \"assets/vexil/le/pak1.vxf\"\n")) << res.err;
    }
    vexil_fixture_remove_production(dir);
}

// ---- palette records ------------------------------------------------------------------

TEST(RegressHostileNames, DamagedPaletteRecordsNameTheFileAndTheReason)
{
    const std::string four_colours(16, 'c');
    const struct {
        const char* why;
        std::string file;
        const char* reason;
    } rows[] = {
        {"the colours cut in half", u32(IO_ENDIAN_MARKER) + u16(0) + u16(4) + four_colours.substr(0, 8),
         "4 entries need 16 bytes, 8 follow the header"},
        {"the last byte missing", u32(IO_ENDIAN_MARKER) + u16(0) + u16(4) + four_colours.substr(0, 15),
         "4 entries need 16 bytes, 15 follow the header"},
        {"count 65535", u32(IO_ENDIAN_MARKER) + u16(0) + u16(65535) + four_colours,
         "65535 entries from offset 0 reach past 256 colours"},
        {"offset 250 and 7 entries", u32(IO_ENDIAN_MARKER) + u16(250) + u16(7) + four_colours + four_colours,
         "7 entries from offset 250 reach past 256 colours"},
        {"the marker alone", u32(IO_ENDIAN_MARKER), "palette header of 4 bytes does not fit in 0 bytes"},
        // Native fields behind a swapped marker: count 1 reads as 256.
        {"the marker swapped", u32(0xCDAB0000u) + u16(0) + u16(1) + four_colours.substr(0, 4),
         "256 entries need 1024 bytes, 4 follow the header"},
    };
    const std::string dir = capture_temp_dir();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        const std::string path = dir + "/bad.pal";
        vexil_fixture_write_file(path, r.file);
        captured_run res = capture_run([&] {
            test_arena ta;
            palette_load_file(&ta.arena, path.c_str());
        });
        EXPECT_TRUE(res.exited);
        EXPECT_EQ(res.status, 1);
        EXPECT_EQ(res.out, "palette record refused: " + std::string(r.reason) + "\nfailed load file\nin file \"" +
                               path + "\"\n");
        EXPECT_EQ(res.err, "");
    }
}

// ---- file loaders ---------------------------------------------------------------------

// The marker's halves exchanged is neither byte order: every loader of an asset
// file stops there and says which file.
TEST(RegressHostileNames, EachFileLoaderNamesTheFileOfABadMarker)
{
    const struct {
        const char* loader;
        const char* name;
        void (*load)(memarena* arena, const char* path);
    } rows[] = {
        {"texture", "bad.tmap", [](memarena* a, const char* p) { n3d_io_asset_texture_load_file(a, p); }},
        {"mesh", "bad.mesh", [](memarena* a, const char* p) { n3d_io_asset_mesh_load_file(a, p); }},
        {"palette", "bad.pal", [](memarena* a, const char* p) { palette_load_file(a, p); }},
        {"palette animation", "bad.panim", [](memarena* a, const char* p) { palette_animation_load_file(a, p); }},
        {"font", "bad.fnt", [](memarena* a, const char* p) { fontbitmap_load_file(a, p); }},
    };
    const std::string dir = capture_temp_dir();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.loader);
        const std::string path = dir + "/" + r.name;
        vexil_fixture_write_file(path, std::string("\0\0\xCD\xAB", 4) + std::string(64, '\0'));
        captured_run res = capture_run([&] {
            test_arena ta;
            r.load(&ta.arena, path.c_str());
        });
        EXPECT_TRUE(res.exited);
        EXPECT_EQ(res.status, 1);
        EXPECT_NE(res.err.find("crash at "), std::string::npos) << res.err;
        EXPECT_TRUE(ends_with(res.err, "invalid endian marker?\nin file \"" + path + "\"\n")) << res.err;
    }
}

// ---- sequences ------------------------------------------------------------------------

TEST(RegressHostileNames, SequencesThatPlayNothingOrNeverEndSaySoOnceAtLoad)
{
    const std::string header = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n";
    const std::string no_rows = "sequence \"sequence.csv\" has no rows: nothing plays, the window stays until Escape\n";
    const std::string no_end =
        "sequence \"sequence.csv\" has no row that ends the production (fade_out_music): it plays until Escape\n";
    const struct {
        const char* why;
        std::string text;
        std::string warning;  // empty: none
    } rows[] = {
        {"an empty file", "", no_rows},
        {"its header alone", header, no_rows},
        {"comments and empty lines only", header + "# nothing\n\n# still nothing\n", no_rows},
        {"rows, none of them the closing fade", header + "abs,prev,0,0,abs,prev,1000,video_clear,1,2,3\n", no_end},
        {"a closing fade far away",
         header + "abs,prev,0,0,abs,prev,1000,video_clear,1,2,3\n"
                  "abs,prev,900000,0,abs,prev,990000,fade_out_music\n",
         ""},
        // A shortened name binds the first kind it begins, the fade here.
        {"the fade by a shortened name", header + "abs,prev,900000,0,abs,prev,990000,fade_out\n", ""},
    };
    const std::string dir = capture_temp_dir();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", r.text)}});
        captured_run res = capture_run([&] {
            vexil_fixture_host h;
            vexil_fixture_start(&h, dir);
            for (int i = 0; i < 20; i++)
                vexil_fixture_update(&h, i & 1);
        });
        EXPECT_TRUE(res.exited);
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.err, r.warning);
        EXPECT_EQ(res.out.find("sequence \""), std::string::npos) << res.out;
    }
    vexil_fixture_remove_production(dir);
}

}  // namespace
