// The payload decompressor against the reference LZ4 block compressor: blocks
// made by liblz4 with every match offset's two bytes swapped (this layout
// stores them high byte first) must decode back to their input. liblz4 is
// loaded at run time so the test needs no link flag; it must be installed.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/pcg_basic.h"
#include "support/windows_skip.h"
#include "vexil/vexil_fs.h"

namespace {

typedef int lz4_compress_default_fn(const char* src, char* dst, int src_size, int dst_capacity);
typedef int lz4_compress_bound_fn(int input_size);

struct lz4_lib {
    lz4_compress_default_fn* compress = nullptr;
    lz4_compress_bound_fn* bound = nullptr;
    lz4_lib()
    {
#if !defined(_WIN32)
        void* h = dlopen("liblz4.so.1", RTLD_NOW);
        if (!h)
            return;
        compress = reinterpret_cast<lz4_compress_default_fn*>(dlsym(h, "LZ4_compress_default"));
        bound = reinterpret_cast<lz4_compress_bound_fn*>(dlsym(h, "LZ4_compressBound"));
#endif
    }
};

const lz4_lib& lz4()
{
    static lz4_lib lib;
    return lib;
}

// Walks an LZ4 block and swaps the two bytes of every match offset. Returns
// the number of matches seen.
int swap_offsets(std::vector<uint8_t>& b)
{
    size_t ip = 0;
    int matches = 0;
    while (ip < b.size()) {
        uint8_t token = b[ip++];
        size_t lit = token >> 4;
        if (lit == 15) {
            uint8_t x;
            do {
                x = b[ip++];
                lit += x;
            } while (x == 255);
        }
        ip += lit;
        if (ip >= b.size())
            break;  // the last sequence has literals only
        std::swap(b[ip], b[ip + 1]);
        ip += 2;
        matches++;
        if ((token & 15) == 15) {
            uint8_t x;
            do {
                x = b[ip++];
            } while (x == 255);
        }
    }
    return matches;
}

std::vector<uint8_t> lz4_swapped(const std::vector<uint8_t>& in, int* matches)
{
    std::vector<uint8_t> out((size_t)lz4().bound((int)in.size()));
    int n = lz4().compress(reinterpret_cast<const char*>(in.data()), reinterpret_cast<char*>(out.data()),
                           (int)in.size(), (int)out.size());
    EXPECT_GT(n, 0);
    out.resize((size_t)n);
    *matches = swap_offsets(out);
    return out;
}

// Mixes runs, repeated phrases, far repeats and noise so that the blocks hold
// long literals, long matches, overlapping matches and offsets above 255.
std::vector<uint8_t> sample(size_t size, uint64_t seed)
{
    pcg32_random_t rng;
    pcg32_srandom_r(&rng, seed, 7);
    std::vector<uint8_t> v;
    while (v.size() < size) {
        uint32_t what = pcg32_random_r(&rng) % 4;
        uint32_t n = 1 + pcg32_random_r(&rng) % 600;
        if (what == 0) {
            for (uint32_t i = 0; i < n; i++)
                v.push_back((uint8_t)pcg32_random_r(&rng));
        } else if (what == 1) {
            v.insert(v.end(), n, (uint8_t)pcg32_random_r(&rng));
        } else if (!v.empty()) {
            size_t back = 1 + pcg32_random_r(&rng) % (what == 2 ? 64 : 65535);
            if (back > v.size())
                back = v.size();
            size_t from = v.size() - back;
            for (uint32_t i = 0; i < n; i++)
                v.push_back(v[from + i]);  // may overlap what it appends
        }
    }
    v.resize(size);
    return v;
}

// Decodes into a block of exactly the payload's size, from a block of exactly
// the input's size, so the sanitizer build sees any access past either.
int unpack_exact(const std::vector<uint8_t>& in, size_t payload_size, std::vector<uint8_t>* out)
{
    uint8_t* src = static_cast<uint8_t*>(malloc(in.size() ? in.size() : 1));
    uint8_t* dst = static_cast<uint8_t*>(malloc(payload_size ? payload_size : 1));
    if (!in.empty())
        memcpy(src, in.data(), in.size());
    int r = vexil_fs_unpack(dst, src, payload_size, in.size());
    out->assign(dst, dst + payload_size);
    free(src);
    free(dst);
    return r;
}

TEST(VexilFsUnpack, DecodesBlocksOfTheReferenceCompressor)
{
    QF_SKIP_ON_WINDOWS("the reference compressor is Debian's liblz4, a Linux library");
    ASSERT_NE(lz4().compress, nullptr) << "liblz4.so.1 with LZ4_compress_default is needed";
    struct {
        size_t size;
        uint64_t seed;
    } cases[] = {{0, 1}, {1, 2}, {13, 3}, {100, 4}, {4096, 5}, {70000, 6}, {300000, 7}};
    int total_matches = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<uint8_t> in = sample(c.size, c.seed);
        int matches = 0;
        std::vector<uint8_t> packed = lz4_swapped(in, &matches);
        total_matches += matches;
        std::vector<uint8_t> out;
        EXPECT_EQ(unpack_exact(packed, in.size(), &out), 0);
        EXPECT_TRUE(out == in);
    }
    EXPECT_GT(total_matches, 100);  // the samples exercise the back references
}

// Hand-made blocks: {token, extensions, literals, offset (high, low), ...}.
TEST(VexilFsUnpack, LengthExtensionsAndOverlappingMatches)
{
    // L = 15 + 255 + 10 = 280 literals, then the block ends with the output.
    std::vector<uint8_t> lit280 = {0xF0, 255, 10};
    std::vector<uint8_t> expect280;
    for (int i = 0; i < 280; i++)
        expect280.push_back((uint8_t)(i * 7));
    lit280.insert(lit280.end(), expect280.begin(), expect280.end());
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack_exact(lit280, 280, &out), 0);
    EXPECT_TRUE(out == expect280);

    // One literal 'a', then offset 1 with M = 4 + 3: the byte repeats 7 times; a
    // last block of one literal 'b'.
    std::vector<uint8_t> rep = {0x13, 'a', 0x00, 0x01, 0x10, 'b'};
    ASSERT_EQ(unpack_exact(rep, 9, &out), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), "aaaaaaaab");

    // Offset 0x0102 high byte first: 258 back.
    std::vector<uint8_t> far = {0xF0, 243};
    for (int i = 0; i < 258; i++)
        far.push_back((uint8_t)i);
    far.insert(far.end(), {0x01, 0x02});  // match of M = 0 + 4 at offset 258
    ASSERT_EQ(unpack_exact(far, 262, &out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 258, out.end()), (std::vector<uint8_t>{0, 1, 2, 3}));

    // Match length extension: M = 15 + 255 + 1 + 4 = 275 copies of 'z'.
    std::vector<uint8_t> longm = {0x1F, 'z', 0x00, 0x01, 255, 1};
    ASSERT_EQ(unpack_exact(longm, 276, &out), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(276, 'z'));
}

TEST(VexilFsUnpack, MalformedInputFailsWithoutReadingOrWritingOutside)
{
    struct {
        const char* why;
        std::vector<uint8_t> in;
        size_t payload_size;
    } cases[] = {
        {"no input at all", {}, 4},
        {"literals past the input", {0x40, 'a', 'b'}, 4},
        {"literals past the output", {0x40, 'a', 'b', 'c', 'd'}, 3},
        {"literal extension cut off", {0xF0}, 20},
        {"literal extension of 255s cut off", {0xF0, 255, 255}, 600},
        {"offset cut off", {0x10, 'a', 0x00}, 8},
        {"offset zero", {0x10, 'a', 0x00, 0x00}, 8},
        {"offset before the output's start", {0x10, 'a', 0x00, 0x02}, 8},
        {"offset in the wrong byte order", {0x10, 'a', 0x01, 0x00}, 8},
        {"match past the output", {0x1F, 'a', 0x00, 0x01, 10}, 8},
        {"match extension cut off", {0x1F, 'a', 0x00, 0x01}, 40},
        {"input ends before the output is full", {0x10, 'a', 0x00, 0x01}, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::vector<uint8_t> out;
        EXPECT_EQ(unpack_exact(c.in, c.payload_size, &out), 1);
    }
}

}  // namespace
