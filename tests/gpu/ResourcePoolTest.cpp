#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

namespace {

TextureDesc FloatDesc(int width, int height) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.internalFormat = GL_RGBA32F_ARB;
    return desc;
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

}  // namespace
