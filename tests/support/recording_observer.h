// RecordingObserver: a RunObserver for tests that records what a run reports and can cancel it.
#pragma once

#include "core/run_observer.h"

#include <thread>
#include <vector>

// Records every percentage and counts keep-alive calls; asks to cancel from the
// `cancelAtReport`-th progress report on (1-based; 0 never) or after `cancelAtKeepAlive`
// keep-alive calls. Also notes whether any call came from a thread other than the one that
// created it, which the run promises never happens.
class RecordingObserver : public RunObserver
{
public:
    void progress(int percent) override
    {
        noteThread();
        reports.push_back(percent);
    }
    void keepAlive() override
    {
        noteThread();
        ++keepAlives;
    }
    bool cancelRequested() override
    {
        noteThread();
        return (cancelAtReport > 0 && int(reports.size()) >= cancelAtReport)
            || (cancelAtKeepAlive > 0 && keepAlives >= cancelAtKeepAlive);
    }

    std::vector<int> reports;
    int keepAlives = 0;
    int cancelAtReport = 0;
    int cancelAtKeepAlive = 0;
    bool calledFromOtherThread = false;

private:
    void noteThread()
    {
        if (std::this_thread::get_id() != owner_)
            calledFromOtherThread = true;
    }

    std::thread::id owner_ = std::this_thread::get_id();
};
