#include "AppTestSupport.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {

namespace {

// neighbour * (sum of the four neighbours) + centre * u, where a neighbour
// outside the grid reads the nearest edge point, or 0 when not clamped.
Field Stencil(const Grid& grid, const Field& u, double neighbour, double centre, bool clamped) {
    Field result(grid.Count());
    const auto at = [&](int x, int y) {
        if (clamped)
            return u[grid.Index(std::clamp(x, 0, grid.width - 1), std::clamp(y, 0, grid.height - 1))];
        return x >= 0 && x < grid.width && y >= 0 && y < grid.height ? u[grid.Index(x, y)] : 0.0;
    };
    for (int y = 0; y < grid.height; ++y)
        for (int x = 0; x < grid.width; ++x)
            result[grid.Index(x, y)] =
                neighbour * (at(x + 1, y) + at(x - 1, y) + at(x, y + 1) + at(x, y - 1)) + centre * at(x, y);
    return result;
}

// The implicit half's matrix: (1 + 4p) x - p * (the neighbours inside the grid).
Field ApplyWaveSystem(const Grid& grid, const Field& x, double p) {
    return Stencil(grid, x, -p, 1 + 4 * p, false);
}

double Dot(const Field& a, const Field& b) { return std::inner_product(a.begin(), a.end(), b.begin(), 0.0); }

}  // namespace

Field ExplicitWaveStep(const Grid& grid, const Field& current, const Field& last, double p) {
    Field result = Stencil(grid, current, p, 2 - 4 * p, true);
    for (size_t n = 0; n < result.size(); ++n) result[n] -= last[n];
    return result;
}

// A step is zero wherever a denominator is 0, as on the GPU.
void AdvanceFrame(const Grid& grid, double p, WaveState& state) {
    const Field b = ExplicitWaveStep(grid, state.current, state.last, p);
    Field& x = state.solution;
    Field r = ApplyWaveSystem(grid, x, p);
    for (size_t n = 0; n < r.size(); ++n) r[n] = b[n] - r[n];
    Field direction = r;
    double rho = Dot(r, r);
    for (int iteration = 0; iteration < 2; ++iteration) {
        const Field q = ApplyWaveSystem(grid, direction, p);
        const double pq = Dot(direction, q), alpha = pq == 0.0 ? 0.0 : rho / pq;
        for (size_t n = 0; n < x.size(); ++n) {
            x[n] += alpha * direction[n];
            r[n] -= alpha * q[n];
        }
        const double rhoNew = Dot(r, r), beta = rho == 0.0 ? 0.0 : rhoNew / rho;
        for (size_t n = 0; n < direction.size(); ++n) direction[n] = r[n] + beta * direction[n];
        rho = rhoNew;
    }
    state.last = state.current;
    state.current = x;
}

std::vector<float> ReadValues(GpuVector& vector) {
    GLint bound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &bound);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo);
    std::vector<float> values(static_cast<size_t>(vector.Size()));
    vector.GetData(values.data());
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, 0, 0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(bound));
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
