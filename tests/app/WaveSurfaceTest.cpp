#include <GL/glew.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "AppTestSupport.h"
#include "app/WaveSurface.h"
#include "linalg/UnpackedVector.h"

namespace app_test {
namespace {

// A kernel result assembled from a handful of float operations on values up to
// about 10 is off by a few units in the last place of 10 (about 1e-6 each):
// 2e-6 allows two of them and still fails on any wrong coefficient or lookup.
constexpr double kNamedValueTolerance = 2e-6;
// Random inputs in [-1, 1]: seven float roundings on magnitudes below 4,
// 2.4e-7 each at worst, stay under 1.7e-6.
constexpr double kRandomFieldTolerance = 4e-6;

struct WaveParameters {
    float speed, timeStep, spacingX, spacingY;
};
constexpr WaveParameters kDemoParameters{1.0f, 0.3f, 1.0f, 1.0f};

// The pre-factor the kernel receives as a float uniform.
double PreFactorOf(const WaveParameters& w) {
    const double c = w.speed, dt = w.timeStep;
    return static_cast<float>(c * c * dt * dt / (2.0 * w.spacingX * w.spacingY));
}

// A wave surface with its two inputs, all of one size.
struct StepFixture {
    WaveSurface surface;
    UnpackedVector current;
    UnpackedVector last;

    StepFixture(const Grid& g, const WaveParameters& w)
        : surface(g.width, g.height, 0), current(g.width, g.height, 0), last(g.width, g.height, 0) {
        surface.SetParameters(w.speed, w.timeStep, w.spacingX, w.spacingY);
    }

    std::vector<float> Step(const std::vector<float>& currentValues, const std::vector<float>& lastValues) {
        UploadValues(current, currentValues);
        UploadValues(last, lastValues);
        FrameworkFramebufferScope framebuffer;
        surface.Step(&last, &current);
        return ReadValues(surface);
    }
};

class WaveStepTest : public GlTest {};

TEST_F(WaveStepTest, PreFactorFromTheFourParameters) {
    struct Case {
        WaveParameters parameters;
        float preFactor;
    };
    const Case cases[] = {
        {{1.0f, 0.3f, 1.0f, 1.0f}, 0.045f}, {{2.0f, 0.3f, 1.0f, 1.0f}, 0.18f},
        {{1.0f, 0.3f, 2.0f, 0.5f}, 0.045f}, {{1.0f, 1.0f, 1.0f, 1.0f}, 0.5f},
        {{3.0f, 0.5f, 1.5f, 1.0f}, 0.75f},
    };
    WaveSurface surface(4, 4, 0);
    for (const Case& c : cases) {
        const WaveParameters& w = c.parameters;
        surface.SetParameters(w.speed, w.timeStep, w.spacingX, w.spacingY);
        EXPECT_EQ(surface.PreFactor(), c.preFactor) << "speed " << w.speed << ", time step " << w.timeStep
                                                    << ", spacing " << w.spacingX << " x " << w.spacingY;
    }
}

// Uniform fields: zero stays zero, and a field at rest (current = last = c)
// stays at c everywhere, edges included, since clamped neighbours equal c too.
TEST_F(WaveStepTest, FieldAtRestStaysPut) {
    StepFixture fixture(kDemoGrid, kDemoParameters);
    for (float level : {0.0f, 0.75f, -3.5f}) {
        const std::vector<float> field(kDemoGrid.Count(), level);
        const std::vector<float> result = fixture.Step(field, field);
        const Deviation deviation = LargestDeviation(Field(kDemoGrid.Count(), level), result);
        EXPECT_LE(deviation.value, kNamedValueTolerance)
            << "level " << level << ", element " << deviation.index << " reads " << result[deviation.index];
        if (level == 0.0f) {
            EXPECT_TRUE(TexelsNotZero(kDemoGrid, result).empty());
        }
    }
}

// A height of 5 at one point, nothing before: 1.82 * 5 = 9.1 at the point,
// 0.045 * 5 = 0.225 at each neighbour inside the grid, and every neighbour
// missing at an edge reads the point itself and adds another 0.225.
struct SpikeCase {
    const char* name;
    Texel point;
    double valueAtPoint;
};

const SpikeCase kSpikeCases[] = {
    {"Interior", {256, 256}, 9.1},          {"LeftEdge", {0, 300}, 9.325},  {"RightEdge", {511, 300}, 9.325},
    {"BottomEdge", {300, 0}, 9.325},        {"TopEdge", {300, 511}, 9.325}, {"LowerLeftCorner", {0, 0}, 9.55},
    {"UpperRightCorner", {511, 511}, 9.55},
};

class WaveSpikeTest : public GlTest, public ::testing::WithParamInterface<SpikeCase> {};

TEST_P(WaveSpikeTest, SpreadsToTheNeighboursInsideTheGrid) {
    const SpikeCase& spike = GetParam();
    const Grid& grid = kDemoGrid;
    std::vector<float> current(grid.Count(), 0.0f);
    current[grid.Index(spike.point)] = kDropHeight;
    StepFixture fixture(grid, kDemoParameters);
    const std::vector<float> result = fixture.Step(current, std::vector<float>(grid.Count(), 0.0f));

    Field expected(grid.Count(), 0.0);
    expected[grid.Index(spike.point)] = spike.valueAtPoint;
    const Texel neighbours[] = {{spike.point.x + 1, spike.point.y},
                                {spike.point.x - 1, spike.point.y},
                                {spike.point.x, spike.point.y + 1},
                                {spike.point.x, spike.point.y - 1}};
    for (const Texel& n : neighbours)
        if (n.x >= 0 && n.x < grid.width && n.y >= 0 && n.y < grid.height) expected[grid.Index(n)] = 0.225;

    const Deviation deviation = LargestDeviation(expected, result);
    EXPECT_LE(deviation.value, kNamedValueTolerance)
        << "texel (" << deviation.index % grid.width << ", " << deviation.index / grid.width << ") reads "
        << result[deviation.index] << ", expected " << expected[deviation.index];
    // Exactly zero away from the stencil: no wrap to the opposite edge.
    EXPECT_EQ(TexelsNotZero(grid, result).size(), TexelsNotZero(grid, ToFloat(expected)).size());
}

INSTANTIATE_TEST_SUITE_P(DemoGrid, WaveSpikeTest, ::testing::ValuesIn(kSpikeCases), RowName());

struct RandomFieldCase {
    const char* name;
    Grid grid;
    WaveParameters parameters;
};

std::vector<float> RandomValues(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> values(count);
    for (float& v : values) v = value(generator);
    return values;
}

class WaveRandomFieldTest : public GlTest, public ::testing::WithParamInterface<RandomFieldCase> {};

TEST_P(WaveRandomFieldTest, MatchesTheClampedStencil) {
    const RandomFieldCase& c = GetParam();
    const std::vector<float> current = RandomValues(c.grid.Count(), 11);
    const std::vector<float> last = RandomValues(c.grid.Count(), 23);
    StepFixture fixture(c.grid, c.parameters);
    const std::vector<float> result = fixture.Step(current, last);

    const Field expected = ExplicitWaveStep(c.grid, Field(current.begin(), current.end()),
                                            Field(last.begin(), last.end()), PreFactorOf(c.parameters));
    const Deviation deviation = LargestDeviation(expected, result);
    EXPECT_LE(deviation.value, kRandomFieldTolerance)
        << "texel (" << deviation.index % c.grid.width << ", " << deviation.index / c.grid.width << ") reads "
        << result[deviation.index] << ", expected " << expected[deviation.index];
    // The inputs are only read.
    EXPECT_EQ(ReadValues(fixture.current), current);
    EXPECT_EQ(ReadValues(fixture.last), last);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WaveRandomFieldTest,
                         ::testing::Values(RandomFieldCase{"Demo", {512, 512}, kDemoParameters},
                                           RandomFieldCase{"FasterWaves", {64, 48}, {2.0f, 0.3f, 1.0f, 1.0f}},
                                           RandomFieldCase{"OddSize", {7, 5}, kDemoParameters},
                                           RandomFieldCase{"OneRow", {6, 1}, kDemoParameters},
                                           RandomFieldCase{"OnePoint", {1, 1}, {3.0f, 0.5f, 1.5f, 1.0f}}),
                         RowName());

GLint WrapModeOf(GLuint texture, GLenum coordinate) {
    glBindTexture(GL_TEXTURE_2D, texture);
    GLint mode = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, coordinate, &mode);
    return mode;
}

// Every other kernel samples the pooled textures with GL_REPEAT; the step's
// clamping must not leak into them.
TEST_F(WaveStepTest, RestoresRepeatWrapAndLeavesUnitZeroActive) {
    StepFixture fixture({16, 16}, kDemoParameters);
    glActiveTexture(GL_TEXTURE3);
    {
        FrameworkFramebufferScope framebuffer;
        fixture.surface.Step(&fixture.last, &fixture.current);
    }

    GLint activeUnit = 0;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &activeUnit);
    EXPECT_EQ(activeUnit, GL_TEXTURE0);
    for (UnpackedVector* input : {&fixture.current, &fixture.last}) {
        for (GLenum coordinate : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T})
            EXPECT_EQ(WrapModeOf(input->Texture(), coordinate), GL_REPEAT)
                << (input == &fixture.current ? "current" : "last") << ", "
                << (coordinate == GL_TEXTURE_WRAP_S ? "S" : "T");
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}

}  // namespace
}  // namespace app_test
