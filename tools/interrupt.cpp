// The interrupt flag and its async-signal-safe handler.
#include "tools/interrupt.h"

#include <atomic>
#include <csignal>

namespace {

// Written by the handler on whichever thread the signal lands: only a lock-free atomic is safe.
std::atomic<int> caught {0};
static_assert(std::atomic<int>::is_always_lock_free);

void onInterrupt(int signal)
{
    caught.store(signal, std::memory_order_relaxed);
}

} // namespace

void catchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int caughtInterrupt()
{
    return caught.load(std::memory_order_relaxed);
}

int interruptedStatus()
{
    return 128 + caughtInterrupt();
}
