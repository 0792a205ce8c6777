// The lanes, their gate and the retry alone.
#include "tools/lane_scheduler.h"

#include "core/system_memory.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

void LaneGate::enterBeside()
{
    std::unique_lock<std::mutex> lock(mutex_);
    ++waitingBeside_;
    changed_.wait(lock, [this] { return !alone_ && waitingAlone_ == 0; });
    --waitingBeside_;
    ++beside_;
}

void LaneGate::leaveBeside()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (--beside_ == 0)
        changed_.notify_all();
}

void LaneGate::enterAlone()
{
    std::unique_lock<std::mutex> lock(mutex_);
    ++waitingAlone_;
    changed_.wait(lock, [this] { return !alone_ && beside_ == 0; });
    --waitingAlone_;
    alone_ = true;
}

void LaneGate::leaveAlone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    alone_ = false;
    changed_.notify_all();
}

int LaneGate::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return waitingBeside_ + waitingAlone_;
}

LanePlan planLanes(int threads, int files)
{
    threads = std::max(threads, 1);
    int lanes = std::clamp(threads, 1, std::max(files, 1));
    const std::int64_t room = addressSpaceRoomBytes();
    if (room >= 0)
        lanes = int(
            std::clamp<std::int64_t>(room / 2 / (kThreadStackBytes + kThreadArenaBytes), 1, lanes));
    return {lanes, threads};
}

LaneTry::~LaneTry()
{
    if (held_ == Held::Beside)
        gate_.leaveBeside();
    else if (held_ == Held::Alone)
        gate_.leaveAlone();
}

int LaneTry::enter(bool beside)
{
    if (beside && mayRunBeside()) {
        gate_.enterBeside();
        held_ = Held::Beside;
        return plan_.besideThreads();
    }
    gate_.enterAlone();
    held_ = Held::Alone;
    return plan_.threads;
}

int runOnLanes(int files, const LanePlan &plan, const std::function<int(LaneTry &)> &work,
    const std::function<bool()> &stopped)
{
    LaneGate gate;
    std::atomic<int> next {0};
    std::atomic<int> worst {0};
    const auto runLane = [&](int lane) {
        for (int file = next++; file < files && !stopped(); file = next++) {
            int status = 0;
            {
                LaneTry first(gate, plan, lane, file, false);
                status = work(first);
            }
            if (status == kRetryAlone) {
                LaneTry alone(gate, plan, lane, file, true);
                status = work(alone);
            }
            int seen = worst.load();
            while (status > seen && !worst.compare_exchange_weak(seen, status)) { }
        }
    };
    std::vector<std::thread> others;
    try {
        for (int lane = 1; lane < plan.lanes; ++lane)
            others.emplace_back(runLane, lane);
    } catch (const std::exception &) {
        // Fewer lanes share the files; each keeps its share of the threads.
    }
    runLane(0);
    for (std::thread &thread : others)
        thread.join();
    return worst.load();
}
