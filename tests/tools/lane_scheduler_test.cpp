// The batch's lanes and gate without Qt: lanes at once, every file once, the retry alone, and a
// file waiting to run alone ahead of files that would start beside others. Run under
// ThreadSanitizer too; threads meet on atomics, never on sleeps.
#include "tools/lane_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Four lanes each take a file and run it at once (the first four meet inside the gate), every
// file runs once on its lane's share of the threads, and the result is the highest status. A
// file refused for memory beside others is tried once more, alone on all threads, with no other
// file in the gate, and its second answer counts.
TEST(LaneScheduler, LanesRunEveryFileOnceAndRetryAlone)
{
    constexpr int kFiles = 11;
    std::atomic<int> met {0};
    std::atomic<int> inside {0};
    std::vector<std::atomic<int>> runs(kFiles);
    const int worst = runOnLanes(
        kFiles, {4, 8},
        [&](LaneTry &lane) {
            const bool beside = lane.mayRunBeside();
            EXPECT_EQ(lane.enter(true), beside ? 2 : 8);
            const int others = inside++;
            EXPECT_TRUE(beside || others == 0);
            for (++met; lane.file() < 4 && met < 4;)
                std::this_thread::yield();
            ++runs[std::size_t(lane.file())];
            --inside;
            if (lane.file() == 6)
                return beside ? kRetryAlone : 5;
            return lane.file() % 3;
        },
        [] { return false; });
    EXPECT_EQ(worst, 5);
    for (int file = 0; file < kFiles; ++file)
        EXPECT_EQ(runs[std::size_t(file)].load(), file == 6 ? 2 : 1);
    // One lane runs every file alone, and takes no more once told to stop.
    std::atomic<int> taken {0};
    const auto oneLane = [&](LaneTry &lane) { return ++taken, lane.mayRunBeside() ? 4 : 0; };
    EXPECT_EQ(runOnLanes(kFiles, {1, 8}, oneLane, [&] { return taken == 3; }), 0);
    EXPECT_EQ(taken.load(), 3);
}

// A file waits to run alone while another runs beside others; a third that would start beside
// others then waits too, and runs only after the file alone. A reader-preferring lock lets the
// third in at once, and lanes that keep doing that starve the file alone.
TEST(LaneGate, WaitingAloneGoesFirst)
{
    LaneGate gate;
    std::atomic<int> step {0};
    int aloneAt = -1;
    int besideAt = -1;
    gate.enterBeside();
    std::thread alone([&] {
        gate.enterAlone();
        aloneAt = step++;
        gate.leaveAlone();
    });
    while (gate.waiting() < 1 && step == 0)
        std::this_thread::yield();
    std::thread beside([&] {
        gate.enterBeside();
        besideAt = step++;
        gate.leaveBeside();
    });
    while (gate.waiting() < 2 && step == 0)
        std::this_thread::yield();
    gate.leaveBeside();
    alone.join();
    beside.join();
    EXPECT_EQ(aloneAt, 0);
    EXPECT_EQ(besideAt, 1);
}
