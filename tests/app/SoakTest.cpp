#include <GL/glew.h>

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "AppTestSupport.h"
#include "app/FrameLoop.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {
namespace {

constexpr int kFrames = 2000;
constexpr int kFramesBetweenChecks = 100;

// The water is never pushed higher than a drop, and a stable scheme only
// redistributes what the drops put in; interference may pile a few crests up,
// so allow twice the drop height. An instability grows geometrically and
// passes any fixed bound within a few dozen frames.
constexpr double kHeightBound = 2.0 * kDropHeight;

class SoakTest : public SceneTest {};

// Whole frames of the demo, drawing included, with random drops all along and
// the left button held near an edge for a while.
TEST_F(SoakTest, LongRunWithRandomDropsStaysFiniteAndBounded) {
    std::srand(2024);
    Keyboard(' ', 0, 0);
    for (int frame = 1; frame <= kFrames; ++frame) {
        if (frame == 500) Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 3, 300);
        if (frame == 700) Mouse(GLUT_LEFT_BUTTON, GLUT_UP, 3, 300);
        Display();
        if (frame % kFramesBetweenChecks != 0) continue;
        for (GpuVector* field :
             {static_cast<GpuVector*>(g_pHeightCurrent), static_cast<GpuVector*>(g_pHeightLast),
              static_cast<GpuVector*>(g_pSolution)}) {
            const std::vector<float> values = ReadValues(*field);
            ASSERT_TRUE(AllFinite(values)) << "frame " << frame;
            ASSERT_LE(MaxAbs(values), kHeightBound) << "frame " << frame;
        }
    }
    EXPECT_EQ(g_iDropFrame, kFrames);
    EXPECT_GT(TexelsNotZero(kDemoGrid, ReadValues(*g_pHeightCurrent)).size(), kDemoGrid.Count() / 2)
        << "the drops should have set most of the water in motion";
}

}  // namespace
}  // namespace app_test
