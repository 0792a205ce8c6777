// The batch's lanes and gate without Qt: every file once, lanes at once, the retry alone and a
// file waiting to run alone ahead of files that would start beside others. Run under
// ThreadSanitizer too; threads meet on condition variables, never on sleeps.
#include "tools/lane_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Blocks each caller until `count` callers have arrived.
class Meeting
{
public:
    explicit Meeting(int count)
        : left_(count)
    { }
    void arrive()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--left_ <= 0)
            all_.notify_all();
        all_.wait(lock, [this] { return left_ <= 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_;
    int left_;
};

const auto never = [] { return false; };

} // namespace

// Four lanes each take a file and run at once (they meet inside the gate), every file runs
// once, and the result is the highest status.
TEST(LaneScheduler, LanesTakeEveryFileOnce)
{
    constexpr int kFiles = 11;
    Meeting firstFiles(4);
    std::vector<std::atomic<int>> runs(kFiles);
    const int worst = runOnLanes(
        kFiles, {4, 8},
        [&](LaneTry &lane) {
            EXPECT_EQ(lane.enter(true), 2);
            if (lane.file() < 4)
                firstFiles.arrive();
            ++runs[std::size_t(lane.file())];
            return lane.file() == 6 ? 3 : lane.file() % 3;
        },
        never);
    EXPECT_EQ(worst, 3);
    for (const std::atomic<int> &count : runs)
        EXPECT_EQ(count.load(), 1);
    // One lane runs everything alone on all threads, and stops taking files when told.
    std::atomic<int> taken {0};
    EXPECT_EQ(runOnLanes(
                  kFiles, {1, 8},
                  [&](LaneTry &lane) {
                      EXPECT_FALSE(lane.mayRunBeside());
                      ++taken;
                      return lane.enter(true) == 8 ? 0 : 4;
                  },
                  [&] { return taken == 3; }),
        0);
    EXPECT_EQ(taken.load(), 3);
}

// A file refused for memory beside others is tried once more, alone: no other file is in the
// gate while it runs, and its second answer counts.
TEST(LaneScheduler, RetriesAlone)
{
    std::atomic<int> inside {0};
    std::atomic<int> tries {0};
    const int worst = runOnLanes(
        9, {3, 3},
        [&](LaneTry &lane) {
            const bool beside = lane.mayRunBeside();
            EXPECT_EQ(lane.enter(beside), beside ? 1 : 3);
            const int others = inside++;
            EXPECT_TRUE(beside || others == 0);
            int status = 0;
            if (lane.file() == 4) {
                ++tries;
                status = beside ? kRetryAlone : 5;
            }
            --inside;
            return status;
        },
        never);
    EXPECT_EQ(tries.load(), 2);
    EXPECT_EQ(worst, 5);
}

// A file waits to run alone while another runs beside others; a third that would start beside
// others then waits too, and runs only after the file alone. A reader-preferring lock lets the
// third in at once, and lanes that keep doing that starve the file alone.
TEST(LaneGate, WaitingAloneGoesFirst)
{
    LaneGate gate;
    std::mutex mutex;
    std::vector<std::string> order;
    const auto note = [&](const char *what) {
        std::lock_guard<std::mutex> lock(mutex);
        order.emplace_back(what);
    };
    const auto noted = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return order.size();
    };
    gate.enterBeside();
    std::thread alone([&] {
        gate.enterAlone();
        note("alone");
        gate.leaveAlone();
    });
    while (gate.waiting() < 1 && noted() == 0)
        std::this_thread::yield();
    std::thread beside([&] {
        gate.enterBeside();
        note("beside");
        gate.leaveBeside();
    });
    while (gate.waiting() < 2 && noted() == 0)
        std::this_thread::yield();
    gate.leaveBeside();
    alone.join();
    beside.join();
    EXPECT_EQ(order, (std::vector<std::string> {"alone", "beside"}));
}
