// "sequence.csv": parsing and time-line resolution as one table of small texts
// with the frames each row resolves to, the records the parser keeps, and every
// message a bad text stops with.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/crash_site.h"
#include "vexil/vexil.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_sequence.h"

namespace {

const std::string HEADER = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n";

struct parsed {
    std::vector<uint8_t> block = std::vector<uint8_t>(1 << 20);
    std::vector<uint8_t> tmp_block = std::vector<uint8_t>(1 << 16);
    memarena arena, tmp;
    std::string text;
    vexil_sequence seq;
    explicit parsed(const std::string& body, bool with_header = true)
    {
        memarena_init(&arena, "vexil_arena", block.size(), block.data());
        memarena_init(&tmp, "vexil_tmp_arena", tmp_block.size(), tmp_block.data());
        text = with_header ? HEADER + body : body;
        vexil_load_sequence(&seq, text.data(), "sequence.csv", &arena, &tmp);
    }
};

// {start, end, prepare} in 22050 Hz frames.
typedef std::array<int, 3> times;

TEST(VexilSequence, RowsResolveToTheirFrames)
{
    struct {
        const char* why;
        std::string body;
        std::vector<times> rows;
        int music_start;
        bool with_header = true;  // false: the body is the whole text
    } cases[] = {
        {"relative end from its own start; prepare at the start",
         "abs,prev,1000,0,relstart,me,500,overlay_clear\n",
         {{22050, 33075, 22050}},
         0},
        {"prev of the first row is a row at 0..0",
         "relend,prev,1000,0,relstart,prev,2000,a\n",
         {{22050, 44100, 22050}},
         0},
        {"a start one second before its own end settles in the second pass",
         "relend,me,-1000,0,abs,prev,5000,a\n",
         {{88200, 110250, 88200}},
         0},
        {"prev chains through resolved rows; prepare half a second ahead",
         "abs,prev,0,0,abs,prev,1000,a\nrelend,prev,0,500,relstart,me,1000,b\nrelstart,prev,250,0,relend,prev,0,c\n",
         {{0, 22050, 0}, {22050, 44100, 11025}, {27562, 44100, 27562}},
         0},
        {"labels name the next row",
         "abs,prev,0,0,abs,prev,1000,a\nintro:\nabs,prev,2000,0,abs,prev,3000,b\n"
         "relstart,intro,500,0,relend,intro,0,c\n",
         {{0, 22050, 0}, {44100, 66150, 44100}, {55125, 66150, 55125}},
         0},
        {"a later row contributes its own milliseconds, unresolved",
         "relstart,later,0,0,abs,prev,5000,a\nlater:\nrelend,prev,1000,0,relstart,me,1000,b\n",
         {{22050, 110250, 22050}, {132300, 154350, 132300}},
         0},
        {"music_sync after the music position: the music starts later",
         "abs,prev,0,500,abs,prev,1000,a\nabs,prev,2000,0,abs,prev,3000,music_sync,22050\n",
         {{0, 22050, -11025}, {44100, 66150, 44100}},
         22050},
        {"music_sync before the music position: every row moves",
         "abs,prev,0,500,abs,prev,1000,a\nabs,prev,2000,0,abs,prev,3000,music_sync,88200\n",
         {{44100, 66150, 33075}, {88200, 110250, 88200}},
         0},
        {"music_sync exactly on the music position",
         "abs,prev,1000,0,abs,prev,2000,music_sync,22050\n",
         {{22050, 44100, 22050}},
         0},
        {"milliseconds truncate toward zero", "abs,prev,-1,0,abs,prev,1,a\n", {{-22, 22, -22}}, 0},
        {"signs and leading blanks in integers",
         "abs,prev, -500,\t+100,abs,prev,+1000,a\n",
         {{-11025, 22050, -13230}},
         0},
        {"times past 97 s are exact", "abs,prev,200000,0,relstart,me,100000,a\n", {{4410000, 6615000, 4410000}}, 0},
        {"comments, empty lines, barriers and labels are no rows",
         "# comment\n\nabs,prev,0,0,abs,prev,1000,a\nbarrier,prev_completed\nx:\nrelend,prev,0,0,relstart,me,1,b\n",
         {{0, 22050, 0}, {22050, 22072, 22050}},
         0},
        {"a last line without a line feed is a row",
         "abs,prev,0,0,abs,prev,1000,a\nabs,prev,1000,0,abs,prev,2000,b",
         {{0, 22050, 0}, {22050, 44100, 22050}},
         0},
        {"a comment on the last line without a line feed",
         "abs,prev,0,0,abs,prev,1000,a\n# the end",
         {{0, 22050, 0}},
         0},
        {"a header alone has no rows", "", {}, 0},
        {"a text without any line feed is only a header", "abs,prev,0,0,abs,prev,1000,a", {}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        parsed p(c.body, c.with_header);
        ASSERT_EQ(p.seq.rows_count, (int)c.rows.size());
        EXPECT_EQ(p.seq.scenes_count, p.seq.rows_count);
        for (size_t i = 0; i < c.rows.size(); i++) {
            const vexil_sequence_row& r = p.seq.rows[i];
            EXPECT_EQ((times{r.start_22050hz, r.end_22050hz, r.start_prepare_22050hz}), c.rows[i]) << "row " << i;
            EXPECT_EQ(r.scene_index, (int)i);
        }
        EXPECT_EQ(p.seq.music_start_22050hz, c.music_start);
    }
}

TEST(VexilSequence, RecordsKeepFieldsLinesLabelsAndBarriers)
{
    parsed p("# first comment\n"
             "abs,prev,0,0,abs,prev,1000,overlay_clear,5,x y\n"
             "barrier,prev_completed   trailing\n"
             "\n"
             "intro: anything here is ignored\n"
             "relend,prev,0,0,relstart,me,1000,music_start  ignored,too\n"
             "abs,prev,0,0,abs,prev,1000,a,\n"
             "abs ,prev ,0,0,abs,prev,1000,cr,7\r\n"
             "abs,prev,0,0,abs,prev,1000,cr2\r\n");
    ASSERT_EQ(p.seq.rows_count, 5);
    const vexil_sequence_row* r = p.seq.rows;
    EXPECT_EQ(r[0].line, 3);
    EXPECT_STREQ(r[0].start_op, "abs");
    EXPECT_STREQ(r[0].start_op_v, "prev");
    EXPECT_STREQ(r[0].end_op, "abs");
    EXPECT_STREQ(r[0].func_name, "overlay_clear");
    EXPECT_STREQ(r[0].args, "5,x y");
    EXPECT_EQ(r[0].end_ms, 1000);
    EXPECT_EQ(r[0].barrier_flags, 1);
    EXPECT_EQ(r[1].line, 7);
    EXPECT_STREQ(r[1].func_name, "music_start");
    EXPECT_EQ(r[1].args, nullptr);  // what follows the name without a comma is ignored
    EXPECT_EQ(r[1].barrier_flags, 0);
    EXPECT_STREQ(r[2].args, "");
    EXPECT_STREQ(r[3].start_op, "abs");  // blanks after a string field are skipped
    EXPECT_STREQ(r[3].start_op_v, "prev");
    EXPECT_STREQ(r[3].args, "7\r");  // a carriage return stays in the last field
    EXPECT_STREQ(r[4].func_name, "cr2\r");

    ASSERT_EQ(p.seq.labels_count, 1);
    EXPECT_STREQ(p.seq.labels[0].name, "intro");
    EXPECT_EQ(p.seq.labels[0].line_i, 6);
    EXPECT_EQ(p.seq.labels[0].row_i, 1);
    EXPECT_EQ(vexil_sequence_find_label(&p.seq, "intro"), &p.seq.labels[0]);
    EXPECT_EQ(vexil_sequence_find_label(&p.seq, "intr"), nullptr);
    ASSERT_EQ(p.seq.barriers_count, 1);
    EXPECT_EQ(p.seq.barriers[0].name, nullptr);
    EXPECT_EQ(p.seq.barriers[0].flags, 1);
    EXPECT_EQ(p.seq.barriers[0].line_i, 4);
    EXPECT_EQ(p.seq.barriers[0].row_i, 0);
}

TEST(VexilSequence, BadTextsStopWithTheirMessages)
{
    struct {
        const char* why;
        std::string body;
        std::string message;     // the whole of standard error after the crash line, or all of it
        const char* crash_file;  // the crash line's source file; null: a plain message
        bool with_header = true;
    } cases[] = {
        // A file saved with CRLF line ends is named for what it is, not for the
        // comma that the empty line "\r" lacks.
        {"carriage return line ends", HEADER.substr(0, HEADER.size() - 1) + "\r\nabs,prev,0,0,abs,prev,1000,a\r\n\r\n",
         "\"sequence.csv\" contains \\r (carriage return line ends): save it with line feeds only\n", nullptr, false},
        {"end before start", "abs,prev,2000,0,abs,prev,1000,a\n",
         "end lies before start on line: 2 in sequence.csv (start 44100, end 22050 frames)\n", "src/vexil"},
        {"end before start through a reference", "abs,prev,0,0,abs,prev,1000,a\nrelend,prev,10,0,relstart,prev,0,b\n",
         "end lies before start on line: 3 in sequence.csv (start 22270, end 0 frames)\n", "src/vexil"},
        {"missing comma", "abs prev,0,0,abs,prev,1000,a\n", "expected ',' failed parse line 2 in \"sequence.csv\"\n",
         nullptr},
        {"a line of blanks", "abs,prev,0,0,abs,prev,1000,a\n   \n",
         "expected ',' failed parse line 3 in \"sequence.csv\"\n", nullptr},
        {"integer without digits", "abs,prev,x,0,abs,prev,1000,a\n", "failed parse line 2 in \"sequence.csv\"\n",
         nullptr},
        {"integer field cut off by the line feed", "abs,prev,\n5,0,abs,prev,1000,a\n",
         "failed parse line 2 in \"sequence.csv\"\n", nullptr},
        {"integer beyond 32 bits", "abs,prev,99999999999,0,abs,prev,1000,a\n",
         "failed parse line 2 in \"sequence.csv\"\n", nullptr},
        {"barrier value", "abs,prev,0,0,abs,prev,1000,a\nbarrier,all\n",
         "barrier on line 3 in \"sequence.csv\" has unexpected/unsupported value: \"all\"\n", "src/vexil"},
        {"barrier without a row before it", "barrier,prev_completed\nabs,prev,0,0,abs,prev,1000,a\n",
         "barrier on line 2 in \"sequence.csv\" has no row before it\n", "src/vexil"},
        {"label without a name", "abs,prev,0,0,abs,prev,1000,a\n:\n",
         "found ':' but has no name for the label? on line 3 in \"sequence.csv\"\n", "src/vexil"},
        {"label after the last row", "abs,prev,0,0,abs,prev,1000,a\n# c\nend:\n",
         "label \"end\" on line 4 in \"sequence.csv\" has no row after it\n", "src/vexil"},
        {"unknown label", "relstart,nope,0,0,abs,prev,1000,a\n", "could not find label: \"nope\"\n", "src/vexil"},
        {"start relative to its own start", "abs,prev,0,0,abs,prev,1000,a\nrelstart,me,0,0,abs,prev,1000,b\n",
         "cannot take start to be relative its own start! line: 3 in sequence.csv\n", "src/vexil"},
        {"end relative to its own end", "abs,prev,0,0,relend,me,1000,a\n",
         "cannot take end to be relative its own end! line: 2 in sequence.csv\n", "src/vexil"},
        {"unknown op", "abs,prev,0,0,after,prev,1000,a\n",
         "could not resolve start/end on line: 2 in sequence.csv (bug? or are you doing something weird?)\n",
         "src/vexil"},
        {"start and end waiting for each other", "relend,me,0,0,relstart,me,1000,a\n",
         "could not resolve start/end on line: 2 in sequence.csv (bug? or are you doing something weird?)\n",
         "src/vexil"},
        {"two music_sync rows", "abs,prev,0,0,abs,prev,1000,music_sync,0\n#\nabs,prev,0,0,abs,prev,1000,music_sync,0\n",
         "there can be at most one \"music_sync\" but there was one on line 2 and on line 4\n", "src/vexil"},
        {"music_sync without an argument", "abs,prev,0,0,abs,prev,1000,music_sync\n",
         "\"music_sync\" on line 2 in \"sequence.csv\" needs the music position as its argument\n", "src/vexil"},
        {"music_sync with a word", "abs,prev,0,0,abs,prev,1000,music_sync,soon\n",
         "parse_arg_int failed \"soon\" (sequence line 2, args: \"soon\")\n", "src/vexil_scenes"},
        {"time beyond 32 bits of frames", "abs,prev,2000000000,0,abs,prev,1000,a\n",
         "time out of range on line 2 in \"sequence.csv\"\n", "src/vexil"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] { parsed p(c.body, c.with_header); });
        EXPECT_EQ(r.exited, 1);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        if (c.crash_file) {
            EXPECT_EQ(crash_site(r.err).rfind(crash_site(std::string("crash in  at ") + c.crash_file + ":"), 0), 0u)
                << r.err;
            size_t nl = r.err.find('\n');
            ASSERT_NE(nl, std::string::npos);
            EXPECT_EQ(r.err.substr(nl + 1), c.message);
        } else {
            EXPECT_EQ(r.err, c.message);
        }
    }
}

}  // namespace
