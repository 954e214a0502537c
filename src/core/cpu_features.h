// What this processor can run: one probe at start-up reduces its instruction sets
// to a level (scalar, SSE2, AVX2, AVX-512), lowered by the environment variable
// QF_SIMD, and every module with a path beyond plain C asks cpu_level() which one
// to take; tests and benchmarks move the level with cpu_level_set(). Every path of
// a module gives the same results, so the level changes speed only. Static state,
// no allocation; the level is set on the main thread and read from any. Nothing
// fails: a QF_SIMD value that cannot be honoured is reported on standard error.
#pragma once

// The levels, each including the ones below it.
//   CPU_LEVEL_SCALAR  plain C only (on x86, bodies written with SSE2 and no plain
//                     twin still use it: every x86-64 processor has it)
//   CPU_LEVEL_SSE2    the 128-bit paths
//   CPU_LEVEL_AVX2    AVX and AVX2 (no FMA: no path rounds differently)
//   CPU_LEVEL_AVX512  AVX2 and every AVX-512 subset in CPU_AVX512_EACH below
enum { CPU_LEVEL_SCALAR = 0, CPU_LEVEL_SSE2 = 1, CPU_LEVEL_AVX2 = 2, CPU_LEVEL_AVX512 = 3 };

#if defined(__x86_64__) || defined(__i386__)
// The AVX-512 subsets the AVX-512 level requires: the foundation, byte/word and
// 128/256-bit forms, double/quad words, population counts, byte permutes and bit
// gathers. The probe and the target attribute are both made from this one list.
#define CPU_AVX512_EACH(X) \
    X(avx512f) X(avx512bw) X(avx512vl) X(avx512dq) X(avx512vpopcntdq) X(avx512vbmi) X(avx512bitalg)
#define CPU_FEATURE_COMMA_NAME(f) "," #f

// Function attributes for a body compiled for one level; call such a function
// only where cpu_level() is at least that level.
#define CPU_TARGET_AVX2 __attribute__((target("avx2")))
#define CPU_TARGET_AVX512 __attribute__((target("avx2" CPU_AVX512_EACH(CPU_FEATURE_COMMA_NAME))))
#endif

// -1 until the probe has run (it runs from a static initializer, or at the first
// cpu_level() before that).
extern int g_cpu_level;
int cpu_level_probe();

// The level every dispatch asks for.
inline int cpu_level() { return g_cpu_level >= 0 ? g_cpu_level : cpu_level_probe(); }
// The highest level the processor (and its operating system) supports.
int cpu_level_supported();
// The level at start: the supported one, lowered by QF_SIMD.
int cpu_level_default();
// Sets the level to level, never above the supported one nor below scalar (for
// tests and benchmarks that compare paths); returns the level now in effect.
int cpu_level_set(int level);
// "scalar", "sse2", "avx2" or "avx512": the QF_SIMD spelling of a level.
const char* cpu_level_name(int level);
// The level QF_SIMD's value asks for on a processor supporting `supported`: the
// value's level, capped at supported; null or empty gives supported. A value
// that is no level, or asks for more than the processor has, is reported on
// standard error ("QF_SIMD=...") and gives supported or the cap.
int cpu_level_from_env(const char* value, int supported);
// True on an Intel processor (some paths pay off on one maker's cores only).
bool cpu_intel();
