// Named parameters: definition and lookup, the changed flags of frames and
// blocks, the exits for unknown types and for one id with two types, and the
// value file's line cases.
#include <gtest/gtest.h>

#include <string>

#include "core/memarena.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "tools/param.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

TEST(Param, DefineOnceAndTrackChanges)
{
    test_arena a;
    param ctx;
    param_init(&ctx, &a.arena);
    int v = 0;
    EXPECT_EQ(param_int(&ctx, &v, "speed", 3), 1);  // new: changed
    EXPECT_EQ(v, 3);
    EXPECT_EQ(param_int(&ctx, &v, "speed", 99), 1);  // same entry, default ignored, flag kept
    EXPECT_EQ(v, 3);
    param_frame_begin(&ctx);
    EXPECT_EQ(param_int(&ctx, &v, "speed", 99), 0);

    float f = 0;
    const float dflt[3] = {1, 2, 3};
    float v3[3] = {};
    param_block_begin(&ctx);
    EXPECT_EQ(param_block_changed(&ctx), 0);
    param_float(&ctx, &f, "gain", 0.5f);
    EXPECT_EQ(param_block_changed(&ctx), 1);
    EXPECT_EQ(f, 0.5f);
    param_vec3(&ctx, v3, "light", dflt);
    EXPECT_EQ(v3[2], 3.0f);
    EXPECT_EQ(ctx.root->next->next, ctx.tail);
    EXPECT_EQ(ctx.tail->prev->prev, ctx.root);
    EXPECT_EQ(ctx.tail->size, 12);
    // The caller's id is kept, not copied.
    static const char id[] = "kept";
    param_int(&ctx, &v, id, 1);
    EXPECT_EQ(ctx.tail->id, id);
}

TEST(Param, UnknownTypeAndTwoTypesForOneIdEndTheProgram)
{
    captured_run r = capture_run([] { param_value_size(7); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("unhandled type 7 in param_value_size"), std::string::npos) << r.out;

    r = capture_run([] {
        test_arena a;
        param ctx;
        param_init(&ctx, &a.arena);
        int i = 0;
        float v3[3] = {};
        const float d[3] = {};
        param_int(&ctx, &i, "x", 1);
        param_vec3(&ctx, v3, "x", d);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("param \"x\" defined as type 1 and as type 3"), std::string::npos) << r.out;
}

TEST(ParamFile, LineCases)
{
    const std::string dir = capture_temp_dir();
    const std::string path = dir + "/params.txt";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("a 5\n"
          "  \tb\t-7 and the rest\n"
          "\n"
          "c\n"  // an id alone must not take the next line's value
          "d 9\n"
          "e 12x\n"
          "f 3.5\n"
          "g 1\n"
          "unknown 4\n"
          "h 99999999999\n"
          "i 7\r\n"
          "k 0\n"
          "j 8",
          f);
    fclose(f);

    test_arena a, tmp;
    param ctx;
    param_init(&ctx, &a.arena);
    int v = 0;
    float g = 0;
    for (const char* id : {"a", "b", "c", "d", "e", "f", "h", "i", "j", "k"})
        param_int(&ctx, &v, id, 100);
    param_float(&ctx, &g, "g", 2.0f);
    param_int(&ctx, &v, "k", 0);
    param_frame_begin(&ctx);
    param_read_values(&ctx, path.c_str(), &tmp.arena);
    EXPECT_EQ(tmp.arena.sp, 0u);

    const struct {
        const char* id;
        int value;
        int changed;
    } want[] = {
        {"a", 5, 1},   {"b", -7, 1},  {"c", 100, 0}, {"d", 9, 1}, {"e", 100, 0},
        {"f", 100, 0}, {"h", 100, 0}, {"i", 7, 1},   {"j", 8, 1}, {"k", 0, 1},
    };
    for (const auto& w : want) {
        const int changed = param_int(&ctx, &v, w.id, -1);
        EXPECT_EQ(v, w.value) << w.id;
        EXPECT_EQ(changed, w.changed) << w.id;
    }
    EXPECT_EQ(param_float(&ctx, &g, "g", 0.0f), 0);
    EXPECT_EQ(g, 2.0f);

    // Reading the same values again changes nothing.
    param_frame_begin(&ctx);
    param_read_values(&ctx, path.c_str(), &tmp.arena);
    EXPECT_EQ(param_int(&ctx, &v, "a", -1), 0);
    // A missing file changes nothing either.
    captured_run r = capture_run([&] { param_read_values(&ctx, (dir + "/none.txt").c_str(), &tmp.arena); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
}

TEST(ParamFile, ScannersStopAtTheEndOfText)
{
    const char* s = "id\tvalue\n";
    EXPECT_EQ(scan_to_first_whitespace(s), s + 2);
    EXPECT_EQ(scan_past_whitespace(s + 2), s + 3);
    EXPECT_EQ(scan_to_first_whitespace_or_line(s + 3), s + 8);
    EXPECT_EQ(scan_to_next_line(s), s + 9);
    EXPECT_EQ(scan_to_next_line(s + 9), s + 9);
    const char* t = "word";
    EXPECT_EQ(scan_to_first_whitespace(t), t + 4);
    EXPECT_EQ(scan_past_whitespace(t + 4), t + 4);
}

}  // namespace
