#include <gtest/gtest.h>

#include <vector>

#include "AppTestSupport.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {
namespace {

// The coefficient as the GPU holds it: the float nearest 0.3^2 / 2.
const double kPreFactor = static_cast<double>(0.045f);

// Largest |GPU - host| allowed after the frames of a case, on heights up to
// the drop's 5. Every frame rounds each value a few dozen times in float and
// takes alpha and beta from dot products over 262144 terms summed in float by
// halving passes, relative errors near 1e-7 to 1e-6; the scheme damps rather
// than amplifies them, so they grow about linearly with the frames. llvmpipe
// ends 30 and 40 frames 1.3e-5 and 1.1e-5 off; 1e-4 leaves room for a GPU
// that sums in another order. A fault in the scheme (one CG iteration more or
// less, a lost warm start, a wrong edge rule) is off by 1e-2 or more.
constexpr double kSimulationTolerance = 1e-4;

struct TimedDrop {
    int frame;  // dropped before this frame's step, as the frame loop does after drawing
    Texel texel;
};

struct SimulationCase {
    const char* name;
    int frames;
    std::vector<TimedDrop> drops;
    int windowHeight;  // a zero height must not disturb the simulation
};

void DropAt(Texel texel) {
    AddDrop((static_cast<float>(texel.x) + 0.5f) / static_cast<float>(kDemoGrid.width),
            (static_cast<float>(texel.y) + 0.5f) / static_cast<float>(kDemoGrid.height));
}

class SimulationTest : public SceneTest, public ::testing::WithParamInterface<SimulationCase> {
protected:
    static void ExpectMatch(const char* what, const Field& expected, GpuVector& actual) {
        const std::vector<float> values = ReadValues(actual);
        const Deviation deviation = LargestDeviation(expected, values);
        EXPECT_LE(deviation.value, kSimulationTolerance)
            << what << " at texel (" << deviation.index % kDemoGrid.width << ", "
            << deviation.index / kDemoGrid.width << "): GPU " << values[deviation.index] << ", host "
            << expected[deviation.index];
    }
};

TEST_P(SimulationTest, MatchesTheHostScheme) {
    const SimulationCase& c = GetParam();
    Reshape(640, c.windowHeight);
    WaveState host(kDemoGrid);
    for (int frame = 0; frame < c.frames; ++frame) {
        for (const TimedDrop& drop : c.drops) {
            if (drop.frame != frame) continue;
            DropAt(drop.texel);
            host.current[kDemoGrid.Index(drop.texel)] = kDropHeight;
        }
        SimulationStep();
        AdvanceFrame(kDemoGrid, kPreFactor, host);
    }
    ExpectMatch("current", host.current, *g_pHeightCurrent);
    ExpectMatch("last", host.last, *g_pHeightLast);
    ExpectMatch("solution", host.solution, *g_pSolution);
    // The waves have spread well beyond the drop: the comparison is not vacuous.
    EXPECT_GT(TexelsNotZero(kDemoGrid, ReadValues(*g_pHeightCurrent)).size(), 100u);
}

INSTANTIATE_TEST_SUITE_P(
    DemoScene, SimulationTest,
    ::testing::Values(SimulationCase{"OneCentralDrop", 30, {{0, {256, 256}}}, 600},
                      // Edges and corners, where the clamped explicit step
                      // meets the implicit system's zero boundary, and a drop
                      // into water already moving.
                      SimulationCase{
                          "DropsAtEdgesAndCorner",
                          40,
                          {{0, {1, 2}}, {0, {511, 300}}, {5, {200, 511}}, {12, {0, 0}}, {20, {230, 290}}},
                          600},
                      SimulationCase{"ZeroHeightWindow", 6, {{0, {256, 256}}}, 0}),
    RowName());

}  // namespace
}  // namespace app_test
