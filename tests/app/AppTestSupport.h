#pragma once

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"
#include "support/GlTestMain.h"
#include "support/HostReference.h"

namespace app_test {

constexpr int kGrid = 512;  // the demo's grid, both ways
constexpr size_t kCount = size_t{kGrid} * kGrid;
constexpr float kDropHeight = 5.0f;
using Field = host::Vector;
using Texels = std::vector<std::pair<int, int>>;

inline std::vector<float> ReadValues(GpuVector& vector) {
    std::vector<float> values(static_cast<size_t>(vector.Size()));
    EXPECT_TRUE(vector.GetData(values.data(), values.size()));
    return values;
}

// The largest |expected - actual|, infinite for a NaN.
inline double MaxDeviation(const Field& expected, const std::vector<float>& actual) {
    double largest = 0.0;
    for (size_t n = 0; n < expected.size(); ++n) {
        const double deviation = std::fabs(expected[n] - actual[n]);
        largest = std::isnan(deviation) ? INFINITY : std::max(largest, deviation);
    }
    return largest;
}

inline Texels NonZeroTexels(const std::vector<float>& values) {
    Texels texels;
    for (size_t n = 0; n < values.size(); ++n)
        if (values[n] != 0.0f) texels.emplace_back(int(n % kGrid), int(n / kGrid));
    return texels;
}

// The current and last height fields and the solution of the demo's scene.
inline std::vector<GpuVector*> SceneWater() { return {g_pHeightCurrent, g_pHeightLast, g_pSolution}; }

inline void SetSceneWater(float level) {
    FrameworkFramebufferScope framebuffer;
    for (GpuVector* field : SceneWater()) field->Fill(level);
}

// One demo scene for a whole suite: building it compiles every kernel program.
// Each test starts from flat running water, released buttons, random drops off
// and an 800x600 window. Later suites get the framework the harness made.
class SceneTest : public GlTest {
protected:
    static void SetUpTestSuite() { InitScene(); }
    static void TearDownTestSuite() { DestroyScene(), InitFramework(); }
    void SetUp() override {
        std::fill(std::begin(g_aiMouseButton), std::end(g_aiMouseButton), 0);
        g_bRandomDrops = g_bPaused = false;
        g_iDropFrame = 0;
        Reshape(800, 600);
        SetSceneWater(0.0f);
    }
};

}  // namespace app_test
