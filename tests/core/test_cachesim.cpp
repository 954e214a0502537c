// Data-cache model: its edge cases as one table, the self-test, the exact text
// of the reports, and its miss counts against cachegrind's simulation of the
// same cache geometry for fixed walks over an image: two where both count alike
// and one of straddling stores, which the model counts per block and cachegrind
// per store.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/cachesim_ppc.h"
#include "support/capture.h"
#include "support/windows_skip.h"

namespace {

struct mem_access {
    uint64_t a;
    int bytes;
    int is_write;
};

struct way_check {
    int index, way;
    int bytes_read, bytes_written, dirty;
};

struct edge_case {
    const char* why;
    std::vector<mem_access> accesses;
    int hits, misses, cast_outs, cross_writes, cross_reads;
    std::vector<way_check> ways;
};

// Set 0 of tags 0x1000 to 0x5000.
constexpr uint32_t T1 = 0x1000000, T2 = 0x2000000, T3 = 0x3000000, T4 = 0x4000000, T5 = 0x5000000;

TEST(Cachesim, EdgeCases)
{
    const edge_case cases[] = {
        {"tags start at 0: a first access below 4096 hits", {{0x100, 4, 0}}, 1, 0, 0, 0, 0, {{8, 0, 4, 0, 0}}},
        {"4-byte read 30 bytes into a block: two accesses, 2 bytes in each, one straddling read",
         {{T1 + 30, 4, 0}},
         0,
         2,
         0,
         0,
         1,
         {{0, 0, 2, 0, 0}, {1, 0, 2, 0, 0}}},
        {"32-byte write one byte into a block: 31 + 1 bytes, one straddling write",
         {{T1 + 1, 32, 1}},
         0,
         2,
         0,
         1,
         0,
         {{0, 0, 0, 31, 1}, {1, 0, 0, 1, 1}}},
        {"64-byte write at a block boundary: two accesses, no straddle (more than 32 bytes)",
         {{T1, 64, 1}},
         0,
         2,
         0,
         0,
         0,
         {{0, 0, 0, 32, 1}, {1, 0, 0, 32, 1}}},
        {"100 bytes from offset 8: four blocks of 24, 32, 32 and 12 bytes",
         {{T1 + 8, 100, 0}},
         0,
         4,
         0,
         0,
         0,
         {{0, 0, 24, 0, 0}, {1, 0, 32, 0, 0}, {2, 0, 32, 0, 0}, {3, 0, 12, 0, 0}}},
        {"the same write twice: a miss then a hit", {{T1, 2, 1}, {T1, 2, 1}}, 1, 1, 0, 0, 0, {{0, 0, 0, 4, 1}}},
        {"five 32-byte writes to one set: the least recently used modified block is cast out",
         {{T1, 32, 1}, {T2, 32, 1}, {T3, 32, 1}, {T4, 32, 1}, {T5, 32, 1}},
         0,
         5,
         1,
         0,
         0,
         {{0, 0, 0, 64, 1}, {0, 1, 0, 32, 1}, {0, 2, 0, 32, 1}, {0, 3, 0, 32, 1}}},
        {"a read miss casts out the modified victim and leaves it clean",
         {{T1, 32, 1}, {T2, 32, 1}, {T3, 32, 1}, {T4, 32, 1}, {T5, 32, 0}},
         0,
         5,
         1,
         0,
         0,
         {{0, 0, 32, 32, 0}, {0, 1, 0, 32, 1}, {0, 2, 0, 32, 1}, {0, 3, 0, 32, 1}}},
        {"a read hit keeps the dirty state", {{T1, 4, 1}, {T1, 4, 0}}, 1, 1, 0, 0, 0, {{0, 0, 4, 4, 1}}},
        {"a hit makes its way most recently used: the next miss evicts the way after it",
         {{T1, 32, 1}, {T2, 32, 1}, {T3, 32, 1}, {T4, 32, 1}, {T1, 4, 0}, {T5, 32, 0}},
         1,
         5,
         1,
         0,
         0,
         {{0, 0, 4, 32, 1}, {0, 1, 32, 32, 0}, {0, 2, 0, 32, 1}, {0, 3, 0, 32, 1}}},
        {"host addresses fold to their low 32 bits",
         {{T1, 4, 1}, {0x100000000ull + T1, 4, 1}},
         1,
         1,
         0,
         0,
         0,
         {{0, 0, 0, 8, 1}}},
        {"a continuation past 4 GiB wraps to address 0 (tag 0, a hit) in the same 32 bits as its first part",
         {{0x7FFFFFFFFFF0ull, 32, 1}},
         1,
         1,
         0,
         1,
         0,
         {{127, 0, 0, 16, 1}, {0, 0, 0, 16, 1}}},
    };
    static cachesim cs;
    for (const edge_case& c : cases) {
        SCOPED_TRACE(c.why);
        cachesim_init(&cs);
        for (const mem_access& x : c.accesses)
            cachesim_rw(&cs, x.a, x.bytes, x.is_write);
        const struct cachesim_total t = cachesim_total(&cs);
        EXPECT_EQ(t.hit_count, c.hits);
        EXPECT_EQ(t.miss_count, c.misses);
        EXPECT_EQ(t.cast_out_count, c.cast_outs);
        EXPECT_EQ(t.cross_block_write, c.cross_writes);
        EXPECT_EQ(t.cross_block_read, c.cross_reads);
        int bytes_read = 0, bytes_written = 0;
        for (const way_check& w : c.ways) {
            EXPECT_EQ(cs.bytes_read[w.index][w.way], w.bytes_read) << "set " << w.index << " way " << w.way;
            EXPECT_EQ(cs.bytes_written[w.index][w.way], w.bytes_written) << "set " << w.index << " way " << w.way;
            EXPECT_EQ(cs.dirty[w.index][w.way], w.dirty) << "set " << w.index << " way " << w.way;
            bytes_read += w.bytes_read;
            bytes_written += w.bytes_written;
        }
        // The listed ways hold every byte of the case.
        EXPECT_EQ(t.bytes_read, bytes_read);
        EXPECT_EQ(t.bytes_written, bytes_written);
    }
}

TEST(Cachesim, LruListAndStraddleOnTheFirstSet)
{
    static cachesim cs;
    cachesim_init(&cs);
    for (int slot = 0; slot < 4; slot++)
        EXPECT_EQ(cs.index_lru[5][slot], slot);
    // Fill set 0 with four tags, then touch way 1 and way 0 again.
    for (uint32_t a : {T1, T2, T3, T4})
        cachesim_write(&cs, a, 4);
    cachesim_read(&cs, T2, 4);
    cachesim_read(&cs, T1, 4);
    const int want[4] = {2, 3, 1, 0};
    for (int slot = 0; slot < 4; slot++)
        EXPECT_EQ(cs.index_lru[0][slot], want[slot]) << "slot " << slot;
    EXPECT_EQ(cachesim_lru_way(&cs, 0), 2);
    // A straddling write from the last block of set 127 into set 0 counts on set 127.
    cachesim_write(&cs, 0x1000FF0, 20);
    EXPECT_EQ(cs.cross_block_write[127], 1);
    EXPECT_EQ(cs.cross_block_write[0], 0);
}

TEST(Cachesim, SelfTestPassesAndPrintsTheColumnWalk)
{
    captured_run r = capture_run([] { cachesim_test(); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("failed at line"), std::string::npos) << r.out;
    // Every one of the 76800 two-byte column-walk writes misses (as cachegrind
    // counts for the same walk below) and 153600 bytes are written.
    EXPECT_EQ(r.out.rfind("total hit: 0 miss: 76800 ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" bytes_written 153600 bytes_read 0 "), std::string::npos) << r.out;
}

// Faulty models that get exactly one count of a case wrong: the self-test must
// stop at that case, since a case fails as soon as any of its counts differs.
void write_twice(cachesim* cs, uint64_t a, int n)  // one hit too many
{
    cachesim_write(cs, a, n);
    cachesim_write(cs, a, n);
}
void write_without_straddle(cachesim* cs, uint64_t a, int n)  // straddles not counted
{
    const int first = 32 - static_cast<int>(a & 31);
    if (n <= first) {
        cachesim_write(cs, a, n);
        return;
    }
    cachesim_write(cs, a, first);
    cachesim_write(cs, a + static_cast<uint64_t>(first), n - first);
}

TEST(Cachesim, SelfTestFailsAModelWithOneWrongCount)
{
    const struct {
        cachesim_write_fn write;
        const char* line;
    } cases[] = {
        {write_twice, "failed at line: 396\n"},             // first case: 1 hit, 1 miss
        {write_without_straddle, "failed at line: 421\n"},  // third case: no straddling write
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&c] { cachesim_test_model(c.write); });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    }
}

// Two writes and two reads: set 0 written and read, set 1 read, set 8 (tag 0) only hit.
void print_state(cachesim* cs)
{
    cachesim_init(cs);
    cachesim_write(cs, T1, 2);
    cachesim_read(cs, T1 + 30, 4);
    cachesim_read(cs, 0x100, 4);
}

TEST(Cachesim, PrintTexts)
{
    const std::string set0 = "index[0] lru: 1 2 3 0  hits: 1 misses: 1 cast_out: 0 cross_writes: 0 cross_reads: 1\n"
                             "\tindex[0]way[0]: tag 0x1000 modified: 1 \n"
                             "\tindex[0]way[1]: tag 0x0 modified: 0 \n"
                             "\tindex[0]way[2]: tag 0x0 modified: 0 \n"
                             "\tindex[0]way[3]: tag 0x0 modified: 0 \n";
    const std::string set1 = "index[1] lru: 1 2 3 0  hits: 0 misses: 1 cast_out: 0 cross_writes: 0 cross_reads: 0\n"
                             "\tindex[1]way[0]: tag 0x1000 modified: 0 \n"
                             "\tindex[1]way[1]: tag 0x0 modified: 0 \n"
                             "\tindex[1]way[2]: tag 0x0 modified: 0 \n"
                             "\tindex[1]way[3]: tag 0x0 modified: 0 \n";
    // 1, 3 and 1 of the 512 ways.
    const std::string total =
        "total hit: 2 miss: 2 cast_out: 0 bytes_written 2 bytes_read 8 cross_writes: 0 cross_reads: 1 "
        "occupance: w: 0.20% r: 0.59% r&w: 0.20%\n";
    const std::string stats = set0 +
                              "index[0] hit: 1 miss: 1 cast_out: 0 cross_writes: 0 cross_reads: 1 "
                              "way[0]: r: 2 w: 2 way[1]: r: 0 w: 0 way[2]: r: 0 w: 0 way[3]: r: 0 w: 0 \n" +
                              set1 +
                              "index[1] hit: 0 miss: 1 cast_out: 0 cross_writes: 0 cross_reads: 0 "
                              "way[0]: r: 2 w: 0 way[1]: r: 0 w: 0 way[2]: r: 0 w: 0 way[3]: r: 0 w: 0 \n" +
                              total;
    struct {
        const char* what;
        void (*print)(const cachesim*);
        std::string want;
    } rows[] = {
        {"index 0", [](const cachesim* cs) { cachesim_print_index(cs, 0); }, set0},
        {"total", cachesim_print_total, total},
        {"index stats (set 8 has hits only and is left out)", cachesim_print_index_stats, stats},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        captured_run r = capture_run([&] {
            static cachesim cs;
            print_state(&cs);
            row.print(&cs);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, row.want);
    }
}

// ---- against cachegrind ----

[[maybe_unused]] std::string find_on_path(const char* name)
{
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string p = dir + "/" + name;
        if (!dir.empty() && access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

struct cachegrind_counts {
    long long writes = -1;  // Dw
    long long misses = -1;  // D1mr + D1mw
};

// Sums the data writes and first-level data misses of one function in a
// cachegrind output file ("events:" names the columns, "fn=" opens a function).
[[maybe_unused]] cachegrind_counts cachegrind_function_counts(const std::string& file, const std::string& fn)
{
    std::ifstream in(file);
    std::string line;
    std::vector<std::string> events;
    int dw = -1, d1mr = -1, d1mw = -1;
    bool inside = false;
    cachegrind_counts c;
    while (std::getline(in, line)) {
        if (line.rfind("events:", 0) == 0) {
            std::stringstream s(line.substr(7));
            std::string e;
            while (s >> e)
                events.push_back(e);
            for (size_t i = 0; i < events.size(); i++) {
                dw = events[i] == "Dw" ? static_cast<int>(i) : dw;
                d1mr = events[i] == "D1mr" ? static_cast<int>(i) : d1mr;
                d1mw = events[i] == "D1mw" ? static_cast<int>(i) : d1mw;
            }
        } else if (line.rfind("fn=", 0) == 0) {
            inside = line.substr(3) == fn;
            if (inside && c.writes < 0)
                c.writes = c.misses = 0;
        } else if (inside && !line.empty() && line[0] >= '0' && line[0] <= '9') {
            std::stringstream s(line);
            long long line_number, v;
            s >> line_number;
            std::vector<long long> counts;
            while (s >> v)
                counts.push_back(v);
            auto at = [&](int i) { return i >= 0 && i < static_cast<int>(counts.size()) ? counts[i] : 0; };
            c.writes += at(dw);
            c.misses += at(d1mr) + at(d1mw);
        }
    }
    return c;
}

TEST(Cachesim, MissesAgainstCachegrindWithTheStraddleDifferenceShown)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP()
        << "valgrind cannot run programs built with AddressSanitizer; the comparison runs in the release build";
#elif defined(_WIN32)
    QF_SKIP_ON_WINDOWS("its reference is valgrind's cachegrind, which runs Linux programs only");
#else
    const std::string valgrind = find_on_path("valgrind");
    if (valgrind.empty())
        GTEST_SKIP()
            << "valgrind is not installed (scripts/setup.sh installs it): the comparison with cachegrind is skipped";
    const std::string dir = capture_temp_dir();
    // The pixel walks: one 2-byte store per pixel, each within one block, so the
    // model and cachegrind count the same accesses. The straddling walk: 2400
    // 4-byte stores, 30 bytes into every other block, each reaching two blocks
    // never touched before.
    const int straddles = 320 * 240 * 2 / 64;
    const struct {
        const char* walk;
        int stores;
        int straddling;  // stores that reach two blocks
    } walks[] = {{"columns", 320 * 240, 0}, {"rows", 320 * 240, 0}, {"straddles", straddles, straddles}};
    for (const auto& w : walks) {
        SCOPED_TRACE(w.walk);
        const std::string out = dir + "/cachegrind." + w.walk;
        captured_run r = capture_program({valgrind, "--tool=cachegrind", "--cache-sim=yes", "--D1=16384,4,32",
                                          "--cachegrind-out-file=" + out, QF_CACHESIM_PATTERN, w.walk},
                                         "", {}, 120);
        ASSERT_TRUE(r.exited);
        ASSERT_EQ(r.status, 0) << r.err;
        const uint64_t base = strtoull(r.out.c_str(), nullptr, 16);
        ASSERT_NE(base, 0u) << r.out;
        ASSERT_EQ(base % 4096, 0u);

        const cachegrind_counts cg = cachegrind_function_counts(out, std::string("cachesim_pattern_") + w.walk);
        // The walk made exactly its stores, as the model is fed.
        ASSERT_EQ(cg.writes, w.stores);

        static cachesim cs;
        cachesim_init(&cs);
        const std::string walk = w.walk;
        if (walk == "straddles") {
            for (int i = 0; i < straddles; i++)
                cachesim_write(&cs, base + 64 * static_cast<uint64_t>(i) + 30, 4);
        } else {
            const int columns = walk == "columns";
            for (int outer = 0; outer < (columns ? 320 : 240); outer++)
                for (int inner = 0; inner < (columns ? 240 : 320); inner++) {
                    const int x = columns ? outer : inner, y = columns ? inner : outer;
                    cachesim_write(&cs, base + static_cast<uint64_t>(y * 640 + x * 2), 2);
                }
        }
        const struct cachesim_total total = cachesim_total(&cs);
        const long long model = total.miss_count;
        printf("%s walk: cachegrind D1 misses %lld, cachesim misses %lld\n", w.walk, cg.misses, model);
        // The model counts an access for each block a store reaches.
        EXPECT_EQ(total.hit_count + total.miss_count, w.stores + w.straddling);
        EXPECT_EQ(total.cross_block_write, w.straddling);
        // Cachegrind counts a straddling store once, with one miss when either
        // block misses. Here both blocks of every straddling store miss, so its
        // count is the model's less one per straddle; the model's is twice the
        // stores.
        if (w.straddling) {
            EXPECT_EQ(model, 2 * w.stores);
        }
        const long long cg_expected = model - w.straddling;
        // Besides the image, the walk function's own stack may add a miss or
        // three (one measured); it can only add misses, never save one.
        EXPECT_GE(cg.misses, cg_expected);
        EXPECT_LE(cg.misses, cg_expected + 3);
        unlink(out.c_str());
    }
    rmdir(dir.c_str());
#endif
}

}  // namespace
