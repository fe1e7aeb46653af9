#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, unsigned 32-bit, wrapping after about
// 49.7 days, from a monotonic clock.
uint32_t GetTickCount();

// Tests replace the clock; null restores the monotonic one.
using TickSource = uint32_t (*)();
void SetTickSource(TickSource source);
