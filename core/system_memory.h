// How much memory this process can still allocate without being killed for it.
#pragma once

#include <cstdint>

// The smallest of the kernel's MemAvailable, the room left under the process's cgroup memory
// limit and the room left under its address-space limit, in bytes; -1 when none can be read.
std::int64_t availableMemoryBytes();
