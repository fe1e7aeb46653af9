#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstdlib>
#include <memory>

#include "AppTestSupport.h"
#include "app/FrameLoop.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/WaveSurface.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"
#include "linalg/GpuScalar.h"
#include "linalg/PackedVector.h"

namespace app_test {
namespace {

using SceneLifecycleTest = GlTest;

// Pooled textures keep their texels when handed back: dirt of the scene's
// sizes left in the pool shows through if the scene skips clearing.
TEST_F(SceneLifecycleTest, InitSceneBuildsFlatWaterAndDestroySceneReleasesEverything) {
    {
        std::vector<std::unique_ptr<GpuVector>> dirty;
        for (int i = 0; i < 8; ++i) dirty.push_back(std::make_unique<UnpackedVector>(512, 512, 0));
        for (int i = 0; i < 16; ++i) dirty.push_back(std::make_unique<PackedVector>(512, 512, 0));
        const std::vector<float> sevens(kDemoGrid.Count(), 7.0f);
        for (auto& vector : dirty) vector->SetData(sevens.data());
    }
    InitScene();
    EXPECT_EQ(g_pWaveSurface->PreFactor(), 0.045f);
    for (GpuVector* field : SceneWater()) EXPECT_TRUE(NonZeroTexels(kDemoGrid, ReadValues(*field)).empty());
    // The solve of a zero right-hand side from a zero guess divides 0 by 0:
    // it must stay exactly zero all the same.
    SimulationStep();
    SimulationStep();
    for (GpuVector* field : SceneWater()) EXPECT_TRUE(NonZeroTexels(kDemoGrid, ReadValues(*field)).empty());
    const GLuint lighting = g_pLightingProgram->GetHandle();
    GLfloat stepSize[4] = {};
    glGetUniformfv(lighting, glGetUniformLocation(lighting, "g_f2StepSize"), stepSize);
    EXPECT_EQ(stepSize[0], 1.0f / 512);
    EXPECT_EQ(stepSize[1], 1.0f / 512);

    std::vector<GLuint> textures, framebuffers;
    for (const TextureEntry& entry : g_resourcePool->Textures()) textures.push_back(entry.texture);
    for (const FramebufferEntry& entry : g_resourcePool->Framebuffers())
        framebuffers.push_back(entry.framebuffer);
    const GLuint programs[] = {lighting, g_pDropProgram->GetHandle()};
    DestroyScene();
    for (const void* object : std::initializer_list<const void*>{
             g_pWaveSurface, g_pSolution, g_pRightHandSide, g_pSolver, g_pHeightLast, g_pHeightCurrent,
             g_pLightingProgram, g_pDropProgram, g_resourcePool})
        EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_frameworkFbo, 0u);
    EXPECT_EQ(WaveSurface::Instances() + UnpackedVector::Instances() + PackedVector::Instances() +
                  GpuScalar::Instances(),
              0);
    for (GLuint texture : textures) EXPECT_FALSE(glIsTexture(texture)) << texture;
    for (GLuint framebuffer : framebuffers) EXPECT_FALSE(glIsFramebufferEXT(framebuffer)) << framebuffer;
    for (GLuint program : programs) EXPECT_FALSE(glIsProgram(program)) << program;
    ASSERT_TRUE(InitFramework());  // for the suites that follow
}

using SimulationTest = SceneTest;

// Every frame rounds each value a few dozen times in float and takes alpha and
// beta from dot products over 262144 terms summed in float; the scheme damps
// these errors, and llvmpipe ends these 30 frames 1.3e-5 off. A fault in the
// scheme (a CG iteration more or less, a lost warm start, a wrong edge rule)
// is off by 1e-2 or more.
TEST_F(SimulationTest, FramesFromDropsMatchTheHostScheme) {
    struct Drop {
        int frame, x, y;
    };
    const Drop drops[] = {{0, 256, 256}, {0, 1, 2}, {0, 511, 300}, {5, 200, 511}, {12, 0, 0}, {20, 230, 290}};
    Reshape(640, 0);  // the simulation sets its own viewports
    WaveState host{Field(kDemoGrid.Count()), Field(kDemoGrid.Count()), Field(kDemoGrid.Count())};
    for (int frame = 0; frame < 30; ++frame) {
        for (const Drop& drop : drops) {
            if (drop.frame != frame) continue;
            AddDrop((drop.x + 0.5f) / kDemoGrid.width, (drop.y + 0.5f) / kDemoGrid.height);
            host.current[kDemoGrid.Index(drop.x, drop.y)] = kDropHeight;
        }
        SimulationStep();
        AdvanceFrame(kDemoGrid.width, kDemoGrid.height, 0.045f, host);
    }
    const Field* expected[] = {&host.current, &host.last, &host.solution};
    for (int i = 0; i < 3; ++i) {
        size_t where = 0;
        EXPECT_LE(MaxDeviation(*expected[i], ReadValues(*SceneWater()[i]), &where), 1e-4)
            << "field " << i << " at (" << where % kDemoGrid.width << ", " << where / kDemoGrid.width << ")";
    }
    EXPECT_GT(NonZeroTexels(kDemoGrid, ReadValues(*g_pHeightCurrent)).size(), 5000u)
        << "the waves should spread";
}

// Whole frames of the demo with random drops all along and the left button
// held near an edge for a while. A stable scheme only redistributes what the
// drops put in, so interfering crests stay below twice a drop; an instability
// grows geometrically and passes any such bound within a few dozen frames.
TEST_F(SimulationTest, LongRunWithRandomDropsStaysFiniteAndBounded) {
    std::srand(2024);
    Keyboard(' ', 0, 0);
    for (int frame = 1; frame <= 500; ++frame) {
        if (frame == 100) Mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 3, 300);
        if (frame == 200) Mouse(GLUT_LEFT_BUTTON, GLUT_UP, 3, 300);
        Display();
        if (frame % 100 != 0) continue;
        for (GpuVector* field : SceneWater())
            ASSERT_LE(MaxDeviation(Field(kDemoGrid.Count()), ReadValues(*field)), 2 * kDropHeight) << frame;
    }
    EXPECT_EQ(g_iDropFrame, 500);
    EXPECT_GT(NonZeroTexels(kDemoGrid, ReadValues(*g_pHeightCurrent)).size(), kDemoGrid.Count() / 2);
}

}  // namespace
}  // namespace app_test
