#include <GL/glew.h>

#include <GL/freeglut.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {
namespace {

class ReshapeTest : public GlTest {
protected:
    void SetUp() override { ResetInputAndWindow(); }
    void TearDown() override {
        ResetInputAndWindow();
        glViewport(0, 0, 64, 64);
        GlTest::TearDown();
    }
};

// gluPerspective puts f/aspect and f in the first two diagonal entries.
float ProjectionAspect() {
    float matrix[16];
    glGetFloatv(GL_PROJECTION_MATRIX, matrix);
    return matrix[5] / matrix[0];
}

std::array<GLint, 4> Viewport() {
    std::array<GLint, 4> viewport{};
    glGetIntegerv(GL_VIEWPORT, viewport.data());
    return viewport;
}

TEST_F(ReshapeTest, StoresTheSizeAndAspect) {
    struct Case {
        int width, height;
        float aspect;
    };
    // A zero height keeps the last finite aspect.
    const Case cases[] = {{1024, 512, 2.0f}, {300, 0, 2.0f}, {800, 600, 800.0f / 600.0f}, {0, 600, 0.0f}};
    for (const Case& c : cases) {
        Reshape(c.width, c.height);
        EXPECT_EQ(g_iWindowWidth, c.width);
        EXPECT_EQ(g_iWindowHeight, c.height);
        EXPECT_EQ(g_fAspect, c.aspect) << c.width << "x" << c.height;
        EXPECT_EQ(Viewport(), (std::array<GLint, 4>{0, 0, c.width, c.height}));
        if (c.aspect > 0.0f) {
            EXPECT_NEAR(ProjectionAspect(), c.aspect, 1e-5f * c.aspect);
        }
        GLint matrixMode = 0;
        glGetIntegerv(GL_MATRIX_MODE, &matrixMode);
        EXPECT_EQ(matrixMode, GL_MODELVIEW);
    }
}

using Flags = std::array<int, 3>;

Flags ButtonFlags() { return {g_aiMouseButton[0], g_aiMouseButton[1], g_aiMouseButton[2]}; }

// One input event and the flags it leaves.
struct InputEvent {
    enum Kind { kPress, kRelease, kMotion } kind;
    int button;  // ignored for motion
    Flags flags;
};

void Deliver(const InputEvent& event, int x, int y) {
    if (event.kind == InputEvent::kMotion)
        Motion(x, y);
    else
        Mouse(event.button, event.kind == InputEvent::kPress ? GLUT_DOWN : GLUT_UP, x, y);
}

struct FlagSequence {
    const char* name;
    std::vector<InputEvent> events;
};

class MouseFlagTest : public SceneTest, public ::testing::WithParamInterface<FlagSequence> {};

TEST_P(MouseFlagTest, FollowPressesMotionAndReleases) {
    const std::vector<InputEvent>& events = GetParam().events;
    for (size_t i = 0; i < events.size(); ++i) {
        const int x = 10 + static_cast<int>(i), y = 20 + static_cast<int>(i);
        Deliver(events[i], x, y);
        EXPECT_EQ(ButtonFlags(), events[i].flags) << "after event " << i;
        EXPECT_EQ(g_iMouseX, x);
        EXPECT_EQ(g_iMouseY, y);
    }
}

using E = InputEvent;
INSTANTIATE_TEST_SUITE_P(Sequences, MouseFlagTest,
                         ::testing::Values(FlagSequence{"LeftDrag",
                                                        {{E::kPress, 0, {1, 0, 0}},
                                                         {E::kMotion, 0, {2, 0, 0}},
                                                         {E::kMotion, 0, {2, 0, 0}},
                                                         {E::kRelease, 0, {0, 0, 0}},
                                                         {E::kMotion, 0, {0, 0, 0}}}},
                                           FlagSequence{"RightDrag",
                                                        {{E::kPress, 2, {0, 0, 1}},
                                                         {E::kMotion, 0, {0, 0, 2}},
                                                         {E::kRelease, 2, {0, 0, 0}}}},
                                           // Motion never touches the middle button's flag.
                                           FlagSequence{"MiddleWithLeft",
                                                        {{E::kPress, 1, {0, 1, 0}},
                                                         {E::kMotion, 0, {0, 1, 0}},
                                                         {E::kPress, 0, {1, 1, 0}},
                                                         {E::kMotion, 0, {2, 1, 0}},
                                                         {E::kRelease, 1, {2, 0, 0}},
                                                         {E::kRelease, 0, {0, 0, 0}}}},
                                           // The wheel arrives as buttons 3 and 4; nothing tracks them
                                           // (memory safety of that is checked under AddressSanitizer).
                                           FlagSequence{"WheelWhileDragging",
                                                        {{E::kPress, 0, {1, 0, 0}},
                                                         {E::kPress, 3, {1, 0, 0}},
                                                         {E::kRelease, 3, {1, 0, 0}},
                                                         {E::kMotion, 0, {2, 0, 0}},
                                                         {E::kPress, 4, {2, 0, 0}},
                                                         {E::kRelease, 4, {2, 0, 0}},
                                                         {E::kPress, -1, {2, 0, 0}},
                                                         {E::kRelease, 0, {0, 0, 0}}}}),
                         RowName());

// Which button events wipe the water: any event while the right button is
// held, its own press included; never its release or mere motion.
struct ResetCase {
    const char* name;
    std::vector<InputEvent> before;  // flags not checked here
    InputEvent event;
    bool resets;
};

class RightButtonResetTest : public SceneTest, public ::testing::WithParamInterface<ResetCase> {};

// Moving water: both height fields and the solution hold something.
void StirTheWater() {
    AddDrop(0.5f, 0.5f);
    SimulationStep();
    AddDrop(0.25f, 0.25f);
}

struct SceneFields {
    std::vector<float> current, last, solution;
};

SceneFields ReadSceneFields() {
    return {ReadValues(*g_pHeightCurrent), ReadValues(*g_pHeightLast), ReadValues(*g_pSolution)};
}

TEST_P(RightButtonResetTest, WipesTheWaterOnlyWhileTheRightButtonIsHeld) {
    const ResetCase& c = GetParam();
    for (const InputEvent& event : c.before) Deliver(event, 5, 5);
    StirTheWater();
    const SceneFields stirred = ReadSceneFields();
    for (const std::vector<float>* field : {&stirred.current, &stirred.last, &stirred.solution})
        ASSERT_FALSE(TexelsNotZero(kDemoGrid, *field).empty());

    Deliver(c.event, 9, 9);

    const SceneFields after = ReadSceneFields();
    if (c.resets) {
        EXPECT_TRUE(TexelsNotZero(kDemoGrid, after.current).empty());
        EXPECT_TRUE(TexelsNotZero(kDemoGrid, after.last).empty());
        EXPECT_TRUE(TexelsNotZero(kDemoGrid, after.solution).empty());
    } else {
        EXPECT_EQ(after.current, stirred.current);
        EXPECT_EQ(after.last, stirred.last);
        EXPECT_EQ(after.solution, stirred.solution);
    }
}

const Flags kAny{};
INSTANTIATE_TEST_SUITE_P(
    Events, RightButtonResetTest,
    ::testing::Values(ResetCase{"RightPress", {}, {E::kPress, 2, kAny}, true},
                      ResetCase{
                          "LeftPressWhileRightHeld", {{E::kPress, 2, kAny}}, {E::kPress, 0, kAny}, true},
                      ResetCase{"LeftReleaseWhileRightHeld",
                                {{E::kPress, 0, kAny}, {E::kPress, 2, kAny}},
                                {E::kRelease, 0, kAny},
                                true},
                      ResetCase{"WheelWhileRightHeld", {{E::kPress, 2, kAny}}, {E::kPress, 3, kAny}, true},
                      ResetCase{"RightRelease", {{E::kPress, 2, kAny}}, {E::kRelease, 2, kAny}, false},
                      ResetCase{"MotionWhileRightHeld", {{E::kPress, 2, kAny}}, {E::kMotion, 0, kAny}, false},
                      ResetCase{"LeftPress", {}, {E::kPress, 0, kAny}, false}),
    RowName());

// With the left button held through a reset, drops resume at the pointer on
// the next frame.
TEST_F(RightButtonResetTest, LeftDropsContinueAfterAReset) {
    Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 400, 300);
    ApplyDrops();
    Mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 400, 300);
    EXPECT_TRUE(TexelsNotZero(kDemoGrid, ReadValues(*g_pHeightCurrent)).empty());
    ApplyDrops();
    const std::vector<Texel> texels = TexelsNotZero(kDemoGrid, ReadValues(*g_pHeightCurrent));
    ASSERT_EQ(texels.size(), 1u);
    EXPECT_EQ(texels[0].x, 256);
    EXPECT_EQ(texels[0].y, 256);
}

const char* const kHelpText =
    "\nZentor Water Surface Demo\n==================================\n\n   q, ESC : Quit\n   F1     : print "
    "this help text\n";

class KeyTest : public GlTest {
protected:
    void SetUp() override { ResetInputAndWindow(); }
    void TearDown() override {
        ResetInputAndWindow();
        GlTest::TearDown();
    }
};

TEST_F(KeyTest, SpaceTogglesRandomDropsAndOtherKeysDoNothing) {
    struct Case {
        unsigned char key;
        bool randomDrops;
    };
    const Case cases[] = {{' ', true},  {'a', true}, {'\r', true}, {'w', true},
                          {' ', false}, {' ', true}, {'\t', true}, {' ', false}};
    StdoutCapture output;
    for (const Case& c : cases) {
        Keyboard(c.key, 100, 100);
        EXPECT_EQ(g_bRandomDrops, c.randomDrops) << "after key " << static_cast<int>(c.key);
    }
    EXPECT_EQ(g_iDropFrame, 0);
    EXPECT_EQ(output.Text(), "");
}

TEST_F(KeyTest, F1PrintsTheHelpAndOtherSpecialKeysNothing) {
    struct Case {
        int key;
        std::string output;
    };
    const Case cases[] = {{GLUT_KEY_F1, kHelpText},
                          {GLUT_KEY_F2, ""},
                          {GLUT_KEY_UP, ""},
                          {GLUT_KEY_F12, ""},
                          {GLUT_KEY_F1, kHelpText}};
    for (const Case& c : cases) {
        StdoutCapture output;
        SpecialKey(c.key, 0, 0);
        EXPECT_EQ(output.Text(), c.output) << "special key " << c.key;
    }
}

// A pipe or file makes standard output fully buffered: without the flush the
// help would wait there until the process ends.
TEST_F(KeyTest, PrintHelpWritesTheHelpTextAndFlushes) {
    std::fflush(stdout);
    const bool lineBuffered = __flbf(stdout) != 0;
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    StdoutCapture output;
    PrintHelp();
    const size_t pending = __fpending(stdout);
    const std::string text = output.Text();
    std::setvbuf(stdout, nullptr, lineBuffered ? _IOLBF : _IOFBF, BUFSIZ);
    EXPECT_EQ(pending, 0u);
    EXPECT_EQ(text, kHelpText);
}

}  // namespace
}  // namespace app_test
