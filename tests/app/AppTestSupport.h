#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "support/GlTestMain.h"
#include "support/HostReference.h"

class GpuVector;

namespace app_test {

struct Grid {
    int width, height;
    size_t Count() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
    size_t Index(int x, int y) const { return static_cast<size_t>(y) * static_cast<size_t>(width) + x; }
};
constexpr Grid kDemoGrid{512, 512};
constexpr float kDropHeight = 5.0f;

using Field = host::Vector;
using Texels = std::vector<std::pair<int, int>>;

using host::AdvanceFrame;
using host::ExplicitWaveStep;
using WaveState = host::WaveState;

// A GPU vector's values in element order.
std::vector<float> ReadValues(GpuVector& vector);
// The largest |expected - actual|, infinite for a NaN, and where it is.
double MaxDeviation(const Field& expected, const std::vector<float>& actual, size_t* where = nullptr);
Texels NonZeroTexels(const Grid& grid, const std::vector<float>& values);

// Both height fields and the solution of the demo's scene set to one level.
void SetSceneWater(float level);
std::vector<GpuVector*> SceneWater();

// One demo scene for a whole suite: building it compiles every kernel program.
// Each test starts from flat water, released buttons, random drops off and an
// 800x600 window.
class SceneTest : public GlTest {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
};

}  // namespace app_test
