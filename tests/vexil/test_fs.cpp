// Pack files: directory layout written by the pack writer, reading back in both
// byte orders, the checks on a damaged directory, and the resource cache over
// three packs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/io.h"
#include "image/palette.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/vexil_fixture.h"
#include "vexil/vexil.h"
#include "vexil/vexil_fs.h"
#include "vexil/vexil_rsrc.h"

namespace {

struct test_arena {
    std::vector<uint8_t> block;
    memarena arena;
    explicit test_arena(size_t size = 8 << 20) : block(size)
    {
        memarena_init(&arena, "test_arena", block.size(), block.data());
    }
};

std::string pack_bytes(const std::vector<vexil_fixture_payload>& payloads, int endian = IO_ENDIAN_NATIVE)
{
    std::string path = capture_temp_dir() + "/pack.vxf";
    vexil_fixture_write_pack(path, payloads, endian);
    return vexil_fixture_read_file(path);
}

uint32_t load32(const std::string& b, size_t at, int endian)
{
    uint32_t v;
    io_load32(&v, reinterpret_cast<const uint8_t*>(b.data()) + at, endian);
    return v;
}

uint16_t load16(const std::string& b, size_t at, int endian)
{
    uint16_t v;
    io_load16(&v, reinterpret_cast<const uint8_t*>(b.data()) + at, endian);
    return v;
}

TEST(VexilFsPack, TwoShortNamesGiveA45ByteDirectoryAndTheFirstPayloadAt45)
{
    std::string bytes = pack_bytes({{"a", VEXIL_RSRC_KIND_TEXT, "xyz", 1}, {"bb", VEXIL_RSRC_KIND_MUSIC, "12", 0}});
    ASSERT_EQ(bytes.size(), 45u + 4 + 2);
    const int e = IO_ENDIAN_NATIVE;
    EXPECT_EQ(load32(bytes, 0, e), IO_ENDIAN_MARKER);
    EXPECT_EQ(load32(bytes, 4, e), 2u);
    // entry 0: flags, tag, name_size, offset, size
    EXPECT_EQ(load32(bytes, 8, e), 0u);
    EXPECT_EQ(load16(bytes, 12, e), VEXIL_RSRC_KIND_TEXT);
    EXPECT_EQ(load16(bytes, 14, e), 2);
    EXPECT_EQ(load32(bytes, 16, e), 45u);
    EXPECT_EQ(load32(bytes, 20, e), 4u);  // 3 bytes and one pad byte
    EXPECT_EQ(load16(bytes, 28, e), VEXIL_RSRC_KIND_MUSIC);
    EXPECT_EQ(load16(bytes, 30, e), 3);
    EXPECT_EQ(load32(bytes, 32, e), 49u);
    EXPECT_EQ(load32(bytes, 36, e), 2u);
    EXPECT_EQ(bytes.substr(40, 5), std::string("a\0bb\0", 5));
    EXPECT_EQ(bytes.substr(45), std::string("xyz\0"
                                            "12",
                                            6));

    vexil_fs_pack pack;
    vexil_fs_pack_begin(&pack, IO_ENDIAN_NATIVE);
    test_arena a;
    std::string dir = capture_temp_dir();
    vexil_fixture_write_file(dir + "/one", "1");
    vexil_fs_pack_add_file(&pack, &a.arena, 9, 0, "a", (dir + "/one").c_str());
    vexil_fs_pack_add_file(&pack, &a.arena, 9, 3, "bb", (dir + "/one").c_str());
    EXPECT_EQ(vexil_fs_header_size(&pack), 45u);
    EXPECT_EQ(vexil_fs_payload_size(&pack), 1u + 4u);
}

TEST(VexilFsPack, ReadsBackInBothByteOrders)
{
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        SCOPED_TRACE(endian);
        std::vector<vexil_fixture_payload> payloads = {
            {"sequence.csv", VEXIL_RSRC_KIND_TEXT, "header\n", 2},
            {"tex", VEXIL_RSRC_KIND_TEXTURE, std::string(300, '\x5a'), 0},
            {"empty", VEXIL_RSRC_KIND_MUSIC, "", 0},
            {"tex", VEXIL_RSRC_KIND_PALETTE, "pal", 0},
            {"tex", VEXIL_RSRC_KIND_TEXTURE, "second with the same name", 0},
        };
        std::string bytes = pack_bytes(payloads, endian);
        test_arena a;
        vexil_fs fs;
        vexil_fs_open(&fs, bytes.data(), bytes.size(), &a.arena);
        EXPECT_EQ(fs.header.endian, endian);
        ASSERT_EQ(fs.header.entries_count, 5);
        uint32_t expect_offset = (uint32_t)(8 + 5 * 16 + 13 + 4 + 6 + 4 + 4);
        for (int i = 0; i < 5; i++) {
            const vexil_fs_entry& e = fs.header.entries[i];
            EXPECT_STREQ(e.name, payloads[i].name.c_str());
            EXPECT_EQ(e.tag, payloads[i].kind);
            EXPECT_EQ(e.name_size, payloads[i].name.size() + 1);
            EXPECT_EQ(e.offset, expect_offset);
            EXPECT_EQ(e.size, payloads[i].bytes.size() + payloads[i].pad);
            EXPECT_EQ(e.data, reinterpret_cast<uint8_t*>(bytes.data()) + e.offset);
            expect_offset += e.size;
        }

        size_t size = 12345;
        // The first entry in directory order with that tag and exactly that name.
        uint8_t* p = vexil_fs_get(&fs, VEXIL_RSRC_KIND_TEXTURE, "tex", &size);
        EXPECT_EQ(p, fs.header.entries[1].data);
        EXPECT_EQ(size, 300u);
        p = vexil_fs_get(&fs, VEXIL_RSRC_KIND_PALETTE, "tex", &size);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p), size), "pal");
        p = vexil_fs_get(&fs, VEXIL_RSRC_KIND_TEXT, "sequence.csv", &size);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p), size), std::string("header\n\0\0", 9));
        size = 777;
        EXPECT_EQ(vexil_fs_get(&fs, VEXIL_RSRC_KIND_TEXT, "sequence", &size), nullptr);
        EXPECT_EQ(vexil_fs_get(&fs, VEXIL_RSRC_KIND_TEXT, "sequence.csv2", &size), nullptr);
        EXPECT_EQ(vexil_fs_get(&fs, VEXIL_RSRC_KIND_IMAGE, "tex", &size), nullptr);
        EXPECT_EQ(size, 777u);
    }
}

TEST(VexilFsPack, AlignRoundsUpToPowersOfTwo)
{
    const size_t cases[][3] = {{0, 8, 0},   {1, 8, 8},   {8, 8, 8},         {9, 8, 16},
                               {45, 4, 48}, {45, 1, 45}, {4097, 4096, 8192}};
    for (const auto& c : cases)
        EXPECT_EQ(vexil_fs_align(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

// A damaged directory stops with its message before anything is read out of
// bounds: the image lies in a block of exactly its size, so the sanitizer build
// reports any byte read past it.
TEST(VexilFsPack, DamagedDirectoriesFailWithTheirMessage)
{
    std::string good = pack_bytes({{"ab", VEXIL_RSRC_KIND_TEXT, "text", 1}, {"cde", VEXIL_RSRC_KIND_MUSIC, "m", 0}});
    ASSERT_EQ(good.size(), 8u + 32 + 3 + 4 + 5 + 1);
    auto with = [&](size_t at, const std::string& bytes) {
        std::string b = good;
        b.replace(at, bytes.size(), bytes);
        return b;
    };
    auto u32 = [](uint32_t v) {
        uint8_t b[4];
        io_store32(b, v, IO_ENDIAN_NATIVE);
        return std::string(reinterpret_cast<char*>(b), 4);
    };
    auto u16 = [](uint16_t v) {
        uint8_t b[2];
        io_store16(b, v, IO_ENDIAN_NATIVE);
        return std::string(reinterpret_cast<char*>(b), 2);
    };
    struct {
        const char* why;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"empty file", "", "too short for its directory"},
        {"marker only", good.substr(0, 7), "too short for its directory"},
        {"unknown marker", with(0, u32(0x12345678)), "invalid endian marker 0x12345678"},
        {"marker of the wrong width", with(0, u32(0xABCD0000)), "invalid endian marker"},
        {"count past the file", with(4, u32(5)), "does not fit in a file of 53 bytes"},
        {"huge count", with(4, u32(0xFFFFFFFF)), "does not fit"},
        {"directory cut inside the entries", good.substr(0, 30), "does not fit"},
        {"names cut off", good.substr(0, 42), "not terminated inside the directory"},
        {"name without its NUL", with(42, std::string("X")), "not terminated inside the directory"},
        {"name size too small", with(14, u16(2)), "not terminated inside the directory"},
        {"name size zero", with(14, u16(0)), "not terminated inside the directory"},
        {"name size past the file", with(30, u16(60000)), "not terminated inside the directory"},
        {"payload offset past the file", with(16, u32(60)), "lies outside the file of 53 bytes"},
        {"payload size past the file", with(36, u32(2)), "lies outside the file"},
        {"offset and size wrapping 32 bits", with(16, u32(0xFFFFFFF0)), "lies outside the file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] {
            uint8_t* exact = static_cast<uint8_t*>(malloc(c.bytes.size() ? c.bytes.size() : 1));
            memcpy(exact, c.bytes.data(), c.bytes.size());
            test_arena a(1 << 16);
            vexil_fs fs;
            vexil_fs_open(&fs, exact, c.bytes.size(), &a.arena);
        });
        EXPECT_EQ(r.exited, 1);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(crash_site(r.err).find(crash_site("crash in  at src/vexil_fs:")), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST(VexilFsPack, MissingFileFailsWithItsPath)
{
    captured_run r = capture_run([] {
        test_arena a(1 << 16);
        vexil_fs fs;
        vexil_fs_open_file(&fs, "/nonexistent/pak0.vxf", &a.arena);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed read \"/nonexistent/pak0.vxf\"\n"), std::string::npos) << r.err;
}

TEST(VexilFsPack, WriterReportsAMissingSourceFile)
{
    captured_run r = capture_run([] {
        test_arena a(1 << 16);
        vexil_fs_pack pack;
        vexil_fs_pack_begin(&pack, IO_ENDIAN_NATIVE);
        vexil_fs_pack_add_file(&pack, &a.arena, 9, 1, "x", "/nonexistent/x.txt");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed open \"/nonexistent/x.txt\"\n"), std::string::npos) << r.err;
}

// ---- resource cache over three packs ----

struct cache_fixture {
    test_arena a{16 << 20};
    test_arena t{1 << 20};
    std::string images[3];
    vexil_fs paks[3];
    vexil d;

    explicit cache_fixture(const std::vector<std::vector<vexil_fixture_payload>>& packs, int endian = IO_ENDIAN_NATIVE)
    {
        memset(&d, 0, sizeof d);
        d.arena = &a.arena;
        d.tmp_arena = &t.arena;
        for (int i = 0; i < 3; i++) {
            images[i] = pack_bytes(i < (int)packs.size() ? packs[i] : std::vector<vexil_fixture_payload>{}, endian);
            vexil_fs_open(&paks[i], images[i].data(), images[i].size(), &a.arena);
        }
        d.paks = paks;
        d.paks_count = 3;
    }
};

std::string palette_asset(int offset, std::vector<uint8_t> rgba, int endian = IO_ENDIAN_NATIVE)
{
    palette p;
    p.offset = offset;
    p.count = (int)rgba.size() / 4;
    p.rgba8888 = rgba.data();
    uint8_t buf[4096];
    uint8_t* end = palette_io_store(buf, &p, endian);
    return vexil_fixture_asset(std::string(reinterpret_cast<char*>(buf), (size_t)(end - buf)), endian);
}

TEST(VexilResourceCache, LaterPacksOverrideEarlierOnesAndOtherKindsDoNotHide)
{
    cache_fixture f({
        {vexil_fixture_text("both", "from pak0"), vexil_fixture_text("kinds", "text in pak0")},
        {vexil_fixture_text("middle", "from pak1")},
        {vexil_fixture_text("both", "from pak2"), {"kinds", VEXIL_RSRC_KIND_MUSIC, "music in pak2", 0}},
    });
    EXPECT_STREQ(static_cast<char*>(vexil_load_resource(&f.d, "both", VEXIL_RSRC_KIND_TEXT)), "from pak2");
    EXPECT_STREQ(static_cast<char*>(vexil_load_resource(&f.d, "middle", VEXIL_RSRC_KIND_TEXT)), "from pak1");
    // pak2 holds "kinds" as music: the text entry of pak0 is still found.
    char* text = static_cast<char*>(vexil_load_resource(&f.d, "kinds", VEXIL_RSRC_KIND_TEXT));
    EXPECT_STREQ(text, "text in pak0");
    EXPECT_EQ(text, reinterpret_cast<char*>(f.paks[0].header.entries[1].data));  // used in place
}

TEST(VexilResourceCache, ASecondRequestReturnsTheSameObjectWithoutThePacks)
{
    cache_fixture f({{{"pal", VEXIL_RSRC_KIND_PALETTE, palette_asset(16, {1, 2, 3, 4, 5, 6, 7, 8}), 0},
                      {"song", VEXIL_RSRC_KIND_MUSIC, std::string("\x12\x34\x56", 3), 0}}});
    palette* p = vexil_load_palette(&f.d, "pal");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->offset, 16);
    ASSERT_EQ(p->count, 2);
    EXPECT_EQ(std::vector<uint8_t>(p->rgba8888, p->rgba8888 + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    vexil_music* m = vexil_load_music(&f.d, "song");
    EXPECT_EQ(m->size, 3u);
    EXPECT_EQ(m->buffer, f.paks[0].header.entries[1].data);

    // With the packs emptied, the cache alone answers.
    for (auto& pak : f.paks)
        pak.header.entries_count = 0;
    EXPECT_EQ(vexil_load_palette(&f.d, "pal"), p);
    EXPECT_EQ(vexil_load_music(&f.d, "song"), m);
    EXPECT_EQ(f.t.arena.sp, 0u);  // scratch rewound after every decode
}

TEST(VexilResourceCache, PaletteDecodesInTheFirstPacksByteOrder)
{
    cache_fixture f({{{"pal", VEXIL_RSRC_KIND_PALETTE, palette_asset(200, {9, 8, 7, 6}, IO_ENDIAN_SWAPPED), 0}}},
                    IO_ENDIAN_SWAPPED);
    palette* p = vexil_load_palette(&f.d, "pal");
    EXPECT_EQ(p->offset, 200);
    EXPECT_EQ(p->count, 1);
    EXPECT_EQ(p->rgba8888[0], 9);
}

TEST(VexilResourceCache, TextPayloadsEndAtTheirPadding)
{
    for (size_t pad : {1, 2, 7}) {
        cache_fixture f({{{"t", VEXIL_RSRC_KIND_TEXT, "abc\ndef", pad}, {"after", VEXIL_RSRC_KIND_MUSIC, "zzzz", 0}}});
        EXPECT_STREQ(static_cast<char*>(vexil_load_resource(&f.d, "t", VEXIL_RSRC_KIND_TEXT)), "abc\ndef") << pad;
    }
}

TEST(VexilResourceCache, FailuresStopWithTheirMessages)
{
    struct {
        const char* why;
        vexil_fixture_payload payload;
        const char* name;
        int kind;
        const char* message;
        int loaded_first_as = -1;  // a request for the same name made before, with this kind
    } cases[] = {
        {"missing name", vexil_fixture_text("x", "x"), "y", VEXIL_RSRC_KIND_TEXT,
         "could not find \"y\" with kind 9 in pak file!\n"},
        {"missing kind", vexil_fixture_text("x", "x"), "x", VEXIL_RSRC_KIND_IMAGE,
         "could not find \"x\" with kind 5 in pak file!\n"},
        {"unknown kind", {"odd", 10, "data", 0}, "odd", 10, "kind 10??\n"},
        // A damaged record inside a pack is named by the cache, not by the loader.
        {"bad palette record",
         {"pal", VEXIL_RSRC_KIND_PALETTE, vexil_fixture_asset("\x01"), 0},
         "pal",
         VEXIL_RSRC_KIND_PALETTE,
         "failed load \"pal\" tag 3\n"},
        {"palette reaching past 256 entries",
         {"pal", VEXIL_RSRC_KIND_PALETTE, vexil_fixture_asset(std::string("\xFF\x00\x02\x00", 4) + std::string(8, 'c')),
          0},
         "pal",
         VEXIL_RSRC_KIND_PALETTE,
         "failed load \"pal\" tag 3\n"},
        {"bad palette animation record",
         {"pa", VEXIL_RSRC_KIND_PALETTE_ANIMATION, vexil_fixture_asset("\x01"), 0},
         "pa",
         VEXIL_RSRC_KIND_PALETTE_ANIMATION,
         "failed load \"pa\" tag 2\n"},
        {"asset payload shorter than its marker",
         {"pal", VEXIL_RSRC_KIND_PALETTE, "ab", 0},
         "pal",
         VEXIL_RSRC_KIND_PALETTE,
         "failed load \"pal\" tag 3\n"},
        {"text without its zero byte",
         {"t", VEXIL_RSRC_KIND_TEXT, "no end", 0},
         "t",
         VEXIL_RSRC_KIND_TEXT,
         "not terminated inside its payload"},
        // The cache is keyed by name: the text must not come back as a palette record.
        {"a cached text asked for as a palette", vexil_fixture_text("pal", std::string(64, 'A')), "pal",
         VEXIL_RSRC_KIND_PALETTE, "\"pal\" was loaded with kind 9 and cannot be used with kind 3\n",
         VEXIL_RSRC_KIND_TEXT},
        {"a cached palette asked for as text",
         {"pal", VEXIL_RSRC_KIND_PALETTE, palette_asset(16, {1, 2, 3, 4}), 0},
         "pal",
         VEXIL_RSRC_KIND_TEXT,
         "\"pal\" was loaded with kind 3 and cannot be used with kind 9\n",
         VEXIL_RSRC_KIND_PALETTE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] {
            cache_fixture f({{c.payload}});
            if (c.loaded_first_as >= 0)
                vexil_load_resource(&f.d, c.name, c.loaded_first_as);
            vexil_load_resource(&f.d, c.name, c.kind);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
    }
}

// A decoder reads only its own payload: a record cut short fails even when the
// bytes of the next payload follow it in the file.
TEST(VexilResourceCache, AnAssetIsDecodedFromItsPayloadAlone)
{
    std::string whole = palette_asset(16, {1, 2, 3, 4, 5, 6, 7, 8});
    std::string cut = whole.substr(0, whole.size() - 4);  // two colours announced, one there
    captured_run r = capture_run([&] {
        cache_fixture f({{{"pal", VEXIL_RSRC_KIND_PALETTE, cut, 0}, vexil_fixture_text("next", std::string(64, 'x'))}});
        vexil_load_palette(&f.d, "pal");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed load \"pal\" tag 3\n"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("failed load file"), std::string::npos) << r.out;
    cache_fixture f({{{"pal", VEXIL_RSRC_KIND_PALETTE, whole, 0}, vexil_fixture_text("next", std::string(64, 'x'))}});
    EXPECT_EQ(vexil_load_palette(&f.d, "pal")->count, 2);
}

}  // namespace

namespace {

// All packs of a production share the first pack's byte order: a pack in the
// other order stops the first loading step instead of being misread.
TEST(VexilResourceCache, APackInAnotherByteOrderThanTheFirstStopsLoading)
{
    for (int odd_one : {1, 2}) {
        SCOPED_TRACE(odd_one);
        captured_run r = capture_run([&] {
            std::string dir = capture_temp_dir();
            vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", "h\n")}});
            vexil_fixture_write_pack(vexil_fixture_asset_dir(dir) + "/pak" + std::to_string(odd_one) + ".vxf",
                                     {vexil_fixture_text("x", "y")}, IO_ENDIAN_SWAPPED);
            vexil_fixture_host h;
            vexil_fixture_start(&h, dir);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("\"assets/vexil/le/pak" + std::to_string(odd_one) +
                             ".vxf\" has another byte order than \"pak0.vxf\"\n"),
                  std::string::npos)
            << r.err;
    }
    // All three swapped is a production of that byte order.
    captured_run r = capture_run([] {
        std::string dir = capture_temp_dir();
        vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", "h\nabs,prev,0,0,abs,prev,1,a\n")}},
                                       IO_ENDIAN_SWAPPED);
        vexil_fixture_host h;
        vexil_fixture_start(&h, dir);
        printf("rows %d endian %x\n", h.ds->vexil.sequence.rows_count, h.ds->vexil.paks[0].header.endian);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("rows 1 endian 4321\n"), std::string::npos) << r.out;
}

}  // namespace
