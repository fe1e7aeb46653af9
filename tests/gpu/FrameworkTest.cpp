#include <memory>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ResourcePool.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

namespace {

TextureDesc FloatDesc(int width, int height) { return {width, height, GL_RGBA32F_ARB, GL_TEXTURE_2D}; }

class ResourcePoolTest : public GlTest {
protected:
    GpuResourcePool pool;
};

// First fit from index 0, and a free entry is handed out again without any GL
// call; framebuffers likewise. Only an equal description fits an entry.
TEST_F(ResourcePoolTest, ReusesTheLowestFreeEntryOfAnEqualDescription) {
    GLuint textures[3] = {}, framebuffers[2] = {}, texture = 0, framebuffer = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pool.AcquireTexture(FloatDesc(8, 4), textures[i]), i);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(pool.AcquireFramebuffer(framebuffers[i]), i);
    EXPECT_TRUE(glIsTexture(textures[0]) && glIsTexture(textures[1]) && framebuffers[0] != 0);
    EXPECT_NE(textures[0], textures[1]);
    EXPECT_NE(framebuffers[0], framebuffers[1]);
    pool.ReleaseTexture(2);
    pool.ReleaseTexture(1);
    pool.ReleaseFramebuffer(0);

    GlCallCounter calls;
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(8, 4), texture), 1);
    EXPECT_EQ(texture, textures[1]);
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(8, 4), texture), 2);
    EXPECT_EQ(texture, textures[2]);
    EXPECT_EQ(pool.AcquireFramebuffer(framebuffer), 0);
    EXPECT_EQ(framebuffer, framebuffers[0]);
    EXPECT_EQ(calls.Counts().Total(), 0);

    pool.ReleaseTexture(0);
    EXPECT_EQ(pool.AcquireTexture({8, 4, GL_RGBA8, GL_TEXTURE_2D}, texture), 3);
    EXPECT_EQ(pool.AcquireTexture({8, 4, GL_RGBA32F_ARB, GL_TEXTURE_1D_ARRAY_EXT}, texture), 4);
}

TEST_F(ResourcePoolTest, CreatesANearestFilteredRepeatingTextureAndLeavesTextureZeroBound) {
    GLuint unrelated = 0, texture = 0;
    glGenTextures(1, &unrelated);
    glBindTexture(GL_TEXTURE_2D, unrelated);
    pool.AcquireTexture(FloatDesc(8, 2), texture);
    GLint bound = -1;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(bound, 0);

    glBindTexture(GL_TEXTURE_2D, texture);
    GLint values[7] = {};
    const GLenum names[] = {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER, GL_TEXTURE_WRAP_S,
                            GL_TEXTURE_WRAP_T};
    for (int i = 0; i < 4; ++i) glGetTexParameteriv(GL_TEXTURE_2D, names[i], &values[i]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &values[4]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &values[5]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &values[6]);
    EXPECT_EQ(std::vector<GLint>(values, values + 7),
              (std::vector<GLint>{GL_NEAREST, GL_NEAREST, GL_REPEAT, GL_REPEAT, 8, 2, GL_RGBA32F_ARB}));
    glBindTexture(GL_TEXTURE_2D, 0);
    glDeleteTextures(1, &unrelated);
}

// A render-target exchange: the holder of `held` keeps the scratch texture and
// gives its old one back under the scratch entry.
TEST_F(ResourcePoolTest, AReturnedTextureIsWhatTheEntryHandsOutNext) {
    GLuint heldTexture = 0, scratchTexture = 0, next = 0;
    const int held = pool.AcquireTexture(FloatDesc(4, 2), heldTexture);
    const int scratch = pool.AcquireTexture(FloatDesc(4, 2), scratchTexture);
    GlCallCounter calls;
    pool.ReturnTexture(scratch, heldTexture);
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(4, 2), next), scratch);
    EXPECT_EQ(next, heldTexture);
    EXPECT_TRUE(pool.Textures()[held].used);
    EXPECT_EQ(calls.Counts().Total(), 0);
}

TEST_F(ResourcePoolTest, DestroyingThePoolDeletesEveryTextureAndFramebuffer) {
    auto doomed = std::make_unique<GpuResourcePool>();
    GLuint used = 0, released = 0, framebuffer = 0;
    doomed->AcquireTexture(FloatDesc(2, 2), used);
    doomed->ReleaseTexture(doomed->AcquireTexture(FloatDesc(2, 2), released));
    doomed->AcquireFramebuffer(framebuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer);  // a name becomes an object once bound
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    doomed.reset();
    EXPECT_FALSE(glIsTexture(used) || glIsTexture(released) || glIsFramebufferEXT(framebuffer));
}

// The first round runs on an empty pool, which has no storage at all: any
// write through a bad index faults there.
TEST_F(ResourcePoolTest, IndicesNeverAcquiredAreIgnored) {
    GLuint texture = 0;
    for (int index : {0, -1, 1, 1000}) {
        EXPECT_DEBUG_DEATH(pool.ReleaseTexture(index), "");
        EXPECT_DEBUG_DEATH(pool.ReturnTexture(index, 7), "");
        EXPECT_DEBUG_DEATH(pool.ReleaseFramebuffer(index), "");
        if (index == 0) pool.AcquireTexture(FloatDesc(2, 2), texture);
    }
    ASSERT_EQ(pool.Textures().size(), 1u);
    EXPECT_TRUE(pool.Textures()[0].used);
    EXPECT_EQ(pool.Textures()[0].texture, texture);
}

// main initialised the framework; the test leaves it initialised again.
TEST_F(GlTest, InitialisingTwiceKeepsOnePoolAndShutdownUndoesInitialisation) {
    GpuResourcePool* const pool = g_resourcePool;
    const GLuint framebuffer = g_frameworkFbo;
    StdoutCapture output;
    EXPECT_TRUE(InitFramework());
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(g_resourcePool, pool);
    EXPECT_EQ(g_frameworkFbo, framebuffer);
    EXPECT_EQ(pool->Framebuffers().size(), 1u);

    GLuint texture = 0;
    pool->AcquireTexture(TextureDesc{2, 2}, texture);
    GlCallCounter calls;
    ShutdownFramework();
    EXPECT_EQ(calls.Counts().deleteFramebuffers, 1);
    EXPECT_FALSE(glIsTexture(texture));
    GlCallCounter secondShutdown;
    ShutdownFramework();
    EXPECT_EQ(secondShutdown.Counts().Total(), 0);
    EXPECT_EQ(g_resourcePool, nullptr);
    EXPECT_EQ(g_frameworkFbo, 0u);

    ASSERT_TRUE(InitFramework());
    ASSERT_EQ(g_resourcePool->Framebuffers().size(), 1u);
    EXPECT_TRUE(g_resourcePool->Framebuffers()[0].used);
    EXPECT_EQ(g_resourcePool->Framebuffers()[0].framebuffer, g_frameworkFbo);
    EXPECT_EQ(g_frameworkFboIndex, 0);
    EXPECT_TRUE(g_resourcePool->Textures().empty());
}

// A refusal reaches the handler set, and standard error again once it is reset.
TEST_F(GlTest, RefusalsGoToTheHandlerSetOrToStandardError) {
    {
        RefusalRecorder refusals;
        EXPECT_FALSE(Refuse("Call", "reason %d", 7));
        EXPECT_EQ(refusals.Take(), "Call: reason 7\n");
    }
    ::testing::internal::CaptureStderr();
    Refuse("Call", "again");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Call: again\n");
}

TEST_F(GlTest, AnIncompleteFramebufferIsReportedOnce) {
    FrameworkFramebufferScope framebuffer;
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, 0, 0);
    StdoutCapture output;
    EXPECT_FALSE(CheckFramebufferStatus());
    EXPECT_EQ(output.Text(), "Framebuffer incomplete, missing attachment\n");
    EXPECT_STREQ(FramebufferStatusMessage(0), "Unknown framebuffer error\n");
    EXPECT_STREQ(FramebufferStatusMessage(GL_FRAMEBUFFER_COMPLETE_EXT + 0x100),
                 "Unknown framebuffer error\n");
}

}  // namespace
