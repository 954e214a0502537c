// Ini texts and the argument parsers: what the handlers receive for each
// syntax, the scene keys and their prefixes, the messages of bad texts, and
// integers, floats, strings and colours read from a row's arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/palette.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/vexil_fixture.h"
#include "vexil/parse_ini.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_scene_load.h"
#include "vexil/vexil_scenes.h"

namespace {

// What a handler saw: "key=value" for scalars, "key[index/count]=element" for arrays.
std::vector<std::string> g_seen;

void record_kv(char* key, int key_n, char* value, int value_n, void* user)
{
    (void)user;
    // Both are terminated during the call.
    EXPECT_EQ((int)strlen(key), key_n);
    EXPECT_EQ((int)strlen(value), value_n);
    g_seen.push_back(std::string(key, (size_t)key_n) + "=" + std::string(value, (size_t)value_n));
}

void record_array(char* key, int key_n, char* value, int value_n, int index, int count, void* user)
{
    (void)user;
    EXPECT_EQ((int)strlen(key), key_n);
    EXPECT_EQ((int)strlen(value), value_n);
    g_seen.push_back(std::string(key, (size_t)key_n) + "[" + std::to_string(index) + "/" + std::to_string(count) +
                     "]=" + std::string(value, (size_t)value_n));
}

std::vector<std::string> parse(const std::string& text)
{
    g_seen.clear();
    std::string copy = text;
    parse_ini(copy.data(), "f.ini", record_kv, record_array, nullptr);
    EXPECT_EQ(copy, text) << "the text is restored after every call";
    return g_seen;
}

typedef std::vector<std::string> seen;

TEST(ParseIni, HandlersSeeKeysValuesAndArrayElements)
{
    struct {
        const char* why;
        std::string text;
        seen expect;
    } cases[] = {
        {"scalar", "scene_name = title\n", {"scene_name=title"}},
        {"the value ends at a non-word character and so does the parse",
         "scene_name = title.x\nother = 1\n",
         {"scene_name=title"}},
        {"several lines, comments and tabs",
         "# head\na=1\n\tb = 2 # note\n# c = 3\nc_3 = x_y\n",
         {"a=1", "b=2", "c_3=x_y"}},
        {"an empty value at the end", "a = 1\nb =", {"a=1", "b="}},
        {"whatever follows a value on its line starts the next key", "a = 1 b = 2\n", {"a=1", "b=2"}},
        {"anything up to the = on the key's line is skipped", "key junk here = v\n", {"key=v"}},
        {"a comment with = and [ inside an array", "xs = [ a # x = [y\n b ]\n", {"xs[0/2]=a", "xs[1/2]=b"}},
        {"array", "palettes = [p1 p2 ]\n", {"palettes[0/2]=p1", "palettes[1/2]=p2"}},
        {"an element against the bracket keeps it",
         "palettes = [p1 p2]\nnext = 1\n",
         {"palettes[0/2]=p1", "palettes[1/2]=p2]", "next=1"}},
        {"elements over lines with comments",
         "xs = [ a # one\n  b\n\tc ]\ny = 5\n",
         {"xs[0/3]=a", "xs[1/3]=b", "xs[2/3]=c", "y=5"}},
        {"empty arrays", "e = []\nf = [ ]\ng = 7", {"g=7"}},
        {"an element at the end of the text", "a = [x y]", {"a[0/2]=x", "a[1/2]=y]"}},
        {"carriage returns after the first line are white space",
         "a = 1\nb = 2\r\nc = [x\r\ny ]\r\n",
         {"a=1", "b=2", "c[0/2]=x", "c[1/2]=y"}},
        {"empty text", "", {}},
        {"only comments", "# a\n# b", {}},
        {"a line that does not begin with a key ends the parse", "a = 1\n-b = 2\n", {"a=1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(parse(c.text), c.expect);
    }
}

TEST(ParseIni, SyntaxErrorsPrintTheirMessageAndExitOne)
{
    struct {
        const char* why;
        std::string text;
        std::string err;
    } cases[] = {
        {"carriage return in the first line", "a = 1\r\nb = 2\n",
         "txt contains \\r either bug or unpacked using some tool that converts unix lines to mac.. tryp MacZip\n"
         "in file \"f.ini\"\n"},
        // The key's own line is named, not where the search for "=" ended.
        {"missing =", "a = 1\nb\n\n", "missing '=' on line 2 in file \"f.ini\"\n"},
        {"a key without = before the next key", "palettes p1 p2\nimages = [ x ]\n",
         "missing '=' on line 1 in file \"f.ini\"\n"},
        {"missing = at the end", "a", "missing '=' on line 1 in file \"f.ini\"\n"},
        {"line count after an array with the bracket in its element", "a = [x y]\nb\n",
         "missing '=' on line 2 in file \"f.ini\"\n"},
        {"line count after an array over lines", "a = [x\n y ]\nb\n", "missing '=' on line 3 in file \"f.ini\"\n"},
        {"unclosed array", "a = 1\n\nb = [x y\nz\n",
         "expected ']' to close array starting on line 3 in file \"f.ini\"\n"},
        {"unclosed array running into the next key", "a = [x y\nb = [z]\n",
         "expected ']' to close array starting on line 1 in file \"f.ini\"\n"},
        {"unclosed array running into the next scalar", "a = [x y\nscene_name = t\nb = [z]\n",
         "expected ']' to close array starting on line 1 in file \"f.ini\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] { parse(c.text); });
        EXPECT_EQ(r.exited, 1);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(ParseIni, ScanningStepsCountLineFeeds)
{
    std::string t = "  # c\n\n  word_1 rest\nx=";
    char* s = t.data();
    int line = 1;
    parse_ini_seek_past_comment_and_whitespace(&s, &line);
    EXPECT_EQ(line, 3);
    EXPECT_EQ(*s, 'w');
    parse_ini_seek_past_alphanumeric(&s, &line);
    EXPECT_EQ(*s, ' ');
    s++;
    parse_ini_seek_until_whitespace(&s, &line);
    EXPECT_EQ(*s, '\n');
    EXPECT_EQ(parse_ini_seek_until_chr(&s, '=', &line), 0);
    EXPECT_EQ(*s, '=');
    EXPECT_EQ(line, 4);
    EXPECT_NE(parse_ini_seek_until_chr(&s, ']', &line), 0);
    EXPECT_EQ(*s, 0);
}

// ---- scene keys ----

std::string palette_asset(int offset, int count)
{
    palette p;
    std::vector<uint8_t> rgba((size_t)count * 4, 7);
    p.offset = offset;
    p.count = count;
    p.rgba8888 = rgba.data();
    uint8_t buf[2048];
    uint8_t* end = palette_io_store(buf, &p, IO_ENDIAN_NATIVE);
    return vexil_fixture_asset(std::string(reinterpret_cast<char*>(buf), (size_t)(end - buf)));
}

struct scene_ini_fixture {
    vexil_fixture_host h;
    vexil_scene scene;
    scene_ini_fixture()
    {
        std::string dir = capture_temp_dir();
        vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", "h\n"),
                                              {"p1", VEXIL_RSRC_KIND_PALETTE, palette_asset(0, 2), 0},
                                              {"p2", VEXIL_RSRC_KIND_PALETTE, palette_asset(10, 3), 0}}});
        vexil_fixture_start(&h, dir);
        memset(&scene, 0, sizeof scene);
    }
    void parse(const std::string& text)
    {
        vexil* d = &h.ds->vexil;
        vexil_parse_ini_scene_user user = {d, &scene, d->arena, d->tmp_arena, bindings, bindings_count};
        std::string copy = text;
        parse_ini(copy.data(), "scene.ini", vexil_parse_ini_scene_key_value, vexil_parse_ini_scene_key_array, &user);
    }
};

TEST(SceneIni, KeysFillTheScenesArrays)
{
    scene_ini_fixture f;
    vexil* d = &f.h.ds->vexil;
    f.parse("scene_name = title\n"
            "palettes = [p1 p2 ]\n"
            "integers = [1 -2 30 ]\n"
            "floats = [0.5 2 -1e1 ]\n");
    EXPECT_STREQ(f.scene.name, "title");
    ASSERT_EQ(f.scene.palettes_count, 2);
    EXPECT_EQ(f.scene.palettes[0], vexil_load_palette(d, "p1"));
    EXPECT_EQ(f.scene.palettes[1], vexil_load_palette(d, "p2"));
    EXPECT_EQ(f.scene.palettes[1]->offset, 10);
    ASSERT_EQ(f.scene.ints_count, 3);
    EXPECT_EQ(std::vector<int>(f.scene.ints, f.scene.ints + 3), (std::vector<int>{1, -2, 30}));
    ASSERT_EQ(f.scene.floats_count, 3);
    EXPECT_EQ(std::vector<float>(f.scene.floats, f.scene.floats + 3), (std::vector<float>{0.5f, 2.0f, -10.0f}));

    // A shorter key takes the first name it begins; a key given again replaces the array.
    f.parse("scene = other\nint = [9 ]\npalettes = [p2 ]\n");
    EXPECT_STREQ(f.scene.name, "other");
    ASSERT_EQ(f.scene.ints_count, 1);
    EXPECT_EQ(f.scene.ints[0], 9);
    ASSERT_EQ(f.scene.palettes_count, 1);
    EXPECT_EQ(f.scene.palettes[0]->offset, 10);
}

TEST(SceneIni, UnknownKeysPrintALineAndParsingGoesOn)
{
    captured_run r = capture_run([] {
        scene_ini_fixture f;
        f.parse("colour = red\nbogus = [a bb ]\nscene_name = kept\n");
        printf("name %s\n", f.scene.name);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[colour]=[red] - unhandled key value pair?\n"
                         "[bogus][0/2]=[a] - unhandled key array?\n"
                         "[bogus][1/2]=[bb] - unhandled key array?\n"
                         "name kept\n"),
              std::string::npos)
        << r.out;
}

TEST(SceneIni, TheKeyPaletteMeansPaletteAnimations)
{
    captured_run r = capture_run([] {
        scene_ini_fixture f;
        f.parse("palette = [p1 ]\n");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("could not find \"p1\" with kind 2 in pak file!\n"), std::string::npos) << r.err;
}

// ---- argument parsers ----

struct args_row {
    std::string text;
    vexil_sequence_row row{};
    explicit args_row(const std::string& t) : text(t)
    {
        row.line = 17;
        row.args = text.data();
    }
};

TEST(SceneArgs, IntegersFloatsAndAColour)
{
    args_row a("12,-3,0.5,#FF000080");
    std::vector<uint8_t> block(4096);
    memarena tmp;
    memarena_init(&tmp, "vexil_tmp_arena", block.size(), block.data());
    char* s = a.row.args;
    int count = 5;
    EXPECT_EQ(parse_arg_int(&count, &s, &a.row), 12);
    EXPECT_EQ(parse_arg_int(&count, &s, &a.row), -3);
    EXPECT_EQ(count, 7);
    EXPECT_FLOAT_EQ(parse_arg_float(&s, &a.row), 0.5f);
    vexil_color c = parse_arg_color(&s, &a.row, &tmp);
    EXPECT_EQ(c.rgba8888, 0xFF000080u);
    EXPECT_EQ(c.argb1555, 0xFC00);
    vec4 expect;
    vec4_linear_from_srgb_a_u8(expect, 255, 0, 0, 128);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(c.linear[i], expect[i]) << i;
    EXPECT_EQ(*s, 0);

    struct {
        const char* hex;
        uint32_t rgba;
        uint16_t argb1555;
    } colours[] = {
        {"#00000000", 0x00000000u, 0x0000}, {"#ffffffff", 0xFFFFFFFFu, 0xFFFF}, {"#0812187F", 0x0812187Fu, 0x0443},
        {"#aBcDeF80", 0xABCDEF80u, 0xD73D}, {"#07070780", 0x07070780u, 0x8000},
    };
    for (const auto& col : colours) {
        args_row b(col.hex);
        char* t = b.row.args;
        vexil_color v = parse_arg_color(&t, &b.row, &tmp);
        EXPECT_EQ(v.rgba8888, col.rgba) << col.hex;
        EXPECT_EQ(v.argb1555, col.argb1555) << col.hex;
    }
}

TEST(SceneArgs, StringsRunToTheNextCommaOrLineFeed)
{
    std::vector<uint8_t> block(4096);
    memarena arena;
    memarena_init(&arena, "vexil_arena", block.size(), block.data());
    args_row a("name one,,last\nnot args");
    char* s = a.row.args;
    EXPECT_STREQ(parse_arg_str(&s, &a.row, &arena), "name one");
    EXPECT_STREQ(parse_arg_str(&s, &a.row, &arena), "");
    EXPECT_STREQ(parse_arg_str(&s, &a.row, &arena), "last");
    EXPECT_EQ(*s, '\n');
    args_row e("");
    s = e.row.args;
    EXPECT_STREQ(parse_arg_str(&s, &e.row, &arena), "");
    // Integers and floats skip one comma directly after them only.
    args_row g(" 7 ,x");
    s = g.row.args;
    int n = 0;
    EXPECT_EQ(parse_arg_int(&n, &s, &g.row), 7);
    EXPECT_STREQ(s, " ,x");
    args_row h("1.5e1,,2");
    s = h.row.args;
    EXPECT_FLOAT_EQ(parse_arg_float(&s, &h.row), 15.0f);
    EXPECT_STREQ(s, ",2");
}

TEST(SceneArgs, HexDigits)
{
    const char* good = "0123456789abcdefABCDEF";
    const int values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (int i = 0; good[i]; i++) {
        int v = -1;
        EXPECT_EQ(vexil_hexchr_to_int(&v, good[i]), 0) << good[i];
        EXPECT_EQ(v, values[i]) << good[i];
    }
    for (char c : std::string("gG/:@`# x\0", 10)) {
        int v = -1;
        EXPECT_NE(vexil_hexchr_to_int(&v, c), 0) << (int)c;
    }
}

TEST(SceneArgs, BadArgumentsStopWithTheirMessages)
{
    struct {
        const char* why;
        std::string args;
        int which;  // 0 int, 1 float, 2 colour
        std::string message;
    } cases[] = {
        {"no digits", "x,1", 0, "parse_arg_int failed \"x,1\" (sequence line 17, args: \"x,1\")\n"},
        {"empty integer", "", 0, "parse_arg_int failed \"\" (sequence line 17, args: \"\")\n"},
        {"integer beyond 32 bits", "4294967296", 0,
         "parse_arg_int failed \"4294967296\" (sequence line 17, args: \"4294967296\")\n"},
        {"no float", "abc", 1, "parse_arg_float failed \"abc\" (sequence line 17, args: \"abc\")\n"},
        {"colour without #", "FF000080", 2, "expected '#' for start of hexcolor on line: 17\n"},
        {"colour of eight characters", "#FF00008", 2,
         "expected 4 hex values of 2 digits, e.g. #00112233 (for r,g,b,a) on line: 17\n"},
        {"colour of ten characters", "#FF0000800", 2,
         "expected 4 hex values of 2 digits, e.g. #00112233 (for r,g,b,a) on line: 17\n"},
        {"colour with a non-hex digit", "#FF00G080", 2,
         "could not parse color value after # (invalid hex?) on line: 17\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] {
            args_row a(c.args);
            std::vector<uint8_t> block(4096);
            memarena tmp;
            memarena_init(&tmp, "vexil_tmp_arena", block.size(), block.data());
            char* s = a.row.args;
            int n = 0;
            if (c.which == 0)
                parse_arg_int(&n, &s, &a.row);
            else if (c.which == 1)
                parse_arg_float(&s, &a.row);
            else
                parse_arg_color(&s, &a.row, &tmp);
        });
        EXPECT_EQ(r.status, 1);
        size_t nl = r.err.find('\n');
        EXPECT_EQ(crash_site(r.err).rfind(crash_site("crash in  at src/vexil_scenes:"), 0), 0u) << r.err;
        EXPECT_EQ(r.err.substr(nl + 1), c.message);
    }
}

TEST(SceneArgs, MixClampsItsParameter)
{
    const float cases[][4] = {{2, 4, 0.5f, 3}, {2, 4, -1, 2},       {2, 4, 7, 4},        {2, 4, 0, 2},
                              {2, 4, 1, 4},    {4, 2, 0.25f, 3.5f}, {-1, 1, 0.75f, 0.5f}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(mix(c[0], c[1], c[2]), c[3]) << c[0] << " " << c[1] << " " << c[2];
}

}  // namespace
