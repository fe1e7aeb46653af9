#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

#include <memory>

namespace {

TextureDesc FloatDesc(int width, int height) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.internalFormat = GL_RGBA32F_ARB;
    return desc;
}

GLint TextureParameter(GLenum name) {
    GLint value = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
    return value;
}

GLint LevelParameter(GLenum name) {
    GLint value = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, name, &value);
    return value;
}

GLint BoundTexture2d() {
    GLint texture = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
    return texture;
}

class ResourcePoolTest : public GlTest {
protected:
    GpuResourcePool pool;
};

TEST_F(ResourcePoolTest, ReusesAFreeEntryOfAnEqualDescriptionWithoutAnyGlCall) {
    GLuint first = 0;
    const int index = pool.AcquireTexture(FloatDesc(8, 4), first);
    pool.ReleaseTexture(index);

    GlCallCounter calls;
    GLuint again = 0;
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(8, 4), again), index);
    EXPECT_EQ(again, first);
    EXPECT_EQ(calls.Counts().Total(), 0);
}

TEST_F(ResourcePoolTest, AcquisitionsWithoutReleaseGetEntriesAndTexturesOfTheirOwn) {
    GLuint first = 0, second = 0;
    const int firstIndex = pool.AcquireTexture(FloatDesc(4, 4), first);
    const int secondIndex = pool.AcquireTexture(FloatDesc(4, 4), second);

    EXPECT_EQ(firstIndex, 0);
    EXPECT_EQ(secondIndex, 1);
    EXPECT_NE(first, second);
    EXPECT_TRUE(glIsTexture(first));
    EXPECT_TRUE(glIsTexture(second));
}

// First fit from index 0, so released entries are taken lowest first.
TEST_F(ResourcePoolTest, TakesTheLowestFreeEntryOfTheDescription) {
    GLuint textures[3] = {};
    for (GLuint& texture : textures) pool.AcquireTexture(FloatDesc(2, 2), texture);
    pool.ReleaseTexture(2);
    pool.ReleaseTexture(1);

    GLuint texture = 0;
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(2, 2), texture), 1);
    EXPECT_EQ(texture, textures[1]);
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(2, 2), texture), 2);
    EXPECT_EQ(texture, textures[2]);
}

TEST_F(ResourcePoolTest, CreatesANearestFilteredRepeatingTextureOfTheDescription) {
    GLuint texture = 0;
    pool.AcquireTexture(FloatDesc(8, 2), texture);

    glBindTexture(GL_TEXTURE_2D, texture);
    EXPECT_EQ(TextureParameter(GL_TEXTURE_MIN_FILTER), GL_NEAREST);
    EXPECT_EQ(TextureParameter(GL_TEXTURE_MAG_FILTER), GL_NEAREST);
    EXPECT_EQ(TextureParameter(GL_TEXTURE_WRAP_S), GL_REPEAT);
    EXPECT_EQ(TextureParameter(GL_TEXTURE_WRAP_T), GL_REPEAT);
    EXPECT_EQ(LevelParameter(GL_TEXTURE_WIDTH), 8);
    EXPECT_EQ(LevelParameter(GL_TEXTURE_HEIGHT), 2);
    EXPECT_EQ(LevelParameter(GL_TEXTURE_INTERNAL_FORMAT), GL_RGBA32F_ARB);
    glBindTexture(GL_TEXTURE_2D, 0);
}

TEST_F(ResourcePoolTest, CreatingATextureLeavesNoTextureBound) {
    GLuint unrelated = 0;
    glGenTextures(1, &unrelated);
    glBindTexture(GL_TEXTURE_2D, unrelated);

    GLuint texture = 0;
    pool.AcquireTexture(FloatDesc(2, 2), texture);
    EXPECT_EQ(BoundTexture2d(), 0);
    glDeleteTextures(1, &unrelated);
}

// A render-target exchange: the holder of entry `held` keeps the scratch
// texture and gives its old texture back under the scratch entry.
TEST_F(ResourcePoolTest, AReturnedTextureIsWhatTheEntryHandsOutNext) {
    GLuint heldTexture = 0, scratchTexture = 0;
    const int held = pool.AcquireTexture(FloatDesc(4, 2), heldTexture);
    const int scratch = pool.AcquireTexture(FloatDesc(4, 2), scratchTexture);

    GlCallCounter calls;
    pool.ReturnTexture(scratch, heldTexture);
    GLuint next = 0;
    EXPECT_EQ(pool.AcquireTexture(FloatDesc(4, 2), next), scratch);
    EXPECT_EQ(next, heldTexture);
    EXPECT_EQ(calls.Counts().Total(), 0);
    EXPECT_TRUE(pool.Textures()[held].used);
}

TEST_F(ResourcePoolTest, DestroyingThePoolDeletesTexturesStillInUse) {
    auto doomed = std::make_unique<GpuResourcePool>();
    GLuint used = 0, released = 0;
    doomed->AcquireTexture(FloatDesc(2, 2), used);
    doomed->ReleaseTexture(doomed->AcquireTexture(FloatDesc(2, 2), released));

    doomed.reset();
    EXPECT_FALSE(glIsTexture(used));
    EXPECT_FALSE(glIsTexture(released));
}

struct DescriptionVariant {
    const char* name;
    TextureDesc other;
};

class DistinctDescriptionTest : public ResourcePoolTest,
                                public ::testing::WithParamInterface<DescriptionVariant> {};

TEST_P(DistinctDescriptionTest, NeverSharesAnEntry) {
    GLuint texture = 0;
    pool.ReleaseTexture(pool.AcquireTexture(FloatDesc(4, 4), texture));

    GLuint other = 0;
    EXPECT_EQ(pool.AcquireTexture(GetParam().other, other), 1);
    EXPECT_NE(other, texture);
}

TextureDesc WithFormat(int internalFormat) {
    TextureDesc desc = FloatDesc(4, 4);
    desc.internalFormat = internalFormat;
    return desc;
}

TextureDesc WithTarget(int target) {
    TextureDesc desc = FloatDesc(4, 4);
    desc.target = target;
    return desc;
}

INSTANTIATE_TEST_SUITE_P(ResourcePool, DistinctDescriptionTest,
                         ::testing::Values(DescriptionVariant{"Format", WithFormat(GL_RGBA8)},
                                           DescriptionVariant{"Target", WithTarget(GL_TEXTURE_1D_ARRAY_EXT)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResourcePoolTest, HandsOutAFramebufferAgainOnlyAfterItsRelease) {
    GLuint first = 0, second = 0;
    EXPECT_EQ(pool.AcquireFramebuffer(first), 0);
    EXPECT_EQ(pool.AcquireFramebuffer(second), 1);
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, first);
    pool.ReleaseFramebuffer(0);

    GlCallCounter calls;
    GLuint again = 0;
    EXPECT_EQ(pool.AcquireFramebuffer(again), 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(calls.Counts().Total(), 0);
}

TEST_F(ResourcePoolTest, DestroyingThePoolDeletesItsFramebuffers) {
    auto doomed = std::make_unique<GpuResourcePool>();
    GLuint framebuffer = 0;
    doomed->AcquireFramebuffer(framebuffer);
    // A framebuffer name becomes an object only once bound.
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    ASSERT_TRUE(glIsFramebufferEXT(framebuffer));

    doomed.reset();
    EXPECT_FALSE(glIsFramebufferEXT(framebuffer));
}

}  // namespace
