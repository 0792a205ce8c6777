// How much memory this process can still allocate without being killed for it.
#pragma once

#include <cstdint>

// The smallest of the kernel's MemAvailable, the room left under the process's cgroup memory
// limit and the room left under its address-space limit, in bytes; -1 when none can be read.
std::int64_t availableMemoryBytes();

// Room left under the process's address-space limit (ulimit -v), in bytes; -1 when there is none.
std::int64_t addressSpaceRoomBytes();

// Address space that one more thread reserves without touching it: its stack, 8 MiB by default.
// Only an address-space limit counts it.
constexpr std::int64_t kThreadStackBytes = std::int64_t(8) << 20;
// The same for glibc's malloc arena, which a thread that allocates may reserve (64 MiB).
constexpr std::int64_t kThreadArenaBytes = std::int64_t(64) << 20;
