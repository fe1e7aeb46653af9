#include <cstdint>
#include <string>
#include <vector>

#include "app/FrameTiming.h"
#include "app/TickCounter.h"
#include "app/Window.h"
#include "support/GlTestMain.h"

namespace {

uint32_t g_ticks = 0;

// Frame starts 1/60 s apart in whole milliseconds: 17, 17, 16, ... make
// exactly 1000 ms every 60 frames.
std::vector<uint32_t> SixtyFps(uint32_t start, int frames) {
    std::vector<uint32_t> ticks{start};
    for (int i = 1; i < frames; ++i) ticks.push_back(ticks.back() + (i % 3 == 0 ? 16 : 17));
    return ticks;
}

using FrameTimingTest = GlTest;

// The window title shows the rate, refreshed once at least a second has
// passed since the last refresh. The tick counter starts anywhere, so the
// very first frame refreshes, before any frame was counted; a step across
// the counter's wrap is the short interval it really is.
TEST_F(FrameTimingTest, TheRateIsRefreshedOncePerSecond) {
    struct Case {
        const char* name;
        std::vector<uint32_t> ticks;    // at the start of each frame
        std::vector<size_t> refreshes;  // frames that refreshed the title
        const char* rate;
        double seconds;  // the time after the last frame
    };
    const Case cases[] = {
        {"FirstFrame", {123456}, {0}, "0.00", 123.456},
        {"SixtyFps", SixtyFps(5000, 121), {0, 60, 120}, "60.00", 7.0},
        {"SlowFrame", {5000, 7500}, {0, 1}, "0.40", 7.5},
        {"ExactlyOneSecond", {5000, 5400, 6000}, {0, 2}, "2.00", 6.0},
        {"JustUnderOneSecond", {5000, 5400, 5999}, {0}, "0.00", 5.999},
        {"CounterWrap", SixtyFps(0xFFFFFFFFu - 499u, 121), {0, 60, 120}, "60.00", 4294968.796},
    };
    SetTickSource([] { return g_ticks; });
    for (const Case& c : cases) {
        g_uTick = 0;
        g_dTime = g_dLastTitleTime = g_dFrames = g_dFrameRate = 0.0;
        std::vector<size_t> refreshes;
        for (size_t i = 0; i < c.ticks.size(); ++i) {
            g_ticks = c.ticks[i];
            TickClock();
            const double lastRefresh = g_dLastTitleTime;
            UpdateFrameRate(g_strTitle);
            if (g_dLastTitleTime != lastRefresh) refreshes.push_back(i);
        }
        char title[64];
        FormatFrameRateTitle(title, sizeof title, g_strTitle, g_dFrameRate);
        EXPECT_EQ(refreshes, c.refreshes) << c.name;
        EXPECT_EQ(title, std::string("Zentor Water Surface Demo @ ") + c.rate + " fps") << c.name;
        EXPECT_NEAR(g_dTime, c.seconds, 1e-6) << c.name;
    }
    SetTickSource(nullptr);
}

}  // namespace
