#include "AppTestSupport.h"

#include <algorithm>
#include <cmath>

#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {

namespace {

double Dot(const Field& a, const Field& b) {
    double sum = 0.0;
    for (size_t n = 0; n < a.size(); ++n) sum += a[n] * b[n];
    return sum;
}

// a + factor * b, into a
void AddScaled(Field& a, double factor, const Field& b) {
    for (size_t n = 0; n < a.size(); ++n) a[n] += factor * b[n];
}

int Clamp(int value, int last) { return std::min(std::max(value, 0), last); }

}  // namespace

Field ExplicitWaveStep(const Grid& grid, const Field& current, const Field& last, double p) {
    Field result(grid.Count());
    const auto at = [&](int x, int y) {
        return current[grid.Index(Clamp(x, grid.width - 1), Clamp(y, grid.height - 1))];
    };
    for (int y = 0; y < grid.height; ++y) {
        for (int x = 0; x < grid.width; ++x) {
            const double neighbours = at(x + 1, y) + at(x - 1, y) + at(x, y + 1) + at(x, y - 1);
            result[grid.Index(x, y)] = p * neighbours + (2.0 - 4.0 * p) * at(x, y) - last[grid.Index(x, y)];
        }
    }
    return result;
}

Field ApplyWaveSystem(const Grid& grid, const Field& x, double p) {
    Field result(grid.Count());
    const auto at = [&](int i, int j) {
        const bool inside = i >= 0 && i < grid.width && j >= 0 && j < grid.height;
        return inside ? x[grid.Index(i, j)] : 0.0;
    };
    for (int j = 0; j < grid.height; ++j) {
        for (int i = 0; i < grid.width; ++i) {
            const double neighbours = at(i + 1, j) + at(i - 1, j) + at(i, j + 1) + at(i, j - 1);
            result[grid.Index(i, j)] = (1.0 + 4.0 * p) * at(i, j) - p * neighbours;
        }
    }
    return result;
}

void ConjugateGradients(const Grid& grid, const Field& b, double p, int iterations, Field& x) {
    Field r = b;
    AddScaled(r, -1.0, ApplyWaveSystem(grid, x, p));
    Field direction = r;
    double rho = Dot(r, r);
    for (int k = 0; k < iterations; ++k) {
        const Field q = ApplyWaveSystem(grid, direction, p);
        const double pAp = Dot(direction, q);
        const double alpha = pAp == 0.0 ? 0.0 : rho / pAp;
        AddScaled(x, alpha, direction);
        AddScaled(r, -alpha, q);
        const double rhoNew = Dot(r, r);
        const double beta = rho == 0.0 ? 0.0 : rhoNew / rho;
        for (size_t n = 0; n < direction.size(); ++n) direction[n] = r[n] + beta * direction[n];
        rho = rhoNew;
    }
}

void AdvanceFrame(const Grid& grid, double p, WaveState& state) {
    const Field rightHandSide = ExplicitWaveStep(grid, state.current, state.last, p);
    ConjugateGradients(grid, rightHandSide, p, 2, state.solution);
    state.last = state.current;
    state.current = state.solution;
}

// Leaves the framebuffer binding as it found it, so that it can sit inside a
// render-to-texture bracket as well as outside one.
std::vector<float> ReadValues(GpuVector& vector) {
    GLint boundFramebuffer = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &boundFramebuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo);
    std::vector<float> values(static_cast<size_t>(vector.Size()));
    vector.GetData(values.data());
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, 0, 0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(boundFramebuffer));
    return values;
}

void UploadValues(UnpackedVector& vector, const std::vector<float>& values) { vector.SetData(values.data()); }

std::vector<float> ToFloat(const Field& field) { return std::vector<float>(field.begin(), field.end()); }

std::vector<Texel> TexelsNotZero(const Grid& grid, const std::vector<float>& values) {
    std::vector<Texel> texels;
    for (int y = 0; y < grid.height; ++y)
        for (int x = 0; x < grid.width; ++x)
            if (values[grid.Index(x, y)] != 0.0f) texels.push_back({x, y});
    return texels;
}

double MaxAbs(const std::vector<float>& values) {
    double largest = 0.0;
    for (float v : values) largest = std::max(largest, std::fabs(static_cast<double>(v)));
    return largest;
}

bool AllFinite(const std::vector<float>& values) {
    return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

Deviation LargestDeviation(const Field& expected, const std::vector<float>& actual) {
    Deviation largest;
    for (size_t n = 0; n < expected.size(); ++n) {
        const double deviation = std::fabs(expected[n] - static_cast<double>(actual[n]));
        if (std::isnan(deviation)) return {n, deviation};
        if (deviation > largest.value) largest = {n, deviation};
    }
    return largest;
}

void ClearSceneWater() {
    FrameworkFramebufferScope framebuffer;
    g_pHeightLast->Fill(0.0f);
    g_pSolution->Fill(0.0f);
    g_pHeightCurrent->Fill(0.0f);
}

void ResetInputAndWindow() {
    for (int& button : g_aiMouseButton) button = 0;
    g_iMouseX = 0;
    g_iMouseY = 0;
    g_bRandomDrops = false;
    g_iDropFrame = 0;
    g_iWindowWidth = 800;
    g_iWindowHeight = 600;
    g_fAspect = 0.0f;
}

void SceneTest::SetUpTestSuite() { InitScene(); }

// Later suites expect the framework the test harness initialised.
void SceneTest::TearDownTestSuite() {
    DestroyScene();
    InitFramework();
}

void SceneTest::SetUp() {
    ResetInputAndWindow();
    ClearSceneWater();
}

}  // namespace app_test
