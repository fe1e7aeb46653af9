#pragma once

// Shared by the demo's tests: host models of the water simulation in double
// precision, read-back of the scene's fields and a fixture that holds one
// demo scene for a whole test suite.

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/GlTestMain.h"

class GpuVector;
class UnpackedVector;

namespace app_test {

struct Texel {
    int x;
    int y;
};

inline bool operator==(const Texel& a, const Texel& b) { return a.x == b.x && a.y == b.y; }

inline std::ostream& operator<<(std::ostream& out, const Texel& t) {
    return out << "(" << t.x << ", " << t.y << ")";
}

struct Grid {
    int width;
    int height;

    size_t Count() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
    size_t Index(int x, int y) const { return static_cast<size_t>(y) * static_cast<size_t>(width) + x; }
    size_t Index(Texel texel) const { return Index(texel.x, texel.y); }
};

constexpr Grid kDemoGrid{512, 512};

// Rows of the parameter tables carry a name: gtest prints a row and names its
// test by it.
template <typename Row, typename = decltype(std::declval<const Row&>().name)>
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}

struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};
constexpr float kDropHeight = 5.0f;

using Field = std::vector<double>;

// The explicit half of a wave step, p*(sum of the four neighbours) + (2 - 4p)*u
// - v, where a neighbour outside the grid reads the nearest edge point.
Field ExplicitWaveStep(const Grid& grid, const Field& current, const Field& last, double p);

// (1 + 4p) x - p * (sum of the neighbours inside the grid): the implicit half,
// in which a point beyond the edge counts as 0.
Field ApplyWaveSystem(const Grid& grid, const Field& x, double p);

// Conjugate gradients restarted from x: r = b - A x, p = r, rho = r.r, then the
// given number of iterations, each with a zero step where a denominator is 0.
void ConjugateGradients(const Grid& grid, const Field& b, double p, int iterations, Field& x);

// The three time levels the demo carries from frame to frame; the solution is
// the warm start of the next solve and is not touched by drops.
struct WaveState {
    Field current;
    Field last;
    Field solution;

    explicit WaveState(const Grid& grid)
        : current(grid.Count(), 0.0), last(grid.Count(), 0.0), solution(grid.Count(), 0.0) {}
};

// One frame of the demo's scheme with two CG iterations per frame.
void AdvanceFrame(const Grid& grid, double p, WaveState& state);

// Values of any GPU vector in element order, read through the framework
// framebuffer.
std::vector<float> ReadValues(GpuVector& vector);
void UploadValues(UnpackedVector& vector, const std::vector<float>& values);

std::vector<float> ToFloat(const Field& field);
std::vector<Texel> TexelsNotZero(const Grid& grid, const std::vector<float>& values);
double MaxAbs(const std::vector<float>& values);
bool AllFinite(const std::vector<float>& values);

// Index and size of the largest |expected - actual|.
struct Deviation {
    size_t index = 0;
    double value = 0.0;
};
Deviation LargestDeviation(const Field& expected, const std::vector<float>& actual);

// Flat water at rest in the demo's scene: both height fields and the solution.
void ClearSceneWater();
// Input and window globals as the demo starts.
void ResetInputAndWindow();

// One demo scene for a whole suite: building it compiles every kernel program.
// Each test starts from flat water, released buttons and an 800x600 window.
class SceneTest : public GlTest {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
};

}  // namespace app_test
