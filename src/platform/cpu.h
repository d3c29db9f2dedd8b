// The processor: which of the byte scans' paths this one takes. The build
// picks the baseline (TABFLIP_SSE2: SSE2 on x86-64; TABFLIP_NEON: NEON on
// little-endian AArch64; else the portable scalar scans, also chosen with the
// CMake option TABFLIP_SCALAR). Beyond SSE2 an x86-64 processor is asked
// once, at start-up, for popcnt (bit counts), SSSE3 (the UTF-16 runs),
// AVX2 (the charset checks' 32-byte vectors) and, with AVX2, BMI (the load's
// scan). The other builds take none of them.
//
// Tests force the slower paths with a cpu_paths_override; nothing else
// changes which path is taken. Nothing here prints or allocates.
#ifndef TABFLIP_CPU_H
#define TABFLIP_CPU_H

#include <cstddef>
#include <cstdint>

// The SSE2 build: the x86-64 baseline's vectors, unless the scalar scans are
// asked for.
#if defined(__SSE2__) && defined(__x86_64__) && !defined(TABFLIP_SCALAR)
#define TABFLIP_SSE2 1
#else
#define TABFLIP_SSE2 0
#endif

// The NEON build: every AArch64 processor has it, unless the scalar scans
// are asked for. The scans' masks read lanes in little-endian order.
#if defined(__aarch64__) && defined(__ARM_NEON) && !defined(TABFLIP_SCALAR) &&                     \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TABFLIP_NEON 1
#else
#define TABFLIP_NEON 0
#endif

// A function built for AVX2, called only where wide_vectors() holds.
#define TABFLIP_WIDE __attribute__((target("avx2")))

// The load's scan built for AVX2 processors, which also count and find bits
// in one instruction each (popcnt, BMI); called only where wide_scans() holds.
#define TABFLIP_WIDE_SCAN __attribute__((target("avx2,bmi,bmi2,popcnt")))

// Counted in registers: the library call that stands in for a popcount
// instruction where the build may not assume one showed in profiles.
static inline std::size_t bits_set_in_registers(std::uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

#if TABFLIP_SSE2
// Nearly every x86-64 processor counts bits in one instruction, which the
// baseline lacks. Read on every count, so a constant, not a call.
inline const bool popcnt_in_processor =
    (__builtin_cpu_init(), __builtin_cpu_supports("popcnt") != 0);

static inline std::size_t bits_set(std::uint64_t x)
{
    if (!popcnt_in_processor)
        return bits_set_in_registers(x);
    std::uint64_t n = 0;
    __asm__("popcnt %1, %0" : "=r"(n) : "r"(x) : "cc");
    return static_cast<std::size_t>(n);
}
#elif TABFLIP_NEON
// Every AArch64 processor counts bits in a few instructions (CNT, ADDV).
static inline std::size_t bits_set(std::uint64_t x)
{
    return static_cast<std::size_t>(__builtin_popcountll(x));
}
#else
static inline std::size_t bits_set(std::uint64_t x)
{
    return bits_set_in_registers(x);
}
#endif

// Whether the UTF-16 runs with SSSE3 byte shuffles are taken.
bool ssse3_runs();

// Whether the charset checks take their 32-byte vector (AVX2) way.
bool wide_vectors();

// Whether the load's scan takes its TABFLIP_WIDE_SCAN build.
bool wide_scans();

// The paths a test lets the processor take: each is taken where the
// processor has it and it is allowed.
struct cpu_paths {
    bool ssse3 = true; // ssse3_runs
    bool wide = true;  // wide_vectors and wide_scans
};

// Allows only the given paths for its lifetime and restores the paths
// allowed before it on scope exit, even when an assertion returns early.
// The setting is the process's: set it before any thread that scans starts.
struct cpu_paths_override {
    explicit cpu_paths_override(cpu_paths allowed);
    ~cpu_paths_override();
    cpu_paths_override(const cpu_paths_override &) = delete;
    cpu_paths_override &operator=(const cpu_paths_override &) = delete;

    cpu_paths previous;
};

#endif
