#include <GL/glew.h>

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "WindowTitle.h"
#include "app/FrameTiming.h"
#include "app/TickCounter.h"
#include "app/Window.h"

namespace app_test {
namespace {

uint32_t g_fakeTicks = 0;
uint32_t FakeTicks() { return g_fakeTicks; }

void ResetTiming() {
    g_uTick = 0;
    g_dTime = 0.0;
    g_dLastTitleTime = 0.0;
    g_dFrames = 0.0;
    g_dFrameRate = 0.0;
}

class FrameTimingTest : public GlTest {
protected:
    void SetUp() override {
        ResetTiming();
        SetTickSource(FakeTicks);
        glutSetWindowTitle("zentor tests");
    }
    void TearDown() override {
        SetTickSource(nullptr);
        ResetTiming();
        GlTest::TearDown();
    }

    // One frame's timing calls, as the frame loop makes them, at a clock
    // reading; true when the frame refreshed the title.
    static bool Frame(uint32_t ticks) {
        g_fakeTicks = ticks;
        TickClock();
        const double lastRefresh = g_dLastTitleTime;
        UpdateFrameRate(g_strTitle);
        return g_dLastTitleTime != lastRefresh;
    }
};

// Frame starts 1/60 s apart in whole milliseconds: 17, 17, 16, ... add up to
// exactly 1000 ms every 60 frames.
std::vector<uint32_t> SteadySixtyFps(uint32_t start, int frames) {
    static const uint32_t kSteps[] = {17, 17, 16};
    std::vector<uint32_t> ticks{start};
    for (int i = 1; i < frames; ++i) ticks.push_back(ticks.back() + kSteps[(i - 1) % 3]);
    return ticks;
}

struct TimingCase {
    const char* name;
    std::vector<uint32_t> ticks;           // clock reading at the start of each frame
    std::vector<size_t> refreshingFrames;  // indices into ticks
    std::string title;                     // after the last frame
};

class FrameRateTest : public FrameTimingTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(FrameRateTest, RefreshesTheTitleOncePerSecond) {
    const TimingCase& c = GetParam();
    std::vector<size_t> refreshes;
    for (size_t i = 0; i < c.ticks.size(); ++i)
        if (Frame(c.ticks[i])) refreshes.push_back(i);
    EXPECT_EQ(refreshes, c.refreshingFrames);
    EXPECT_EQ(CurrentWindowTitle(), c.title);
}

const char* const kTitleAt0 = "Zentor Water Surface Demo @ 0.00 fps";
const char* const kTitleAt60 = "Zentor Water Surface Demo @ 60.00 fps";

std::vector<uint32_t> Concat(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Ticks near the top of the counter: the sequence crosses 0 after 30 frames.
constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 499u;

INSTANTIATE_TEST_SUITE_P(
    Clocks, FrameRateTest,
    ::testing::Values(
        // The clock counts from an arbitrary start far from 0, so the very
        // first frame refreshes, before any frame was counted.
        TimingCase{"FirstFrame", {123456}, {0}, kTitleAt0},
        TimingCase{"SteadySixtyFps", SteadySixtyFps(5000, 121), {0, 60, 120}, kTitleAt60},
        TimingCase{"SlowFrame", {5000, 7500}, {0, 1}, "Zentor Water Surface Demo @ 0.40 fps"},
        TimingCase{"ExactlyOneSecond", {5000, 5400, 6000}, {0, 2}, "Zentor Water Surface Demo @ 2.00 fps"},
        TimingCase{"JustUnderOneSecond", {5000, 5400, 5999}, {0}, kTitleAt0},
        TimingCase{"CloseFramesNeverRefresh", {5000, 5001, 5002, 5500, 5998, 5999}, {0}, kTitleAt0},
        // A jump across the counter's wrap is the short interval it really is.
        TimingCase{"CounterWrap", SteadySixtyFps(kBeforeWrap, 121), {0, 60, 120}, kTitleAt60},
        TimingCase{"SlowFrameAcrossTheWrap",
                   {0xFFFFFF00u, 0x000009C4u - 0x100u},
                   {0, 1},
                   "Zentor Water Surface Demo @ 0.40 fps"},
        TimingCase{"ClockReadsZeroFirst", Concat({0}, SteadySixtyFps(1000, 61)), {1, 61}, kTitleAt60}),
    RowName());

// Near 4.3e6 s a double resolves about 1e-9 s, far below the counter's
// millisecond.
TEST_F(FrameTimingTest, TimeRunsOnThroughTheCounterWrap) {
    Frame(0xFFFFFFFFu - 9u);
    EXPECT_NEAR(g_dTime, 4294967.286, 1e-6);
    Frame(10u);
    EXPECT_NEAR(g_dTime, 4294967.306, 1e-6);
    EXPECT_EQ(g_uTick, 10u);
}

TEST(FrameRateTitleTest, FormatsTheRateWithTwoDecimals) {
    struct Case {
        double rate;
        const char* text;
    };
    const Case cases[] = {{59.94, "Zentor Water Surface Demo @ 59.94 fps"},
                          {0.0, "Zentor Water Surface Demo @ 0.00 fps"},
                          {0.4, "Zentor Water Surface Demo @ 0.40 fps"},
                          {1234.5678, "Zentor Water Surface Demo @ 1234.57 fps"}};
    for (const Case& c : cases) {
        char buffer[256];
        FormatFrameRateTitle(buffer, sizeof buffer, g_strTitle, c.rate);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(TickCounterTest, CountsMillisecondsFromTheMonotonicClock) {
    SetTickSource(nullptr);
    const uint32_t first = GetTickCount();
    const uint32_t second = GetTickCount();
    EXPECT_LT(static_cast<uint32_t>(second - first), 1000u) << "two readings in a row are close";
    SetTickSource(FakeTicks);
    g_fakeTicks = 42;
    EXPECT_EQ(GetTickCount(), 42u);
    SetTickSource(nullptr);
}

}  // namespace
}  // namespace app_test
