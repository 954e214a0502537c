// The processor probe and the QF_SIMD override.
#include "core/cpu_features.h"

#include <cstdio>
#include <cstdlib>

int g_cpu_level = -1;

static int cpu_supported = -1;
static int cpu_start = -1;
static bool cpu_is_intel = false;

static const char* const CPU_LEVEL_NAMES[] = {"scalar", "sse2", "avx2", "avx512"};

static int cpu_probe_supported()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();  // the probe may run as a static initializer, before the library's own
    cpu_is_intel = __builtin_cpu_is("intel");
#define CPU_FEATURE_AND_HAS(f) &&__builtin_cpu_supports(#f)
    if (__builtin_cpu_supports("avx2") CPU_AVX512_EACH(CPU_FEATURE_AND_HAS))
        return CPU_LEVEL_AVX512;
#undef CPU_FEATURE_AND_HAS
    if (__builtin_cpu_supports("avx2"))
        return CPU_LEVEL_AVX2;
    if (__builtin_cpu_supports("sse2"))
        return CPU_LEVEL_SSE2;
#endif
    return CPU_LEVEL_SCALAR;
}

// Equal ignoring ASCII case.
static bool cpu_name_is(const char* value, const char* name)
{
    for (;; value++, name++) {
        char c = *value;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != *name)
            return false;
        if (c == 0)
            return true;
    }
}

int cpu_level_from_env(const char* value, int supported)
{
    if (value == nullptr || value[0] == 0)
        return supported;
    for (int level = CPU_LEVEL_SCALAR; level <= CPU_LEVEL_AVX512; level++) {
        if (!cpu_name_is(value, CPU_LEVEL_NAMES[level]))
            continue;
        if (level > supported) {
            fprintf(stderr, "QF_SIMD=%s: above what this processor has; using %s\n", value, cpu_level_name(supported));
            return supported;
        }
        return level;
    }
    fprintf(stderr, "QF_SIMD=%s: not one of scalar, sse2, avx2, avx512; using %s\n", value, cpu_level_name(supported));
    return supported;
}

int cpu_level_probe()
{
    if (cpu_supported < 0) {
        cpu_supported = cpu_probe_supported();
        cpu_start = cpu_level_from_env(getenv("QF_SIMD"), cpu_supported);
        g_cpu_level = cpu_start;
    }
    return g_cpu_level;
}

// At start-up, so that a QF_SIMD message comes before anything else the program prints.
[[maybe_unused]] static const int cpu_level_at_start = cpu_level_probe();

int cpu_level_supported()
{
    cpu_level_probe();
    return cpu_supported;
}

int cpu_level_default()
{
    cpu_level_probe();
    return cpu_start;
}

int cpu_level_set(int level)
{
    const int top = cpu_level_supported();
    g_cpu_level = level < CPU_LEVEL_SCALAR ? CPU_LEVEL_SCALAR : level > top ? top : level;
    return g_cpu_level;
}

const char* cpu_level_name(int level)
{
    return level >= CPU_LEVEL_SCALAR && level <= CPU_LEVEL_AVX512 ? CPU_LEVEL_NAMES[level] : "?";
}

bool cpu_intel()
{
    cpu_level_probe();
    return cpu_is_intel;
}
