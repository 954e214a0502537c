// Whole-file readers on a missing file, an empty file, a directory and a normal
// file (results, sizes, arena use and their messages), the counted read, and
// the path helpers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "core/posix_file_utils.h"
#include "support/capture.h"

namespace {

struct streams {
    std::string out, err;
};

std::string slurp_fd(int fd)
{
    std::string s;
    char buf[1024];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, (size_t)n);
    return s;
}

// Runs fn in this process with standard output and error sent to files, so its
// results stay visible to the test and its messages can be checked.
streams capture_here(const std::function<void()>& fn)
{
    fflush(stdout);
    fflush(stderr);
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    int saved_out = dup(1), saved_err = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    fn();
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    streams s{slurp_fd(fileno(out)), slurp_fd(fileno(err))};
    fclose(out);
    fclose(err);
    return s;
}

void write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// A named pipe without a writer stands for every other path that is not a
// regular file: opening it for reading would wait forever.
enum kind { MISSING, EMPTY, DIRECTORY, NORMAL, PIPE };
const char* const KIND_NAMES[] = {"missing", "empty", "directory", "normal", "named pipe"};
#if defined(_WIN32)
// Windows has no named pipes in its file system: the pipe rows run on Linux only.
bool kind_runs_here(kind k) { return k != PIPE; }
#else
bool kind_runs_here(kind) { return true; }
#endif

// Holds a NUL inside, so nothing may treat the data as a C string.
const std::string NORMAL_BYTES("hello\0world", 11);

class FileReaders : public testing::Test {
protected:
    void SetUp() override
    {
        dir = capture_temp_dir();
        paths[MISSING] = dir + "/missing.bin";
        paths[EMPTY] = dir + "/empty.bin";
        paths[DIRECTORY] = dir + "/subdir";
        paths[NORMAL] = dir + "/normal.bin";
        paths[PIPE] = dir + "/pipe";
        write_file(paths[EMPTY], "");
        mkdir(paths[DIRECTORY].c_str(), 0755);
        write_file(paths[NORMAL], NORMAL_BYTES);
#if !defined(_WIN32)
        ASSERT_EQ(mkfifo(paths[PIPE].c_str(), 0644), 0);
        // A reader that waits on the pipe ends the test program instead of hanging it.
        alarm(30);
#endif
        memarena_init(&arena, "files", sizeof block, block);
        memset(block, 0xEE, sizeof block);
    }
#if !defined(_WIN32)
    void TearDown() override { alarm(0); }
#endif
    std::string fopen_line(kind k) { return "fopen failed, path: " + paths[k] + "\n"; }

    std::string dir;
    std::string paths[5];
    uint8_t block[256];
    memarena arena;
};

}  // namespace

TEST_F(FileReaders, OpenReadClose)
{
    const struct {
        kind k;
        int result;
        uint64_t size;  // ~0: out_fsize left as it was
        bool fopen_msg;
    } cases[] = {
        {MISSING, 1, ~0ull, true}, {EMPTY, 0, 0, false},   {DIRECTORY, 1, ~0ull, true},
        {NORMAL, 0, 11, false},    {PIPE, 1, ~0ull, true},
    };
    for (const auto& c : cases) {
        if (!kind_runs_here(c.k))
            continue;
        for (bool measuring : {true, false}) {
            SCOPED_TRACE(testing::Message() << KIND_NAMES[c.k] << (measuring ? " measuring" : " reading"));
            uint8_t out[32];
            memset(out, 0xEE, sizeof out);
            uint64_t size = ~0ull;
            int result = -1;
            streams s = capture_here(
                [&] { result = file_open_read_close(paths[c.k].c_str(), measuring ? nullptr : out, &size); });
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(size, c.size);
            EXPECT_EQ(s.out, c.fopen_msg ? fopen_line(c.k) : "");
            EXPECT_EQ(s.err, "");
            if (c.k == NORMAL && !measuring) {
                EXPECT_EQ(std::string((char*)out, 11), NORMAL_BYTES);
            }
            if (measuring || c.result) {
                EXPECT_EQ(out[0], 0xEE) << "nothing read";
            }
            EXPECT_EQ(out[11], 0xEE) << "nothing past the file";
        }
    }
}

TEST_F(FileReaders, TextOpenReadClose)
{
    const struct {
        kind k;
        bool ok;
        uint64_t pushed;
    } cases[] = {
        {MISSING, false, 0},   {EMPTY, true, 1},  // a one-byte block holding the NUL
        {DIRECTORY, false, 0}, {NORMAL, true, 12}, {PIPE, false, 0},
    };
    for (const auto& c : cases) {
        if (!kind_runs_here(c.k))
            continue;
        SCOPED_TRACE(KIND_NAMES[c.k]);
        memarena_reset(&arena);
        char* text = nullptr;
        streams s = capture_here([&] { text = file_text_open_read_close(paths[c.k].c_str(), &arena); });
        EXPECT_EQ(arena.sp, c.pushed);
        EXPECT_EQ(s.out, c.ok ? "" : fopen_line(c.k));
        if (!c.ok) {
            EXPECT_EQ(text, nullptr);
            continue;
        }
        ASSERT_EQ(reinterpret_cast<uint8_t*>(text), block);
        std::string want = c.k == NORMAL ? NORMAL_BYTES : "";
        EXPECT_EQ(std::string(text, want.size()), want);
        EXPECT_EQ(text[want.size()], 0) << "NUL after the data";
    }
}

TEST_F(FileReaders, OpenReadCloseEx)
{
    const struct {
        kind k;
        bool ok;
        uint64_t size;
        uint64_t pushed;
        bool fopen_msg;
    } cases[] = {
        {MISSING, false, 0, 0, true},
        {EMPTY, false, 0, 0, false},  // null with size 0, nothing pushed
        {DIRECTORY, false, 0, 0, true},
        {NORMAL, true, 11, 12, false},  // the size excludes the zero byte after the data
        {PIPE, false, 0, 0, true},
    };
    for (const auto& c : cases) {
        if (!kind_runs_here(c.k))
            continue;
        SCOPED_TRACE(KIND_NAMES[c.k]);
        memarena_reset(&arena);
        uint8_t* data = nullptr;
        uint64_t size = 99;
        streams s = capture_here([&] { data = file_open_read_close_ex(paths[c.k].c_str(), &arena, &size); });
        EXPECT_EQ(s.out, c.fopen_msg ? fopen_line(c.k) : "");
        EXPECT_EQ(arena.sp, c.pushed);
        if (!c.ok) {
            EXPECT_EQ(data, nullptr);
            if (c.k == EMPTY) {
                EXPECT_EQ(size, 0u);
            }
            continue;
        }
        EXPECT_EQ(size, c.size);
        ASSERT_EQ(data, block);
        EXPECT_EQ(std::string((char*)data, size), NORMAL_BYTES);
        EXPECT_EQ(data[size], 0) << "a string at the end of the data cannot run off the block";
    }
}

TEST_F(FileReaders, ReadFirstNBytes)
{
    const struct {
        kind k;
        uint64_t n;
        int result;
        const char* out;  // "@" stands for the fopen line
        const char* err;
    } cases[] = {
        {MISSING, 4, 1, "@", ""},
        {DIRECTORY, 4, 1, "@", ""},
        {EMPTY, 0, 0, "", ""},
        {EMPTY, 4, 1, "", "file size 0 is smaller than n = 4 bytes to be read!\n"},
        {NORMAL, 4, 0, "", ""},
        {NORMAL, 11, 0, "", ""},
        {NORMAL, 12, 1, "", "file size 11 is smaller than n = 12 bytes to be read!\n"},
        {PIPE, 4, 1, "@", ""},
    };
    for (const auto& c : cases) {
        if (!kind_runs_here(c.k))
            continue;
        SCOPED_TRACE(testing::Message() << KIND_NAMES[c.k] << " n " << c.n);
        uint8_t dst[16];
        memset(dst, 0xEE, sizeof dst);
        int result = -1;
        streams s = capture_here([&] { result = file_open_read_n_close(dst, paths[c.k].c_str(), c.n); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(s.out, std::string(c.out) == "@" ? fopen_line(c.k) : c.out);
        EXPECT_EQ(s.err, c.err);
        if (c.result == 0) {
            EXPECT_EQ(std::string((char*)dst, c.n), NORMAL_BYTES.substr(0, c.n));
        }
        EXPECT_EQ(dst[c.result == 0 ? c.n : 0], 0xEE) << "exactly n bytes";
    }
}

// Bytes that a text-mode read changes on Windows (CR LF becomes LF, Ctrl-Z ends
// the data) come back from every whole-file reader exactly as written.
TEST_F(FileReaders, ReadersKeepLineEndsAndCtrlZ)
{
    const std::string bytes("a\r\nb\x1a"
                            "c\r\r\n\x1a\n",
                            11);
    const std::string path = dir + "/binary.bin";
    write_file(path, bytes);

    uint8_t out[32];
    uint64_t size = 0;
    streams s = capture_here([&] { EXPECT_EQ(file_open_read_close(path.c_str(), out, &size), 0); });
    EXPECT_EQ(s.out, "");
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(std::string((char*)out, bytes.size()), bytes);

    uint8_t* data = file_open_read_close_ex(path.c_str(), &arena, &size);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(std::string((char*)data, size), bytes);

    char* text = file_text_open_read_close(path.c_str(), &arena);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, bytes.size()), bytes);
    EXPECT_EQ(text[bytes.size()], 0);

    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(file_open_read_n_close(out, path.c_str(), bytes.size()), 0);
    EXPECT_EQ(std::string((char*)out, bytes.size()), bytes);
}

TEST(FilePath, JoinAndExtension)
{
    static uint8_t block[64];
    memarena arena;
    memarena_init(&arena, "paths", sizeof block, block);
    const struct {
        const char* a;
        const char* b;
        const char* joined;
    } joins[] = {
        {"a", "hello", "a/hello"},
        {"assets/vexil/le", "pak0.vxf", "assets/vexil/le/pak0.vxf"},
        {"", "", "/"},
    };
    for (const auto& j : joins) {
        uint64_t sp = arena.sp;
        char* s = file_path_join(&arena, j.a, j.b);
        EXPECT_STREQ(s, j.joined);
        EXPECT_EQ(arena.sp - sp, strlen(j.joined) + 1) << j.joined;
    }

    const struct {
        const char* path;
        const char* ext;
    } exts[] = {
        {"tex/wall.tmap", ".tmap"},
        {"a.b/c.mesh", ".mesh"},
        {"archive.tar.gz", ".gz"},
        {"noext", ""},
    };
    for (const auto& e : exts)
        EXPECT_STREQ(file_path_ext(&arena, e.path), e.ext) << e.path;
}
