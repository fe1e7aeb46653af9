#include <GL/glew.h>

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

std::vector<float> CurrentHeights() { return ReadValues(*g_pHeightCurrent); }

// The texels a drop wrote, each checked to hold exactly the drop height.
std::vector<Texel> DropTexels() {
    const std::vector<float> heights = CurrentHeights();
    const std::vector<Texel> texels = TexelsNotZero(kDemoGrid, heights);
    for (const Texel& t : texels) EXPECT_EQ(heights[kDemoGrid.Index(t)], kDropHeight) << "at " << t;
    return texels;
}

struct DropCase {
    const char* name;
    float x, y;
    std::vector<Texel> texels;
};

class AddDropTest : public SceneTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(AddDropTest, WritesTheOneTexelUnderThePoint) {
    const DropCase& c = GetParam();
    AddDrop(c.x, c.y);
    EXPECT_EQ(DropTexels(), c.texels);
    // The last level and the solution are not drop targets.
    EXPECT_TRUE(TexelsNotZero(kDemoGrid, ReadValues(*g_pHeightLast)).empty());
    EXPECT_TRUE(TexelsNotZero(kDemoGrid, ReadValues(*g_pSolution)).empty());
}

INSTANTIATE_TEST_SUITE_P(
    DemoGrid, AddDropTest,
    ::testing::Values(DropCase{"Centre", 0.5f, 0.5f, {{256, 256}}}, DropCase{"Origin", 0.0f, 0.0f, {{0, 0}}},
                      DropCase{"QuarterPoints", 0.25f, 0.75f, {{128, 384}}},
                      DropCase{"LastTexelOfTheFirstRow", 0.9999f, 0.0001f, {{511, 0}}},
                      DropCase{"RightOfTheGrid", 1.0f, 0.5f, {}}, DropCase{"AboveTheGrid", 0.5f, 1.0f, {}},
                      DropCase{"LeftOfTheGrid", -0.001f, 0.5f, {}}, DropCase{"FarOutside", 3.0f, -2.0f, {}}),
    RowName());

class DropTest : public SceneTest {};

// A drop sets the height, it does not add to it.
TEST_F(DropTest, SetsTheHeightWhateverWasThere) {
    AddDrop(0.5f, 0.5f);
    AddDrop(0.5f, 0.5f);
    EXPECT_EQ(DropTexels(), (std::vector<Texel>{{256, 256}}));

    UploadValues(*g_pHeightCurrent, std::vector<float>(kDemoGrid.Count(), -1.5f));
    AddDrop(0.5f, 0.5f);
    std::vector<float> expected(kDemoGrid.Count(), -1.5f);
    expected[kDemoGrid.Index(256, 256)] = kDropHeight;
    EXPECT_EQ(CurrentHeights(), expected);
}

TEST_F(DropTest, LeavesTheWindowFramebufferBound) {
    AddDrop(0.5f, 0.5f);
    GLint framebuffer = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &framebuffer);
    EXPECT_EQ(framebuffer, 0);
}

// Drops per frame over a number of frames, each frame from flat water.
std::vector<size_t> DropsPerFrame(int frames) {
    std::vector<size_t> drops;
    for (int frame = 0; frame < frames; ++frame) {
        ClearSceneWater();
        ApplyDrops();
        drops.push_back(DropTexels().size());
    }
    return drops;
}

// Random drops fall on counted frames 0, 5, 10, ...; the counter runs only
// while random drops are on, and resumes where it stopped.
TEST_F(DropTest, RandomDropsFallOnEveryFifthCountedFrame) {
    using Drops = std::vector<size_t>;
    std::srand(1);
    Keyboard(' ', 0, 0);
    EXPECT_EQ(DropsPerFrame(12), (Drops{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}));
    Keyboard(' ', 0, 0);
    EXPECT_EQ(DropsPerFrame(3), (Drops{0, 0, 0}));
    EXPECT_EQ(g_iDropFrame, 12);
    Keyboard(' ', 0, 0);
    EXPECT_EQ(DropsPerFrame(4), (Drops{0, 0, 0, 1}));
    EXPECT_EQ(g_iDropFrame, 16);
}

// A coordinate from rand() must land on the grid whatever RAND_MAX is, and
// the drops must cover all of it.
TEST_F(DropTest, RandomDropsSpreadOverTheWholeGrid) {
    std::srand(7);
    g_bRandomDrops = true;
    const int drops = 40;
    for (int frame = 0; frame < 5 * drops; ++frame) ApplyDrops();

    const std::vector<Texel> texels = DropTexels();
    EXPECT_GE(texels.size(), static_cast<size_t>(drops - 2)) << "only a rare collision may merge two drops";
    EXPECT_LE(texels.size(), static_cast<size_t>(drops));
    int quadrants[4] = {0, 0, 0, 0};
    for (const Texel& t : texels) ++quadrants[(t.x >= 256 ? 1 : 0) + (t.y >= 256 ? 2 : 0)];
    for (int q = 0; q < 4; ++q) EXPECT_GT(quadrants[q], 0) << "no drop in quadrant " << q;
}

struct PointerCase {
    const char* name;
    int windowWidth, windowHeight;
    int mouseX, mouseY;  // window pixels, y from the top
    std::vector<Texel> texels;
};

class PointerDropTest : public SceneTest, public ::testing::WithParamInterface<PointerCase> {};

TEST_P(PointerDropTest, DropsUnderTheHeldLeftButton) {
    const PointerCase& c = GetParam();
    Reshape(c.windowWidth, c.windowHeight);
    Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, c.mouseX, c.mouseY);
    ApplyDrops();
    EXPECT_EQ(DropTexels(), c.texels);

    Mouse(GLUT_LEFT_BUTTON, GLUT_UP, c.mouseX, c.mouseY);
    ClearSceneWater();
    ApplyDrops();
    EXPECT_TRUE(DropTexels().empty()) << "dropped with the button released";
}

INSTANTIATE_TEST_SUITE_P(Windows, PointerDropTest,
                         ::testing::Values(PointerCase{"Centre", 800, 600, 400, 300, {{256, 256}}},
                                           PointerCase{"BottomLeftPixel", 800, 600, 0, 599, {{0, 0}}},
                                           // Row 0 of the window is y = 1 on the grid: one texel beyond it.
                                           PointerCase{"TopRowOfTheWindow", 800, 600, 400, 0, {}},
                                           PointerCase{"WideWindow", 1024, 512, 1023, 256, {{511, 256}}},
                                           PointerCase{"LeftOfTheWindow", 800, 600, -10, 300, {}},
                                           PointerCase{"RightOfTheWindow", 800, 600, 900, 300, {}},
                                           PointerCase{"ZeroHeightWindow", 800, 0, 400, 300, {}},
                                           PointerCase{"ZeroWidthWindow", 0, 600, 400, 300, {}},
                                           PointerCase{"ZeroSizeAtTheOrigin", 0, 0, 0, 0, {}}),
                         RowName());

TEST_F(DropTest, OneFrameCanDropBothRandomlyAndUnderThePointer) {
    std::srand(3);
    g_bRandomDrops = true;
    Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 400, 300);
    ApplyDrops();
    const std::vector<Texel> texels = DropTexels();
    EXPECT_EQ(texels.size(), 2u);
    EXPECT_NE(std::find(texels.begin(), texels.end(), Texel{256, 256}), texels.end());
}

}  // namespace
}  // namespace app_test
