// Numbers a run is planned by: the level tables' steps, and the room left under `ulimit -v`,
// which is the limit less what the process already holds.
#include "core/denoise_params.h"
#include "core/system_memory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

// The patch grows at the levels where the tables step, gray and colour apart.
TEST(LevelTables, PatchRadiusStepsWhereTheTablesSay)
{
    const int levelGrayColor[][3]
        = {{1, 1, 1}, {15, 1, 1}, {16, 2, 1}, {25, 2, 1}, {26, 2, 2}, {30, 2, 2}, {31, 3, 2},
            {45, 3, 2}, {46, 4, 2}, {55, 4, 2}, {56, 4, 3}, {75, 4, 3}, {76, 5, 3}, {99, 5, 3}};
    for (const auto &row : levelGrayColor) {
        EXPECT_EQ(grayParams(row[0], 8, 8).patchRadius, row[1]) << "level " << row[0];
        EXPECT_EQ(colorParams(row[0], 8, 8).patchRadius, row[2]) << "level " << row[0];
    }
}

TEST(SystemMemory, AddressSpaceRoomCountsWhatTheProcessHolds)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    std::int64_t heldKib = -1;
    while (status >> key && !(key == "VmSize:" && status >> heldKib)) { }
    rlimit saved {};
    ASSERT_TRUE(heldKib > 0 && getrlimit(RLIMIT_AS, &saved) == 0);
    constexpr std::int64_t kGiB = std::int64_t(1) << 30;
    const rlimit tight {rlim_t(heldKib * 1024 + kGiB), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const std::int64_t room = addressSpaceRoomBytes();
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    // The process may map a little between the two readings of its size.
    EXPECT_TRUE(room <= kGiB && room > kGiB - (std::int64_t(64) << 20)) << room;
}
