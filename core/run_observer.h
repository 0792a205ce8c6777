// RunObserver: how a denoising run reports progress, keeps its caller live and learns to stop.
#pragma once

// Implemented by whoever starts a run (the dialog, the command-line tool, tests). Every call
// comes from the thread that started the run, never from a worker thread.
class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // A new percentage, rising: 0..99 while the run advances through its stages (pre-smoothing,
    // directions, the workers, normalising), each stage by the share of its rows done and with
    // a fixed part of the scale; 100 once all rows are done and normalised. A GUI sets its bar
    // and serves pending events here.
    virtual void progress(int percent) = 0;

    // Called at least every 25 ms while the run computes or waits for its threads, between
    // progress reports. A GUI serves pending events here.
    virtual void keepAlive() { }

    // Polled after every progress and keepAlive call; once it returns true the run stops at
    // the next pixel on every thread and reports Cancelled.
    virtual bool cancelRequested() { return false; }
};
