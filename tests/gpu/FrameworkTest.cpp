#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

namespace {

// main initialised the framework for every test; these tests take it down and
// leave it initialised again for the ones that follow.
class FrameworkTest : public GlTest {
protected:
    void TearDown() override {
        if (g_resourcePool == nullptr) {
            ASSERT_TRUE(InitFramework());
        }
        GlTest::TearDown();
    }

    static void ExpectOneUsedFrameworkFramebuffer() {
        ASSERT_NE(g_resourcePool, nullptr);
        const std::vector<FramebufferEntry>& framebuffers = g_resourcePool->Framebuffers();
        ASSERT_EQ(framebuffers.size(), 1u);
        EXPECT_TRUE(framebuffers[0].used);
        EXPECT_NE(g_frameworkFbo, 0u);
        EXPECT_EQ(framebuffers[0].framebuffer, g_frameworkFbo);
        EXPECT_EQ(g_frameworkFboIndex, 0);
    }
};

TEST_F(FrameworkTest, InitialisingAgainKeepsThePoolAndItsOneFramebuffer) {
    ExpectOneUsedFrameworkFramebuffer();
    GpuResourcePool* const pool = g_resourcePool;
    const GLuint framebuffer = g_frameworkFbo;

    StdoutCapture output;
    EXPECT_TRUE(InitFramework());
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(g_resourcePool, pool);
    EXPECT_EQ(g_frameworkFbo, framebuffer);
    ExpectOneUsedFrameworkFramebuffer();
}

TEST_F(FrameworkTest, ShutdownDeletesThePooledObjectsAndLeavesNothingBehind) {
    GLuint texture = 0;
    g_resourcePool->AcquireTexture(TextureDesc{2, 2}, texture);
    ASSERT_TRUE(glIsTexture(texture));

    GlCallCounter calls;
    ShutdownFramework();
    EXPECT_EQ(g_resourcePool, nullptr);
    EXPECT_EQ(g_frameworkFbo, 0u);
    EXPECT_FALSE(glIsTexture(texture));
    EXPECT_EQ(calls.Counts().deleteFramebuffers, 1);
}

TEST_F(FrameworkTest, ShutdownWhenNotInitialisedDoesNothing) {
    ShutdownFramework();
    GlCallCounter calls;
    ShutdownFramework();
    EXPECT_EQ(g_resourcePool, nullptr);
    EXPECT_EQ(g_frameworkFbo, 0u);
    EXPECT_EQ(calls.Counts().Total(), 0);
}

TEST_F(FrameworkTest, InitialisingAfterShutdownStartsAFreshPool) {
    GLuint texture = 0;
    g_resourcePool->AcquireTexture(TextureDesc{2, 2}, texture);
    ShutdownFramework();

    ASSERT_TRUE(InitFramework());
    ExpectOneUsedFrameworkFramebuffer();
    EXPECT_TRUE(g_resourcePool->Textures().empty());
}

}  // namespace
