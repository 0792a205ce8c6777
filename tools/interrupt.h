// SIGINT and SIGTERM for pelta-denoise: caught, never acted on inside the handler.
#pragma once

#include "core/run_observer.h"

// Installs a handler for SIGINT and SIGTERM that only records which came. Interrupted system
// calls restart, so a save that has begun runs to its end (it commits, or fails and cancels).
void catchInterrupts();

// The signal caught, 0 while none has come. Any thread may ask.
int caughtInterrupt();

// The conventional exit status of a process ended by the caught signal: 128 + its number.
int interruptedStatus();

// An observer whose run stops as soon as an interrupt has been caught.
class InterruptibleObserver : public RunObserver
{
public:
    bool cancelRequested() override { return caughtInterrupt() != 0; }
};
