#include "platform/cpu.h"

// All allowed but under a test's override.
static cpu_paths allowed_paths;

#if TABFLIP_SSE2
static bool processor_has_ssse3()
{
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3") != 0);
    return has;
}

static bool processor_has_avx2()
{
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return has;
}

static bool processor_has_bit_instructions()
{
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("bmi") != 0 &&
                                                       __builtin_cpu_supports("bmi2") != 0 &&
                                                       __builtin_cpu_supports("popcnt") != 0);
    return has;
}
#else
// The scalar build has neither way, whatever a test allows.
static bool processor_has_ssse3()
{
    return false;
}

static bool processor_has_avx2()
{
    return false;
}

static bool processor_has_bit_instructions()
{
    return false;
}
#endif

bool ssse3_runs()
{
    return processor_has_ssse3() && allowed_paths.ssse3;
}

bool wide_vectors()
{
    return processor_has_avx2() && allowed_paths.wide;
}

bool wide_scans()
{
    return processor_has_avx2() && processor_has_bit_instructions() && allowed_paths.wide;
}

cpu_paths_override::cpu_paths_override(cpu_paths allowed) : previous(allowed_paths)
{
    allowed_paths = allowed;
}

cpu_paths_override::~cpu_paths_override()
{
    allowed_paths = previous;
}
