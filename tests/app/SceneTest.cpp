#include <GL/glew.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "AppTestSupport.h"
#include "app/Scene.h"
#include "app/WaveSurface.h"
#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"
#include "linalg/CgSolver.h"
#include "linalg/GpuScalar.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace app_test {
namespace {

// Builds and tears down a scene of its own in each test; whatever a failing
// test leaves behind is torn down here, and the harness's framework restored.
class SceneLifecycleTest : public GlTest {
protected:
    void TearDown() override {
        if (g_pSolver != nullptr) DestroyScene();
        if (g_resourcePool == nullptr) InitFramework();
        GlTest::TearDown();
    }
};

// Pooled textures keep their texels when handed back. Leaving the scene's
// sizes dirty in the pool means a scene that skipped clearing would read the
// leftovers instead of zeros.
void LeaveDirtyTexturesInThePool() {
    std::vector<std::unique_ptr<GpuVector>> vectors;
    for (int i = 0; i < 8; ++i) vectors.push_back(std::make_unique<UnpackedVector>(512, 512, 0));
    for (int i = 0; i < 16; ++i) vectors.push_back(std::make_unique<PackedVector>(512, 512, 0));
    const std::vector<float> dirt(512 * 512, 7.0f);
    for (auto& vector : vectors) vector->SetData(dirt.data());
}

std::vector<float> LightingUniform(const char* name) {
    const GLuint program = g_pLightingProgram->GetHandle();
    std::vector<float> value(4, -1.0f);
    glGetUniformfv(program, glGetUniformLocation(program, name), value.data());
    return value;
}

TEST_F(SceneLifecycleTest, InitSceneBuildsFlatWaterAndTheLightingUniforms) {
    LeaveDirtyTexturesInThePool();
    InitScene();

    EXPECT_EQ(g_iGridWidth, 512);
    EXPECT_EQ(g_iGridHeight, 512);
    EXPECT_EQ(g_pWaveSurface->PreFactor(), 0.045f);
    for (GpuVector* field : {static_cast<GpuVector*>(g_pHeightCurrent),
                             static_cast<GpuVector*>(g_pHeightLast), static_cast<GpuVector*>(g_pSolution)}) {
        const std::vector<float> values = ReadValues(*field);
        EXPECT_EQ(values.size(), kDemoGrid.Count());
        EXPECT_TRUE(TexelsNotZero(kDemoGrid, values).empty())
            << TexelsNotZero(kDemoGrid, values).size() << " values are not 0";
    }

    const std::vector<float> stepSize = LightingUniform("g_f2StepSize");
    EXPECT_EQ(stepSize[0], 0.001953125f);
    EXPECT_EQ(stepSize[1], 0.001953125f);
    GLint sampler = -1;
    glGetUniformiv(g_pLightingProgram->GetHandle(),
                   glGetUniformLocation(g_pLightingProgram->GetHandle(), "g_sVector"), &sampler);
    EXPECT_EQ(sampler, 0);
    EXPECT_TRUE(g_pLightingProgram->IsValid());
    EXPECT_TRUE(g_pDropProgram->IsValid());
}

// The explicit step of zeros is zero, and the solve of a zero right-hand side
// from a zero guess must stay exactly zero: its divisions are 0/0.
TEST_F(SceneLifecycleTest, FirstFramesWithoutDropsStayFlat) {
    InitScene();
    for (int frame = 0; frame < 3; ++frame) SimulationStep();
    for (GpuVector* field : {static_cast<GpuVector*>(g_pHeightCurrent),
                             static_cast<GpuVector*>(g_pHeightLast), static_cast<GpuVector*>(g_pSolution)})
        EXPECT_TRUE(TexelsNotZero(kDemoGrid, ReadValues(*field)).empty());
}

struct GlObjects {
    std::vector<GLuint> textures;
    std::vector<GLuint> framebuffers;
    std::vector<GLuint> programs;
};

GlObjects SceneGlObjects() {
    GlObjects objects;
    for (const TextureEntry& entry : g_resourcePool->Textures()) objects.textures.push_back(entry.texture);
    for (const FramebufferEntry& entry : g_resourcePool->Framebuffers())
        objects.framebuffers.push_back(entry.framebuffer);
    objects.programs = {g_pLightingProgram->GetHandle(), g_pDropProgram->GetHandle()};
    return objects;
}

TEST_F(SceneLifecycleTest, DestroySceneReleasesEverything) {
    InitScene();
    SimulationStep();  // the solver's scratch textures exist once it has run
    const GlObjects objects = SceneGlObjects();
    ASSERT_FALSE(objects.textures.empty());

    DestroyScene();

    EXPECT_EQ(g_pWaveSurface, nullptr);
    EXPECT_EQ(g_pSolution, nullptr);
    EXPECT_EQ(g_pRightHandSide, nullptr);
    EXPECT_EQ(g_pSolver, nullptr);
    EXPECT_EQ(g_pHeightLast, nullptr);
    EXPECT_EQ(g_pHeightCurrent, nullptr);
    EXPECT_EQ(g_pLightingProgram, nullptr);
    EXPECT_EQ(g_pDropProgram, nullptr);
    EXPECT_EQ(g_resourcePool, nullptr);
    EXPECT_EQ(g_frameworkFbo, 0u);
    EXPECT_EQ(WaveSurface::Instances(), 0);
    EXPECT_EQ(UnpackedVector::Instances(), 0);
    EXPECT_EQ(PackedVector::Instances(), 0);
    EXPECT_EQ(GpuScalar::Instances(), 0);
    for (GLuint texture : objects.textures) EXPECT_FALSE(glIsTexture(texture)) << "texture " << texture;
    for (GLuint framebuffer : objects.framebuffers)
        EXPECT_FALSE(glIsFramebufferEXT(framebuffer)) << "framebuffer " << framebuffer;
    for (GLuint program : objects.programs) EXPECT_FALSE(glIsProgram(program)) << "program " << program;
}

}  // namespace
}  // namespace app_test
