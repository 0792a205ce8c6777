// StagedProgress: the stages of a run reported to one observer as one rising percentage.
#pragma once

#include "run_observer.h"

// Passes the reports of a run made of stages on to `outer` as one percentage: while the stage
// [from, to] is current, its own 0..100 becomes from..to of the whole. A report that would not
// raise the whole (a stage's steps are finer than its share) is passed on as a keepAlive
// instead, so the outer observer sees every value at most once, rising, and is still served.
// keepAlive and cancelRequested go straight through. Used on the thread that started the run,
// like every observer.
class StagedProgress : public RunObserver
{
public:
    explicit StagedProgress(RunObserver *outer)
        : outer_(outer)
    { }

    // Makes [from, to] (0 <= from <= to <= 100, not below the last stage) the current stage.
    // Returns the observer to hand that stage: this one, or null when there is no outer
    // observer, so that a run nobody watches does not pace itself for one.
    RunObserver *stage(int from, int to)
    {
        from_ = from;
        to_ = to;
        return outer_ ? this : nullptr;
    }

    void progress(int percent) override
    {
        const int whole = from_ + (to_ - from_) * percent / 100;
        if (whole <= reported_) {
            outer_->keepAlive();
            return;
        }
        reported_ = whole;
        outer_->progress(whole);
    }
    void keepAlive() override { outer_->keepAlive(); }
    bool cancelRequested() override { return outer_->cancelRequested(); }

private:
    RunObserver *outer_;
    int from_ = 0;
    int to_ = 100;
    int reported_ = -1;
};
