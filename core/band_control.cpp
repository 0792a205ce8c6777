// Progress reports, keep-alive pacing and the shared stop flag of one band.
#include "band_control.h"

#include "run_observer.h"

#include <cstdint>

BandControl::BandControl(int band, std::atomic<bool> *stop, RunObserver *observer,
    bool reportsProgress, const RowHook *hook)
    : band_(band)
    , stop_(stop)
    , observer_(observer)
    , reportsProgress_(reportsProgress && observer)
    , hook_(hook && *hook ? hook : nullptr)
{ }

bool BandControl::beginRow(int y, int rowEnd)
{
    if (hook_)
        (*hook_)(band_, y);
    if (reportsProgress_ && y % progressInterval(rowEnd) == 0) {
        observer_->progress(int(std::int64_t(y) * 100 / rowEnd));
        lastContact_ = Clock::now();
        pollCancel();
    }
    return betweenPixels();
}

void BandControl::keepAlive()
{
    observer_->keepAlive();
    lastContact_ = Clock::now();
    pollCancel();
}

void BandControl::pollCancel()
{
    if (stop_ && observer_->cancelRequested())
        stop_->store(true, std::memory_order_relaxed);
}
