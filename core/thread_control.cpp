// Progress reports, keep-alive pacing and the shared stop flag of one thread of a run.
#include "thread_control.h"

#include "run_hooks.h"
#include "run_observer.h"

#include <algorithm>
#include <cstdint>

ThreadControl::ThreadControl(int thread, std::atomic<bool> *stop, RunObserver *observer,
    const RunProgress *progress, const RunHooks *hooks)
    : thread_(thread)
    , stop_(stop)
    , observer_(observer)
    , progress_(observer ? progress : nullptr)
    , hooks_(hooks && hooks->atRow ? hooks : nullptr)
{ }

bool ThreadControl::beginRow(int y)
{
    if (hooks_)
        hooks_->atRow(thread_, y);
    reportProgress();
    return betweenPixels();
}

void ThreadControl::whileWaiting()
{
    if (!observer_)
        return;
    reportProgress();
    keepAlive();
}

void ThreadControl::reportProgress()
{
    if (!progress_)
        return;
    // 100 is the run's own report, once the estimates are normalised.
    const std::int64_t done = progress_->rowsDone.load(std::memory_order_relaxed);
    const int percent = int(std::min<std::int64_t>(done * 100 / progress_->rows, 99));
    if (percent <= reported_)
        return;
    reported_ = percent;
    observer_->progress(percent);
    lastContact_ = Clock::now();
    pollCancel();
}

void ThreadControl::keepAlive()
{
    observer_->keepAlive();
    lastContact_ = Clock::now();
    pollCancel();
}

void ThreadControl::pollCancel()
{
    if (stop_ && observer_->cancelRequested())
        stop_->store(true, std::memory_order_relaxed);
}
