// The processor-feature module: the level the probe finds against the flags the
// operating system lists for the processor (/proc/cpuinfo), the QF_SIMD values and
// their messages, the level set for a comparison never above the processor's, and a
// body built with the AVX-512 target running where the level says it may.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/cpu_features.h"
#include "support/capture.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// The value of the first processor's field name in /proc/cpuinfo; empty where there is none.
std::string cpuinfo_field(const char* name)
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name, 0) != 0 || line.find(':') == std::string::npos)
            continue;
        std::string v = line.substr(line.find(':') + 1);
        return v.empty() ? v : v.substr(1);
    }
    return {};
}

std::set<std::string> cpuinfo_flags()
{
    std::set<std::string> flags;
    std::istringstream words(cpuinfo_field("flags"));
    for (std::string w; words >> w;)
        flags.insert(w);
    return flags;
}

TEST(CpuFeatures, ProbeAgreesWithTheOperatingSystemsFlags)
{
#if !(defined(__x86_64__) || defined(__i386__))
    EXPECT_EQ(cpu_level_supported(), CPU_LEVEL_SCALAR);
#else
    const std::set<std::string> flags = cpuinfo_flags();
    if (flags.empty())
        GTEST_SKIP() << "no /proc/cpuinfo here";
    auto has = [&](const char* f) { return flags.count(f) != 0; };
    // The kernel's names of the subsets the AVX-512 level requires.
    const char* const avx512[] = {"avx512f",          "avx512bw",   "avx512vl",     "avx512dq",
                                  "avx512_vpopcntdq", "avx512vbmi", "avx512_bitalg"};
    bool all512 = has("avx2");
    for (const char* f : avx512)
        all512 = all512 && has(f);
    const int want = all512        ? CPU_LEVEL_AVX512
                     : has("avx2") ? CPU_LEVEL_AVX2
                     : has("sse2") ? CPU_LEVEL_SSE2
                                   : CPU_LEVEL_SCALAR;
    EXPECT_EQ(cpu_level_supported(), want) << "flags say " << cpu_level_name(want);
    EXPECT_EQ(cpu_intel(), cpuinfo_field("vendor_id") == "GenuineIntel");
#endif
}

TEST(CpuFeatures, QfSimdValues)
{
    const struct {
        const char* value;
        int supported, want;
        const char* message;  // on standard error; empty: nothing
    } cases[] = {
        {nullptr, CPU_LEVEL_AVX512, CPU_LEVEL_AVX512, ""},  // not set: the processor's level
        {"", CPU_LEVEL_AVX2, CPU_LEVEL_AVX2, ""},           // set empty: the same
        {"scalar", CPU_LEVEL_AVX512, CPU_LEVEL_SCALAR, ""},
        {"sse2", CPU_LEVEL_AVX512, CPU_LEVEL_SSE2, ""},
        {"avx2", CPU_LEVEL_AVX512, CPU_LEVEL_AVX2, ""},
        {"avx512", CPU_LEVEL_AVX512, CPU_LEVEL_AVX512, ""},
        {"AVX2", CPU_LEVEL_AVX512, CPU_LEVEL_AVX2, ""},  // any case
        {"Scalar", CPU_LEVEL_SSE2, CPU_LEVEL_SCALAR, ""},
        {"sse2", CPU_LEVEL_SSE2, CPU_LEVEL_SSE2, ""},
        // Never above the processor: capped, and said so.
        {"avx512", CPU_LEVEL_AVX2, CPU_LEVEL_AVX2, "QF_SIMD=avx512: above what this processor has; using avx2\n"},
        {"avx2", CPU_LEVEL_SCALAR, CPU_LEVEL_SCALAR, "QF_SIMD=avx2: above what this processor has; using scalar\n"},
        // Not a level: the processor's level, and said so.
        {"avx-512", CPU_LEVEL_AVX512, CPU_LEVEL_AVX512,
         "QF_SIMD=avx-512: not one of scalar, sse2, avx2, avx512; using avx512\n"},
        {"avx", CPU_LEVEL_AVX2, CPU_LEVEL_AVX2, "QF_SIMD=avx: not one of scalar, sse2, avx2, avx512; using avx2\n"},
        {"sse2 ", CPU_LEVEL_SSE2, CPU_LEVEL_SSE2, "QF_SIMD=sse2 : not one of scalar, sse2, avx2, avx512; using sse2\n"},
        {"avx5120", CPU_LEVEL_AVX512, CPU_LEVEL_AVX512,
         "QF_SIMD=avx5120: not one of scalar, sse2, avx2, avx512; using avx512\n"},
    };
    for (const auto& c : cases) {
        // The child reports the level through its exit status.
        captured_run r = capture_run([&] { exit(cpu_level_from_env(c.value, c.supported)); });
        EXPECT_EQ(r.exited, 1);
        EXPECT_EQ(r.status, c.want) << (c.value ? c.value : "(unset)") << " on " << cpu_level_name(c.supported);
        EXPECT_EQ(r.err, c.message) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(r.out, "");
    }
}

TEST(CpuFeatures, SetLevelStaysWithinTheProcessors)
{
    const int saved = cpu_level(), top = cpu_level_supported();
    EXPECT_EQ(cpu_level_default(), cpu_level_from_env(getenv("QF_SIMD"), top));
    const struct {
        int asked, want;
    } cases[] = {
        {CPU_LEVEL_SCALAR, CPU_LEVEL_SCALAR},
        {CPU_LEVEL_SSE2, top < CPU_LEVEL_SSE2 ? top : CPU_LEVEL_SSE2},
        {CPU_LEVEL_AVX2, top < CPU_LEVEL_AVX2 ? top : CPU_LEVEL_AVX2},
        {CPU_LEVEL_AVX512, top},
        {CPU_LEVEL_AVX512 + 1, top},
        {-1, CPU_LEVEL_SCALAR},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cpu_level_set(c.asked), c.want) << c.asked;
        EXPECT_EQ(cpu_level(), c.want) << c.asked;
    }
    cpu_level_set(saved);
    EXPECT_EQ(cpu_level(), saved);
}

#if defined(__x86_64__) || defined(__i386__)
// One instruction of each of the subsets the probe checks least often (byte
// permutes, bit gathers, population counts): a level that claimed them wrongly
// would end the test with an illegal instruction.
CPU_TARGET_AVX512 static uint32_t avx512_sample(uint32_t x)
{
    const __m512i v = _mm512_set1_epi32(static_cast<int>(x));
    const __m512i p = _mm512_maskz_permutexvar_epi8(~0ull, _mm512_setzero_si512(), v);  // VBMI: byte 0 everywhere
    const __m512i c = _mm512_maskz_popcnt_epi32(0xFFFF, p);                             // VPOPCNTDQ
    const __mmask64 m = _mm512_bitshuffle_epi64_mask(v, _mm512_setzero_si512());        // BITALG: bit 0 of each quad
    alignas(64) uint32_t lanes[16];
    _mm512_store_si512(lanes, c);
    return lanes[0] + static_cast<uint32_t>(m & 1u);
}

TEST(CpuFeatures, AvxFiveTwelveBodyRunsWhereTheLevelAllowsIt)
{
    if (cpu_level_supported() < CPU_LEVEL_AVX512)
        GTEST_SKIP() << "no AVX-512 level on this processor";
    // Byte 0 of 0x000000F3 repeated in a word has 4 * 6 bits set; bit 0 of 0xF3 is 1.
    EXPECT_EQ(avx512_sample(0xF3u), 4u * 6u + 1u);
}
#endif

}  // namespace
