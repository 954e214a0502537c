// The crash path: both header forms, standard output flushed ahead of the
// header, the exit status, the log line that returns, and the plain failure
// exits on either stream.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <regex>

#include "core/crash.h"
#include "support/capture.h"

namespace {

struct crash_case {
    const char* why;
    void (*fn)();
    int status;
    const char* out;  // regex over standard output
    const char* err;  // regex over standard error
};

// The crash functions themselves, called with a site as given (in parentheses:
// the Windows build rewrites the plain calls, see CallSitesNameTheirSite).
void mycrash_empty_func()
{
    printf("detail line\n");
    (mycrash)("src/memarena", 104, "", "arena is out of mem %d\n", 7);
}
void mycrash_named_func() { (mycrash)("src/vexil", 9, "xmemarena_push", "no newline %s", "here"); }
void n3d_crash_form()
{
    printf("before ");
    (n3d_crash)("src/n3d", 1432, "coverage buffer %d\n", 33);
}
void fail_stdout() { crash_fail(1, "bad format %d\n", 5); }
void fail_stderr()
{
    printf("earlier\n");
    crash_fail(2, "missing comma on line %d\n", 3);
}
void exit_status_3() { crash_exit(3); }
void log_returns()
{
    printf("out ");
    n3d_log("src/n3d", 77, "value %d", 1);
    printf("after");
}

const crash_case CRASH_CASES[] = {
    {"mycrash with an empty function has two blanks", mycrash_empty_func, 1, "^detail line\n$",
     "^crash in  at src/memarena:104\narena is out of mem 7\n$"},
    {"mycrash with a function name, message without newline", mycrash_named_func, 1, "^$",
     "^crash in xmemarena_push at src/vexil:9\nno newline here$"},
    {"n3d_crash header", n3d_crash_form, 1, "^before $", "^crash at src/n3d:1432\ncoverage buffer 33\n$"},
    {"crash_fail on standard output", fail_stdout, 1, "^bad format 5\n$", "^$"},
    {"crash_fail on standard error", fail_stderr, 1, "^earlier\n$", "^missing comma on line 3\n$"},
    {"crash_exit keeps the status", exit_status_3, 3, "^$", "^$"},
    {"n3d_log returns and adds no newline", log_returns, 0, "^out after$", "^\\[src/n3d:77\\] value 1$"},
};

// Call sites as the system's code writes them.
const int MYCRASH_SITE_LINE = __LINE__ + 1;
void site_of_mycrash() { mycrash("src/memarena", 104, "", "arena is out of mem\n"); }
const int N3D_CRASH_SITE_LINE = __LINE__ + 1;
void site_of_n3d_crash() { n3d_crash("src/n3d", 1432, "coverage buffer %d\n", 33); }

}  // namespace

// The Linux build reports a site as the call names it, with an empty function;
// the Windows build the failing function, the full path under which this file
// was built and the line of the call.
TEST(Crash, CallSitesNameTheirSite)
{
#if defined(_WIN32)
    const std::string file = std::string(QF_SOURCE_DIR) + "/tests/core/test_crash.cpp:";
    const std::string mycrash_header = "crash in site_of_mycrash at " + file + std::to_string(MYCRASH_SITE_LINE) + "\n";
    const std::string n3d_crash_header = "crash at " + file + std::to_string(N3D_CRASH_SITE_LINE) + "\n";
#else
    (void)MYCRASH_SITE_LINE;
    (void)N3D_CRASH_SITE_LINE;
    const std::string mycrash_header = "crash in  at src/memarena:104\n";
    const std::string n3d_crash_header = "crash at src/n3d:1432\n";
#endif
    captured_run r = capture_run(site_of_mycrash);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, mycrash_header + "arena is out of mem\n");
    r = capture_run(site_of_n3d_crash);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, n3d_crash_header + "coverage buffer 33\n");
}

TEST(Crash, HeadersStreamsAndStatus)
{
    for (const crash_case& c : CRASH_CASES) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run(c.fn);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
    }
}

// With both streams on one file, the detail lines printed before a crash must
// come before its header: standard output is flushed first.
TEST(Crash, StandardOutputComesFirst)
{
    const struct {
        const char* why;
        void (*fn)();
        const char* both;
    } cases[] = {
        {"mycrash", mycrash_empty_func, "^detail line\ncrash in  at src/memarena:104\n"},
        {"n3d_crash", n3d_crash_form, "^before crash at src/n3d:1432\n"},
        {"crash_fail on stderr", fail_stderr, "^earlier\nmissing comma"},
        {"n3d_log", log_returns, "^out \\[src/n3d:77\\] value 1after$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] {
            dup2(1, 2);
            c.fn();
        });
        EXPECT_TRUE(std::regex_search(r.out, std::regex(c.both))) << r.out;
    }
}

static void exit_hook(int status) { _exit(40 + status); }

TEST(Crash, ExitHookReplacesTheLastStep)
{
    captured_run r = capture_run([] {
        crash_set_exit_hook(exit_hook);
        printf("flushed before the hook\n");
        crash_fail(1, "x\n");
    });
    EXPECT_EQ(r.status, 41);
    EXPECT_EQ(r.out, "flushed before the hook\nx\n");
}
