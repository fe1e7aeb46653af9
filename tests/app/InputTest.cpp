#include <GL/glew.h>

#include <GL/freeglut.h>

#include <array>
#include <cstdlib>
#include <tuple>

#include "AppTestSupport.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {
namespace {

// The texels that hold water, each checked to hold exactly the drop height.
Texels DropTexels() {
    const std::vector<float> heights = ReadValues(*g_pHeightCurrent);
    const Texels texels = NonZeroTexels(kDemoGrid, heights);
    for (const auto& [x, y] : texels) EXPECT_EQ(heights[kDemoGrid.Index(x, y)], kDropHeight) << x << "," << y;
    return texels;
}

using InputTest = SceneTest;

// The one texel (floor(x*w), floor(y*h)) of the current level, nothing for a
// point outside [0, 1); a drop sets the height rather than adding to it.
TEST_F(InputTest, AddDropSetsTheOneTexelUnderThePoint) {
    struct Case {
        float x, y;
        Texels texels;
    };
    const Case cases[] = {{0.5f, 0.5f, {{256, 256}}},
                          {0.0f, 0.0f, {{0, 0}}},
                          {0.25f, 0.75f, {{128, 384}}},
                          {0.9999f, 0.0001f, {{511, 0}}},
                          {1.0f, 0.5f, {}},
                          {0.5f, 1.0f, {}},
                          {-0.001f, 0.5f, {}}};
    for (const Case& c : cases) {
        SetSceneWater(0.0f);
        AddDrop(c.x, c.y);
        EXPECT_EQ(DropTexels(), c.texels) << c.x << "," << c.y;
    }
    AddDrop(0.5f, 0.5f);
    AddDrop(0.5f, 0.5f);
    EXPECT_EQ(DropTexels(), (Texels{{256, 256}}));
    EXPECT_TRUE(NonZeroTexels(kDemoGrid, ReadValues(*g_pHeightLast)).empty());
    EXPECT_TRUE(NonZeroTexels(kDemoGrid, ReadValues(*g_pSolution)).empty());
}

// Random drops fall on counted frames 0, 5, 10, ...; frames are counted only
// while random drops are on and the water runs.
TEST_F(InputTest, SpaceTogglesRandomDropsOnEveryFifthCountedFrame) {
    const auto dropsPerFrame = [](int frames) {
        std::vector<size_t> drops;
        for (int frame = 0; frame < frames; ++frame) {
            SetSceneWater(0.0f);
            ApplyDrops();
            drops.push_back(DropTexels().size());
        }
        return drops;
    };
    std::srand(1);
    Keyboard(' ', 0, 0);
    EXPECT_EQ(dropsPerFrame(11), (std::vector<size_t>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    Keyboard(' ', 0, 0);
    EXPECT_EQ(dropsPerFrame(3), (std::vector<size_t>{0, 0, 0}));
    Keyboard(' ', 0, 0);
    EXPECT_EQ(dropsPerFrame(5), (std::vector<size_t>{0, 0, 0, 0, 1}));
    // Paused, the count waits with the water.
    Keyboard('p', 0, 0);
    EXPECT_EQ(dropsPerFrame(6), (std::vector<size_t>{0, 0, 0, 0, 0, 0}));
    Keyboard('p', 0, 0);
    EXPECT_EQ(g_iDropFrame, 16);
}

// Window pixels with y from the top, scaled onto the grid by the size Reshape
// stored. A window of zero width or height has no point on the grid: no drop
// pass runs at all (it would set the viewport to the grid's), and a zero height
// keeps the last finite aspect.
TEST_F(InputTest, TheHeldLeftButtonDropsUnderThePointer) {
    struct Case {
        int width, height, x, y;
        float aspect;
        Texels texels;
    };
    const Case cases[] = {{800, 600, 400, 300, 800.0f / 600, {{256, 256}}},
                          {800, 600, 0, 599, 800.0f / 600, {{0, 0}}},
                          {800, 600, 400, 0, 800.0f / 600, {}},
                          {1024, 512, 1023, 256, 2.0f, {{511, 256}}},
                          {800, 0, 400, 300, 2.0f, {}},
                          {0, 600, 400, 300, 0.0f, {}}};
    for (const Case& c : cases) {
        SetSceneWater(0.0f);
        Reshape(c.width, c.height);
        Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, c.x, c.y);
        ApplyDrops();
        GLint viewport[4] = {};
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_TRUE(c.width * c.height > 0 || viewport[2] * viewport[3] == 0) << "a drop pass ran";
        EXPECT_EQ(std::tuple(g_iWindowWidth, g_iWindowHeight, g_fAspect),
                  std::tuple(c.width, c.height, c.aspect));
        EXPECT_EQ(DropTexels(), c.texels) << c.width << "x" << c.height << " at " << c.x << "," << c.y;
        Mouse(GLUT_LEFT_BUTTON, GLUT_UP, c.x, c.y);
        SetSceneWater(0.0f);
        ApplyDrops();
        EXPECT_TRUE(DropTexels().empty()) << "with the button released";
    }
    // Random drops come on top of the pointer's in the same frame.
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
    struct Event {
        char kind;  // 'd'own, 'u'p or 'm'otion
        int button;
        std::array<int, 3> flags;
        bool wipes;
    };
    const Event events[] = {
        {'d', 0, {1, 0, 0}, false},  {'m', 0, {2, 0, 0}, false}, {'d', 1, {2, 1, 0}, false},
        {'m', 0, {2, 1, 0}, false},  {'d', 3, {2, 1, 0}, false}, {'u', 4, {2, 1, 0}, false},
        {'d', -1, {2, 1, 0}, false}, {'u', 1, {2, 0, 0}, false}, {'d', 2, {2, 0, 1}, true},
        {'m', 0, {2, 0, 2}, false},  {'u', 0, {0, 0, 2}, true},  {'d', 3, {0, 0, 2}, true},
        {'u', 2, {0, 0, 0}, false},  {'m', 0, {0, 0, 0}, false}};
    for (size_t i = 0; i < std::size(events); ++i) {
        const Event& e = events[i];
        const int x = 10 + static_cast<int>(i), y = 20 + static_cast<int>(i);
        SetSceneWater(1.0f);
        if (e.kind == 'm')
            Motion(x, y);
        else
            Mouse(e.button, e.kind == 'd' ? GLUT_DOWN : GLUT_UP, x, y);
        EXPECT_EQ((std::array<int, 3>{g_aiMouseButton[0], g_aiMouseButton[1], g_aiMouseButton[2]}), e.flags)
            << i;
        EXPECT_TRUE(g_iMouseX == x && g_iMouseY == y) << i;
        for (GpuVector* field : SceneWater())
            EXPECT_EQ(MaxDeviation(Field(kDemoGrid.Count(), e.wipes ? 0.0 : 1.0), ReadValues(*field)), 0.0)
                << i;
    }
}

TEST(KeyTest, SpaceTogglesRandomDropsAndF1PrintsTheHelp) {
    g_bRandomDrops = false;
    StdoutCapture output;
    const std::pair<unsigned char, bool> keys[] = {
        {' ', true}, {'a', true}, {'\r', true}, {' ', false}, {' ', true}};
    for (auto [key, randomDrops] : keys) {
        Keyboard(key, 0, 0);
        EXPECT_EQ(g_bRandomDrops, randomDrops) << static_cast<int>(key);
    }
    g_bRandomDrops = false;
    for (int key : {GLUT_KEY_F2, GLUT_KEY_UP, GLUT_KEY_F1, GLUT_KEY_F12}) SpecialKey(key, 0, 0);
    EXPECT_EQ(output.Text(),
              "\nZentor Water Surface Demo\n==================================\n\n   q, ESC : Quit\n"
              "   F1     : print this help text\n   Q      : Quit\n   space  : random drops on / off\n"
              "   p      : pause / resume the water\n"
              "   left mouse button  : drops under the pointer (hold, drag)\n"
              "   right mouse button : flat water again\n");
}

}  // namespace
}  // namespace app_test
