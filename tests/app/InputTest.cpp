#include <GL/glew.h>

#include <GL/freeglut.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "AppTestSupport.h"
#include "app/FrameTiming.h"
#include "app/TickCounter.h"

// Last: Xlib's macros (None, Bool, Status) would reach the headers above.
#include <GL/glx.h>

namespace app_test {
namespace {

// The texels that hold water, each checked to hold exactly the drop height.
Texels DropTexels() {
    const std::vector<float> heights = ReadValues(*g_pHeightCurrent);
    const Texels texels = NonZeroTexels(heights);
    for (const auto& [x, y] : texels) EXPECT_EQ(heights[size_t(y * kGrid + x)], kDropHeight) << x << "," << y;
    return texels;
}

using InputTest = SceneTest;

// Random drops fall on counted frames 0, 5, 10, ...; frames are counted only
// while random drops are on and the water runs.
TEST_F(InputTest, SpaceTogglesRandomDropsOnEveryFifthCountedFrame) {
    std::srand(1);
    const std::pair<char, std::vector<size_t>> steps[] = {{' ', {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}},
                                                          {' ', {0, 0, 0}},
                                                          {' ', {0, 0, 0, 0, 1}},
                                                          {'p', {0, 0, 0, 0, 0, 0}}};
    for (const auto& [key, expected] : steps) {
        Keyboard(static_cast<unsigned char>(key), 0, 0);
        std::vector<size_t> drops;
        for (size_t frame = 0; frame < expected.size(); ++frame) {
            SetSceneWater(0.0f);
            ApplyDrops();
            drops.push_back(DropTexels().size());
        }
        EXPECT_EQ(drops, expected) << key;
    }
    Keyboard('p', 0, 0);
    EXPECT_EQ(g_iDropFrame, 16);
}

// Window pixels with y from the top, scaled onto the grid by the size Reshape
// stored; a drop sets one texel of the current level, and a pointer beyond the
// window drops nothing. A window of zero width or height has no point on the
// grid: no drop pass runs at all (it would set the viewport to the grid's), and
// a zero height keeps the last finite aspect. A window wider than llvmpipe's
// largest viewport (16384 both ways) is taken at that width; one that tall at
// the X server gets no frame drawn into it. Random drops come on top of the
// pointer's.
TEST_F(InputTest, TheHeldLeftButtonDropsUnderThePointer) {
    const std::tuple<int, int, int, int, float, Texels> cases[] = {
        {800, 600, 400, 300, 800.0f / 600, {{256, 256}}},
        {800, 600, 0, 599, 800.0f / 600, {{0, 0}}},
        {800, 600, 400, 0, 800.0f / 600, {}},
        {800, 600, 800, 300, 800.0f / 600, {}},
        {800, 600, -1, 300, 800.0f / 600, {}},
        {1024, 512, 1023, 256, 2.0f, {{511, 256}}},
        {100000, 600, 16383, 300, 16384.0f / 600, {{511, 256}}},
        {800, 0, 400, 300, 16384.0f / 600, {}},
        {0, 600, 400, 300, 0.0f, {}}};
    for (const auto& [width, height, x, y, aspect, texels] : cases) {
        SetSceneWater(0.0f);
        Reshape(width, height);
        Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, x, y);
        ApplyDrops();
        GLint viewport[4] = {};
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_TRUE(width * height > 0 || viewport[2] * viewport[3] == 0) << "a drop pass ran";
        EXPECT_EQ(std::tuple(g_iWindowWidth, g_iWindowHeight, g_fAspect),
                  std::tuple(std::min(width, 16384), height, aspect));
        EXPECT_EQ(DropTexels(), texels) << width << "x" << height << " at " << x << "," << y;
    }
    for (const auto& [width, height] : {std::pair(64, 20000), std::pair(64, 64)}) {
        XResizeWindow(glXGetCurrentDisplay(), glXGetCurrentDrawable(), unsigned(width), unsigned(height));
        XSync(glXGetCurrentDisplay(), False);
        EXPECT_EQ(WindowDrawable(), height == 64);
    }
    std::srand(3);
    g_bRandomDrops = true;
    Reshape(800, 600);
    Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 400, 300);
    ApplyDrops();
    EXPECT_EQ(DropTexels().size(), 2u);
}

// Flags by button: 1 pressed, 2 dragged, 0 released. The middle button never
// drags; buttons beyond the three (the wheel's 3 and 4) change no flag. Any
// button event while the right button is held wipes the water, its own press
// included, but not its release or motion.
TEST_F(InputTest, MouseFlagsAndTheRightButtonsReset) {
    const std::tuple<char, int, std::array<int, 3>, bool> events[] = {
        // 'd'own, 'u'p or 'm'otion
        {'d', 0, {1, 0, 0}, false},  {'m', 0, {2, 0, 0}, false}, {'d', 1, {2, 1, 0}, false},
        {'m', 0, {2, 1, 0}, false},  {'d', 3, {2, 1, 0}, false}, {'u', 4, {2, 1, 0}, false},
        {'d', -1, {2, 1, 0}, false}, {'u', 1, {2, 0, 0}, false}, {'d', 2, {2, 0, 1}, true},
        {'m', 0, {2, 0, 2}, false},  {'u', 0, {0, 0, 2}, true},  {'d', 3, {0, 0, 2}, true},
        {'u', 2, {0, 0, 0}, false},  {'m', 0, {0, 0, 0}, false}};
    int x = 10;
    for (const auto& [kind, button, flags, wipes] : events) {
        SetSceneWater(1.0f);
        ++x;
        kind == 'm' ? Motion(x, 2 * x) : Mouse(button, kind == 'd' ? GLUT_DOWN : GLUT_UP, x, 2 * x);
        EXPECT_EQ((std::array<int, 3>{g_aiMouseButton[0], g_aiMouseButton[1], g_aiMouseButton[2]}), flags)
            << x;
        EXPECT_TRUE(g_iMouseX == x && g_iMouseY == 2 * x) << x;
        for (GpuVector* field : SceneWater())
            EXPECT_EQ(MaxDeviation(Field(kCount, wipes ? 0.0 : 1.0), ReadValues(*field)), 0.0) << x;
    }
}

const std::string kHelp =
    "\nZentor Water Surface Demo\n==================================\n\n   q, ESC : Quit\n"
    "   F1     : print this help text\n   Q      : Quit\n   space  : random drops on / off\n"
    "   p      : pause / resume the water\n   left mouse button  : drops under the pointer (hold, drag)\n"
    "   right mouse button : flat water again\n";

// Key events through GLUT's callbacks: "p" and "F1" pressed, "^p" and "^F1"
// released, the pointer's "leave" and "enter", and the keyboard focus set to
// the window itself ("own"), the root window, nobody ("none") or whichever
// window the pointer is in ("pointer"), each followed by an idle call. After
// each: paused, and the help texts printed so far. The window's title, as the
// X server holds it, says "(paused)" at once.
TEST_F(InputTest, HeldKeysActOnceUntilReleasedOrForgotten) {
    const std::tuple<std::string, bool, int> steps[] = {
        {"p", 1, 0},   {"p", 1, 0},  {"^p", 1, 0},      {"p", 0, 0},  {"F1", 0, 1},    {"F1", 0, 1},
        {"^F1", 0, 1}, {"F1", 0, 2}, {"leave", 0, 2},   {"p", 1, 2},  {"enter", 1, 2}, {"p", 1, 2},
        {"own", 1, 2}, {"p", 1, 2},  {"pointer", 1, 2}, {"p", 1, 2},  {"root", 1, 2},  {"p", 0, 2},
        {"^p", 0, 2},  {"F1", 0, 3}, {"none", 0, 3},    {"F1", 0, 4}, {"own", 0, 4}};
    ::Display* const display = glXGetCurrentDisplay();
    const Window window = glXGetCurrentDrawable();
    const std::map<std::string, Window> focus = {
        {"own", window}, {"none", None}, {"pointer", PointerRoot}, {"root", DefaultRootWindow(display)}};
    ForgetHeldKeys();
    std::string printed;
    for (const auto& [event, paused, helps] : steps) {
        StdoutCapture output;
        if (event == "p" || event == "^p") (event[0] == '^' ? KeyReleased : KeyPressed)('p', 0, 0);
        if (event == "F1" || event == "^F1")
            (event[0] == '^' ? SpecialKeyReleased : SpecialKeyPressed)(GLUT_KEY_F1, 0, 0);
        if (event == "leave" || event == "enter") PointerEntry(event == "leave" ? GLUT_LEFT : GLUT_ENTERED);
        if (focus.count(event)) {
            XSetInputFocus(display, focus.at(event), RevertToNone, CurrentTime);
            XSync(display, False);
            Idle();
        }
        printed += output.Text();
        char* title = nullptr;
        XFetchName(display, window, &title);
        EXPECT_TRUE(g_bPaused == paused && (title && std::strstr(title, "(paused)")) == paused) << event;
        XFree(title);
        EXPECT_EQ(printed.size(), helps * kHelp.size()) << event;
    }
    EXPECT_EQ(printed, kHelp + kHelp + kHelp + kHelp);
}

uint32_t g_ticks = 0;

// Frame starts 1/60 s apart in whole milliseconds, 17, 17, 16, ...: exactly
// 1000 ms every 60 frames, which refresh the title every 60 frames.
std::tuple<std::vector<uint32_t>, std::vector<size_t>> SixtyFps(uint32_t start, size_t frames) {
    std::vector<uint32_t> ticks{start};
    std::vector<size_t> refreshes;
    for (size_t i = 1; i < frames; ++i) ticks.push_back(ticks.back() + (i % 3 == 0 ? 16 : 17));
    for (size_t i = 0; i < frames; i += 60) refreshes.push_back(i);
    return {ticks, refreshes};
}

// The title shows the rate, refreshed once at least a second has passed since
// the last refresh. The tick counter starts anywhere, so the very first frame
// refreshes, before any frame was counted; a step across the counter's wrap is
// the short interval it really is, and hundreds of frames from a large tick
// keep whole milliseconds. Without a test's clock the ticks are the monotonic
// clock's again.
TEST(FrameTimingTest, TheRateIsRefreshedOncePerSecond) {
    const std::tuple<std::tuple<std::vector<uint32_t>, std::vector<size_t>>, const char*, double> cases[] = {
        {{{123456}, {0}}, "0.00", 123.456},         {SixtyFps(5000, 121), "60.00", 7.0},
        {{{5000, 7500}, {0, 1}}, "0.40", 7.5},      {{{5000, 5400, 6000}, {0, 2}}, "2.00", 6.0},
        {{{5000, 5400, 5999}, {0}}, "0.00", 5.999}, {SixtyFps(0xFFFFFFFFu - 596u, 361), "60.00", 4294972.699},
    };
    SetTickSource([] { return g_ticks; });
    for (const auto& [frames, rate, seconds] : cases) {
        const auto& [ticks, expected] = frames;
        g_uTick = 0;
        g_dTime = g_dLastTitleTime = g_dFrames = g_dFrameRate = 0.0;
        std::vector<size_t> refreshes;
        for (size_t i = 0; i < ticks.size(); ++i) {
            g_ticks = ticks[i];
            TickClock();
            const double lastRefresh = g_dLastTitleTime;
            UpdateFrameRate(g_strTitle);
            if (g_dLastTitleTime != lastRefresh) refreshes.push_back(i);
        }
        char title[64];
        FormatFrameRateTitle(title, sizeof title, g_strTitle, g_dFrameRate);
        EXPECT_EQ(refreshes, expected) << ticks[0];
        EXPECT_EQ(title, std::string("Zentor Water Surface Demo @ ") + rate + " fps") << ticks[0];
        EXPECT_NEAR(g_dTime, seconds, 1e-6) << ticks[0];
    }
    SetTickSource(nullptr);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    EXPECT_LT(GetTickCount() - uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()),
              1000u);
}

}  // namespace
}  // namespace app_test
