#include <gtest/gtest.h>

#include "platform/cpu_features.h"

namespace quillon {
namespace {

TEST(CpuFeatures, DefaultModeFollowsTheFeatureWord) {
    EXPECT_EQ(defaultMMXMode(0), 0);
    EXPECT_EQ(defaultMMXMode(kCpuMmx), 1);
    EXPECT_EQ(defaultMMXMode(kCpuMmx | kCpuSseOrMmxExt), 3);
    // 3DNow! without its extensions gives 2 even when SSE is there.
    EXPECT_EQ(defaultMMXMode(kCpuMmx | kCpuSseOrMmxExt | kCpu3DNow), 2);
    EXPECT_EQ(defaultMMXMode(kCpuMmx | kCpu3DNow | kCpu3DNowExt), 4);
}

TEST(CpuFeatures, ThisMachineHasSse2) {
#if defined(__x86_64__)
    uint32_t word = detectCpuFeatures();
    EXPECT_TRUE(word & kCpuSse2);
    EXPECT_TRUE(word & kCpuMmx);
    EXPECT_EQ(defaultMMXMode(word) >= 1, true);
#endif
}

}  // namespace
}  // namespace quillon
