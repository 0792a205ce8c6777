// The lanes of a batch: threads that each take the next file, a gate that lets a file run alone,
// and the retry alone of a file refused for memory beside others. Plain C++ without Qt, so that
// ThreadSanitizer sees all of it; the work on a file is handed in.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

// Files that run beside each other share the gate; a file that runs alone holds it by itself.
// Once a file waits to run alone, no file starts beside others until it has run: lanes that keep
// taking their next file beside others would otherwise hold it off for the rest of the batch, as
// a reader-preferring lock (libstdc++'s std::shared_mutex, a pthread rwlock) lets them.
class LaneGate
{
public:
    void enterBeside();
    void leaveBeside();
    void enterAlone();
    void leaveAlone();
    // Files waiting at the gate now, beside or alone.
    int waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int beside_ = 0; // files running beside each other
    bool alone_ = false; // a file running alone
    int waitingBeside_ = 0;
    int waitingAlone_ = 0;
};

// How many lanes a batch runs and the threads its files run on.
struct LanePlan
{
    int lanes = 1;
    int threads = 1; // a file running alone takes them all

    // A file running beside others takes the lane's share.
    int besideThreads() const { return threads / lanes > 1 ? threads / lanes : 1; }
};

// One lane per thread, at most one per file; under an address-space limit (ulimit -v) no more
// than half the room takes in the stacks and malloc arenas the lanes' threads reserve.
LanePlan planLanes(int threads, int files);

// What a try returns that ran beside others and ran short of memory: the file is tried again,
// alone, before that is said. Never a try's answer when it ran alone.
constexpr int kRetryAlone = -1;

// One try at one file on one lane, as the work on the file sees it. It enters the gate once, when
// it knows how the file runs, and leaves it when the try ends.
class LaneTry
{
public:
    LaneTry(LaneGate &gate, const LanePlan &plan, int lane, int file, bool retry)
        : gate_(gate)
        , plan_(plan)
        , lane_(lane)
        , file_(file)
        , retry_(retry)
    { }
    LaneTry(const LaneTry &) = delete;
    LaneTry &operator=(const LaneTry &) = delete;
    ~LaneTry();

    int lane() const { return lane_; }
    int file() const { return file_; }
    // False with one lane, and on the try alone after kRetryAlone.
    bool mayRunBeside() const { return plan_.lanes > 1 && !retry_; }
    // Waits at the gate to run beside others (only when mayRunBeside()) or alone; returns the
    // threads the file runs on.
    int enter(bool beside);

private:
    enum class Held { None, Beside, Alone };

    LaneGate &gate_;
    const LanePlan &plan_;
    const int lane_;
    const int file_;
    const bool retry_;
    Held held_ = Held::None;
};

// Runs `work` once for each of `files` files (once more, alone, for a try that returned
// kRetryAlone) on plan.lanes lanes, the calling thread one of them; each lane takes the next file
// until all are taken or `stopped` says so. A lane that cannot be started leaves its files to the
// others. Returns the highest status of any file (0 when none ran). Neither may throw.
int runOnLanes(int files, const LanePlan &plan, const std::function<int(LaneTry &)> &work,
    const std::function<bool()> &stopped);
