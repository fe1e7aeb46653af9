#include "app/TickCounter.h"

#include <chrono>

namespace {

uint32_t MonotonicMilliseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Truncation to 32 bits is the wrap.
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

TickSource g_tickSource = MonotonicMilliseconds;

}  // namespace

uint32_t GetTickCount() { return g_tickSource(); }

void SetTickSource(TickSource source) { g_tickSource = source ? source : MonotonicMilliseconds; }
