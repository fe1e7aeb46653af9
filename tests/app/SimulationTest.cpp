#include <GL/glew.h>

#include <GL/freeglut.h>

#include <array>
#include <map>
#include <memory>
#include <random>

#include "AppTestSupport.h"
#include "app/FrameLoop.h"
#include "app/SurfaceRenderer.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"

namespace app_test {
namespace {

using SceneLifecycleTest = GlTest;

// Pooled textures keep their texels when handed back: dirt of the scene's
// sizes left in the pool shows through if the scene skips clearing. The solve
// of a zero right-hand side from a zero guess divides 0 by 0 and must stay 0.
TEST_F(SceneLifecycleTest, InitSceneBuildsFlatWaterAndDestroySceneReleasesEverything) {
    {
        const std::vector<float> sevens(kCount, 7.0f);
        std::vector<std::unique_ptr<GpuVector>> dirty;
        for (int i = 0; i < 24; ++i) {
            dirty.push_back(i < 8 ? std::unique_ptr<GpuVector>(new UnpackedVector(kGrid, kGrid, 0))
                                  : std::make_unique<PackedVector>(kGrid, kGrid, 0));
            dirty.back()->SetData(sevens.data());
        }
    }
    InitScene();
    SimulationStep();
    for (GpuVector* field : SceneWater()) EXPECT_TRUE(NonZeroTexels(ReadValues(*field)).empty());
    std::vector<GLuint> textures, framebuffers;
    for (const TextureEntry& entry : g_resourcePool->Textures()) textures.push_back(entry.texture);
    for (const FramebufferEntry& entry : g_resourcePool->Framebuffers())
        framebuffers.push_back(entry.framebuffer);
    const GLuint programs[] = {g_pLightingProgram->GetHandle(), g_pDropProgram->GetHandle()};
    DestroyScene();
    EXPECT_TRUE(!g_pSolver && !g_pWaveSurface && !g_pHeightCurrent && !g_pLightingProgram && !g_pDropProgram);
    for (GLuint texture : textures) EXPECT_FALSE(glIsTexture(texture)) << texture;
    for (GLuint framebuffer : framebuffers) EXPECT_FALSE(glIsFramebufferEXT(framebuffer)) << framebuffer;
    for (GLuint program : programs) EXPECT_FALSE(glIsProgram(program)) << program;
    ASSERT_TRUE(InitFramework());  // for the suites that follow
}

using SimulationTest = SceneTest;

// Whole frames, the left button held for one frame at a time, against the host
// scheme: a frame steps, then drops into the new level. Each frame rounds every
// value a few dozen times in float and takes alpha and beta from float dot
// products over 262144 terms: llvmpipe ends 1.3e-5 off. A fault in the scheme
// or in the order of a frame is off by 1e-2 or more. The wave step clamps its
// inputs at the edges for its own pass only: the surface's lighting wraps.
TEST_F(SimulationTest, FramesWithPointerDropsMatchTheHostScheme) {
    const std::map<int, std::pair<int, int>> drops = {
        {0, {401, 299}}, {1, {1, 598}}, {2, {799, 230}}, {5, {313, 1}}, {12, {1, 599}}};
    host::WaveState water{Field(kCount), Field(kCount), Field(kCount)};
    for (int frame = 0; frame < 25; ++frame) {
        const auto drop = drops.find(frame);
        if (drop != drops.end()) Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, drop->second.first, drop->second.second);
        Display();
        Mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0);
        host::AdvanceFrame(kGrid, kGrid, 0.045f, water);
        if (drop == drops.end()) continue;
        const auto [x, y] = drop->second;  // a window pixel, y from the top, on the 512x512 grid
        water.current[size_t(int((1 - y / 600.0) * kGrid) * kGrid + x * kGrid / 800)] = kDropHeight;
    }
    const Field* expected[] = {&water.current, &water.last, &water.solution};
    for (int i = 0; i < 3; ++i)
        EXPECT_LE(MaxDeviation(*expected[i], ReadValues(*SceneWater()[i])), 1e-4) << i;
    for (UnpackedVector* level : {g_pHeightCurrent, g_pHeightLast}) {
        GLint wrap[2] = {};
        glBindTexture(GL_TEXTURE_2D, level->Texture());
        glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap[0]);
        glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &wrap[1]);
        EXPECT_TRUE(wrap[0] == GL_REPEAT && wrap[1] == GL_REPEAT) << "the wave step's clamping stayed";
    }
}

// A rough surface lit in the window against the lighting worked out here.
// With a 512x512 viewport the 64x64 test window shows texels 0 to 63 both ways,
// pixel centres on texel centres; the first row's and column's neighbours wrap.
TEST_F(SimulationTest, TheLitSurfaceFollowsItsSlopes) {
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> height(-0.3f, 0.3f);
    std::vector<float> heights(kCount);
    for (float& value : heights) value = height(generator);
    g_pHeightCurrent->SetData(heights.data());
    Reshape(512, 512);
    DrawSurface();
    std::vector<float> red(64 * 64);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, 64, 64, GL_RED, GL_FLOAT, red.data());
    using Vec = std::array<double, 3>;
    const auto unit = [](double x, double y, double z) {
        const double length = std::sqrt(x * x + y * y + z * z);
        return Vec{x / length, y / length, z / length};
    };
    const auto cosine = [](const Vec& a, const Vec& b) {
        return std::clamp(a[0] * b[0] + a[1] * b[1] + a[2] * b[2], 0.0, 1.0);
    };
    const auto h = [&](int x, int y) {
        return double(heights[size_t((y + kGrid) % kGrid * kGrid + (x + kGrid) % kGrid)]);
    };
    const Vec light = unit(0.2, 1.0, 0.5), half = unit(light[0], light[1] + 1, light[2]);
    Field expected(red.size());
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const Vec normal = unit(h(x, y - 1) - h(x, y + 1), 2.0, h(x - 1, y) - h(x + 1, y));
            const Vec toLight = unit(light[0] - (x + 0.5) / kGrid + 0.5, light[1] - h(x, y),
                                     light[2] - (y - 0.5) / kGrid + 0.5);
            expected[size_t(y * 64 + x)] =
                std::min(1.0, 0.4 * cosine(toLight, normal) + std::pow(cosine(half, normal), 32));
        }
    EXPECT_LE(MaxDeviation(expected, red), 1.01 / 255);  // the window's 8 bits
}

}  // namespace
}  // namespace app_test
