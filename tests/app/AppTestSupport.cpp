#include "AppTestSupport.h"

#include <cmath>

#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {

std::vector<float> ReadValues(GpuVector& vector) {
    std::vector<float> values(static_cast<size_t>(vector.Size()));
    EXPECT_TRUE(vector.GetData(values.data(), values.size()));
    return values;
}

double MaxDeviation(const Field& expected, const std::vector<float>& actual, size_t* where) {
    double largest = 0.0;
    for (size_t n = 0; n < expected.size(); ++n) {
        double deviation = std::fabs(expected[n] - actual[n]);
        if (std::isnan(deviation)) deviation = INFINITY;
        if (deviation <= largest) continue;
        largest = deviation;
        if (where != nullptr) *where = n;
    }
    return largest;
}

Texels NonZeroTexels(const Grid& grid, const std::vector<float>& values) {
    Texels texels;
    for (int y = 0; y < grid.height; ++y)
        for (int x = 0; x < grid.width; ++x)
            if (values[grid.Index(x, y)] != 0.0f) texels.emplace_back(x, y);
    return texels;
}

void SetSceneWater(float level) {
    FrameworkFramebufferScope framebuffer;
    for (GpuVector* field : SceneWater()) field->Fill(level);
}

std::vector<GpuVector*> SceneWater() { return {g_pHeightCurrent, g_pHeightLast, g_pSolution}; }

void SceneTest::SetUpTestSuite() { InitScene(); }

// Later suites expect the framework the test harness initialised.
void SceneTest::TearDownTestSuite() {
    DestroyScene();
    InitFramework();
}

void SceneTest::SetUp() {
    for (int& button : g_aiMouseButton) button = 0;
    g_bRandomDrops = false;
    g_iDropFrame = 0;
    Reshape(800, 600);
    SetSceneWater(0.0f);
}

}  // namespace app_test
