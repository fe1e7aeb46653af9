#include <algorithm>
#include <random>

#include "AppTestSupport.h"
#include "app/WaveSurface.h"

namespace app_test {
namespace {

// A kernel result from a handful of float operations on values below 10 is
// off by a few units in the last place (1e-6 each); a wrong coefficient or
// lookup is off by far more.
constexpr double kTolerance = 4e-6;

// A wave surface with its two inputs, all of one size.
struct WaveStep {
    WaveSurface surface;
    UnpackedVector current, last;

    WaveStep(const Grid& g, float speed)
        : surface(g.width, g.height, 0), current(g.width, g.height, 0), last(g.width, g.height, 0) {
        surface.SetParameters(speed, 0.3f, 1.0f, 1.0f);
    }
    std::vector<float> Run(const std::vector<float>& currentValues, const std::vector<float>& lastValues) {
        current.SetData(currentValues.data());
        last.SetData(lastValues.data());
        FrameworkFramebufferScope framebuffer;
        surface.Step(&last, &current);
        return ReadValues(surface);
    }
};

using WaveTest = GlTest;

TEST_F(WaveTest, PreFactorIsSpeedSquaredTimeStepSquaredOverTwiceTheCellArea) {
    WaveSurface surface(4, 4, 0);
    surface.SetParameters(1.0f, 0.3f, 1.0f, 1.0f);
    EXPECT_EQ(surface.PreFactor(), 0.045f);
    surface.SetParameters(2.0f, 0.3f, 1.0f, 1.0f);
    EXPECT_EQ(surface.PreFactor(), 0.18f);
    surface.SetParameters(3.0f, 0.5f, 1.5f, 1.0f);
    EXPECT_EQ(surface.PreFactor(), 0.75f);
}

// A height of 5 at one point, nothing before: 1.82 * 5 = 9.1 at the point and
// 0.045 * 5 = 0.225 at each neighbour; a neighbour missing at an edge reads
// the point itself and adds another 0.225 there. Water at rest (current =
// last) stays put everywhere, edges included.
TEST_F(WaveTest, StepOfNamedFields) {
    struct Case {
        int x, y;        // where the spike is, or -1 for a uniform field
        float level;     // of the spike or the uniform field
        double atPoint;  // the spike's new value
    };
    const Grid& g = kDemoGrid;
    WaveStep step(g, 1.0f);
    for (const Case& c : {Case{-1, -1, 0.0f, 0}, Case{-1, -1, 0.75f, 0}, Case{256, 256, 5.0f, 9.1},
                          Case{0, 300, 5.0f, 9.325}, Case{511, 511, 5.0f, 9.55}}) {
        SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << " level " << c.level);
        std::vector<float> current(g.Count(), c.x < 0 ? c.level : 0.0f);
        Field expected(current.begin(), current.end());
        if (c.x >= 0) {
            current[g.Index(c.x, c.y)] = c.level;
            expected[g.Index(c.x, c.y)] = c.atPoint;
            for (auto [dx, dy] : std::initializer_list<std::pair<int, int>>{{1, 0}, {-1, 0}, {0, 1}, {0, -1}})
                if (c.x + dx >= 0 && c.x + dx < g.width && c.y + dy >= 0 && c.y + dy < g.height)
                    expected[g.Index(c.x + dx, c.y + dy)] = 0.225;
        }
        const std::vector<float> result =
            step.Run(current, c.x < 0 ? current : std::vector<float>(g.Count()));
        size_t where = 0;
        EXPECT_LE(MaxDeviation(expected, result, &where), kTolerance)
            << "at " << where << ": " << result[where];
        // Exactly zero away from the stencil: no wrap to the opposite edge.
        EXPECT_EQ(NonZeroTexels(g, result).size(),
                  static_cast<size_t>(
                      std::count_if(expected.begin(), expected.end(), [](double v) { return v != 0; })));
    }
}

TEST_F(WaveTest, StepOfRandomFieldsMatchesTheClampedStencil) {
    std::mt19937 generator(11);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const auto& [grid, speed] : {std::pair{kDemoGrid, 1.0f}, std::pair{Grid{7, 5}, 2.0f}}) {
        std::vector<float> current(grid.Count()), last(grid.Count());
        for (size_t n = 0; n < grid.Count(); ++n) current[n] = value(generator), last[n] = value(generator);
        WaveStep step(grid, speed);
        const std::vector<float> result = step.Run(current, last);
        const Field expected = ExplicitWaveStep(grid.width, grid.height, Field(current.begin(), current.end()),
                                                Field(last.begin(), last.end()), step.surface.PreFactor());
        size_t where = 0;
        EXPECT_LE(MaxDeviation(expected, result, &where), kTolerance)
            << grid.width << "x" << grid.height << " at " << where << ": " << result[where];
        EXPECT_EQ(ReadValues(step.current), current) << "the inputs are only read";
    }
}

// Every other kernel samples the pooled textures with GL_REPEAT; the step's
// clamping must not leak into them.
TEST_F(WaveTest, StepRestoresRepeatWrapAndLeavesUnitZeroActive) {
    WaveStep step({16, 16}, 1.0f);
    glActiveTexture(GL_TEXTURE3);
    step.Run(std::vector<float>(256), std::vector<float>(256));
    GLint unit = 0;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
    EXPECT_EQ(unit, GL_TEXTURE0);
    for (UnpackedVector* input : {&step.current, &step.last}) {
        glBindTexture(GL_TEXTURE_2D, input->Texture());
        GLint wrap[2] = {};
        glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap[0]);
        glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &wrap[1]);
        EXPECT_TRUE(wrap[0] == GL_REPEAT && wrap[1] == GL_REPEAT)
            << (input == &step.current ? "current" : "last");
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}

}  // namespace
}  // namespace app_test
