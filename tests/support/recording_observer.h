// RecordingObserver: a RunObserver for tests that records what a run reports and can cancel it.
#pragma once

#include "core/run_observer.h"

#include <thread>
#include <vector>

// Records every percentage; asks to cancel from the `cancelAtReport`-th progress report on
// (1-based; 0 never). Notes whether any call came from another thread than the creator's, which
// the run promises never happens.
class RecordingObserver : public RunObserver
{
public:
    void progress(int percent) override { reports.push_back((noteThread(), percent)); }
    void keepAlive() override { noteThread(); }
    bool cancelRequested() override
    {
        noteThread();
        return cancelAtReport > 0 && int(reports.size()) >= cancelAtReport;
    }
    void noteThread() { calledFromOtherThread |= std::this_thread::get_id() != owner_; }

    std::vector<int> reports;
    int cancelAtReport = 0;
    bool calledFromOtherThread = false;

private:
    std::thread::id owner_ = std::this_thread::get_id();
};
