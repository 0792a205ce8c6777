// The memory a run may still take: an address-space limit counts like a small machine.
#include "core/system_memory.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>

// Runs in a child process, so that the limit does not stay on the test runner.
static void exitZeroWhenTheLimitIsSeen()
{
    const rlim_t cap = rlim_t(4) << 30;
    rlimit limit {};
    limit.rlim_cur = limit.rlim_max = cap;
    setrlimit(RLIMIT_AS, &limit);
    const std::int64_t room = availableMemoryBytes();
    std::exit(room >= 0 && room < std::int64_t(cap) ? 0 : 1);
}

TEST(SystemMemory, AnAddressSpaceLimitBoundsTheAvailableMemory)
{
    EXPECT_GT(availableMemoryBytes(), 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space and fail under a limit";
#endif
    EXPECT_EXIT(exitZeroWhenTheLimitIsSeen(), ::testing::ExitedWithCode(0), "");
}
