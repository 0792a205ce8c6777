// The level tables' steps and the address-space room: numbers a run is planned by.
#include "core/denoise_params.h"
#include "core/system_memory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

// The patch grows at the levels where the tables step, gray and colour apart.
TEST(LevelTables, PatchRadiusStepsWhereTheTablesSay)
{
    const struct
    {
        int level, gray, color;
    } rows[] = {{1, 1, 1}, {15, 1, 1}, {16, 2, 1}, {25, 2, 1}, {26, 2, 2}, {30, 2, 2}, {31, 3, 2},
        {45, 3, 2}, {46, 4, 2}, {55, 4, 2}, {56, 4, 3}, {75, 4, 3}, {76, 5, 3}, {99, 5, 3}};
    for (const auto &row : rows) {
        EXPECT_EQ(grayParams(row.level, 8, 8).patchRadius, row.gray) << "level " << row.level;
        EXPECT_EQ(colorParams(row.level, 8, 8).patchRadius, row.color) << "level " << row.level;
    }
}

// Under `ulimit -v` the room is the limit less what the process already holds, not the limit.
TEST(SystemMemory, AddressSpaceRoomCountsWhatTheProcessHolds)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    std::int64_t heldKib = -1;
    while (status >> key)
        if (key == "VmSize:" && status >> heldKib)
            break;
    ASSERT_GT(heldKib, 0);
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    constexpr std::int64_t kGiB = std::int64_t(1) << 30;
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(heldKib * 1024 + kGiB);
    if (saved.rlim_max != RLIM_INFINITY && tight.rlim_cur > saved.rlim_max)
        GTEST_SKIP() << "the hard limit is below what the test sets";
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const std::int64_t room = addressSpaceRoomBytes();
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    // The process may map a little between the two readings of its size.
    EXPECT_LE(room, kGiB);
    EXPECT_GT(room, kGiB - (std::int64_t(64) << 20));
}
