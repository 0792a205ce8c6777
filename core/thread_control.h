// ThreadControl: what a row worker reports and checks while it computes rows of a run.
#pragma once

#include <atomic>
#include <chrono>

class RunObserver;
struct RunHooks;

// The rows of a run that are done, counted by whichever thread finishes them; the calling
// thread reports them as a share of all rows.
struct RunProgress
{
    std::atomic<int> rowsDone {0};
    int rows = 1;
};

// One control per thread of a run, used only by that thread.
//
// All threads of a run share one stop flag. Every thread reads it at the start of every row
// and between pixels; it is set by the calling thread when its observer asks to cancel, and by
// the runner when a thread fails. The observer is only ever given to the control of the thread
// that started the run, so every observer call comes from that thread.
class ThreadControl
{
public:
    // The longest the calling thread computes without giving its observer a call.
    static constexpr std::chrono::milliseconds kKeepAlivePeriod {25};

    // A control that never stops and reports nothing.
    ThreadControl() = default;

    // `stop` may be null (never stops), `observer` null on worker threads; only a control with
    // an observer and `progress` reports percentages. `progress` and `hooks` may be null; both
    // must outlive the control. Calls hooks->atRow, when set, at the start of every row.
    ThreadControl(int thread, std::atomic<bool> *stop, RunObserver *observer,
        const RunProgress *progress = nullptr, const RunHooks *hooks = nullptr);

    // At the start of row y, before its pixels: reports the share of the run's rows done when
    // it has grown. False when the thread must stop.
    bool beginRow(int y);

    // Between two pixels: keeps the observer live. False when the thread must stop. The clock
    // is read every kPixelsPerClockRead pixels: a pixel takes microseconds, a clock read a
    // fair share of one.
    bool betweenPixels()
    {
        if (observer_ && ++pixels_ % kPixelsPerClockRead == 0
            && Clock::now() - lastContact_ >= kKeepAlivePeriod)
            keepAlive();
        return !stopped();
    }

    // While the calling thread waits for the others: keeps the observer live and reports the
    // rows they finish.
    void whileWaiting();

    bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed); }

private:
    using Clock = std::chrono::steady_clock;

    void keepAlive();
    void reportProgress();
    void pollCancel();

    int thread_ = 0;
    std::atomic<bool> *stop_ = nullptr;
    RunObserver *observer_ = nullptr;
    const RunProgress *progress_ = nullptr;
    const RunHooks *hooks_ = nullptr;
    static constexpr unsigned kPixelsPerClockRead = 16;
    unsigned pixels_ = 0;
    int reported_ = -1;
    Clock::time_point lastContact_ = Clock::now();
};
