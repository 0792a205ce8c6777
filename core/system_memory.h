// How much memory this process can still allocate without being killed for it.
#pragma once

#include <cstdint>

// The smaller of the kernel's MemAvailable and the room left under the process's cgroup
// memory limit, in bytes; -1 when neither can be read.
std::int64_t availableMemoryBytes();
