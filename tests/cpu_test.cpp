#include "platform/cpu.h"

#include <gtest/gtest.h>

// A guard that failed to restore would leave every later test on the slower
// paths, passing while the faster ones went untested.
TEST(cpu_paths_override, nested_guards_restore_the_paths_before_them)
{
    bool ssse3 = ssse3_runs();
    bool wide = wide_vectors();
    {
        cpu_paths_override none({.ssse3 = false, .wide = false});
        EXPECT_FALSE(ssse3_runs());
        EXPECT_FALSE(wide_vectors());
        {
            cpu_paths_override all({.ssse3 = true, .wide = true});
            EXPECT_EQ(ssse3_runs(), ssse3);
            EXPECT_EQ(wide_vectors(), wide);
        }
        EXPECT_FALSE(ssse3_runs());
        EXPECT_FALSE(wide_vectors());
    }
    EXPECT_EQ(ssse3_runs(), ssse3);
    EXPECT_EQ(wide_vectors(), wide);
}
