#pragma once

#include <cstdint>

// Counts of what this process holds, for tests that nothing is left behind.

// The threads this process has now.
int threadCount();

// The highest of a few fresh handle values. Wine does not count a process's handles
// (GetProcessHandleCount does not move), but it hands out the lowest free slot, so leaked
// handles push new values up: each leaked handle by one slot.
std::uintptr_t handleWatermark();
inline constexpr std::uintptr_t kHandleSlot = 4;
