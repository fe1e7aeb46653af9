#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"
#include "support/GlTestMain.h"

#include <vector>

namespace {

// Writes each fragment's texture coordinate into red and green.
const char* const kTexCoordFragmentSource =
    "void main(void){ gl_FragColor = vec4(gl_TexCoord[0].xy, 0.0, 1.0); }";

TextureDesc FloatDesc(int width, int height) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.internalFormat = GL_RGBA32F_ARB;
    return desc;
}

// A pooled texture attached as the framework framebuffer's colour target for
// the lifetime of the object, with the viewport set to its size.
class RenderTarget {
public:
    RenderTarget(int width, int height) : width_(width), height_(height) {
        index_ = g_resourcePool->AcquireTexture(FloatDesc(width, height), texture_);
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, texture_, 0);
        glViewport(0, 0, width, height);
    }
    ~RenderTarget() { g_resourcePool->ReleaseTexture(index_); }
    RenderTarget(const RenderTarget&) = delete;
    RenderTarget& operator=(const RenderTarget&) = delete;

    std::vector<GLfloat> ReadRgba() const {
        std::vector<GLfloat> texels(static_cast<size_t>(width_ * height_ * 4));
        glReadPixels(0, 0, width_, height_, GL_RGBA, GL_FLOAT, texels.data());
        return texels;
    }

private:
    int width_, height_;
    int index_ = -1;
    GLuint texture_ = 0;
};

class FullScreenPassTest : public GlTest {
protected:
    void SetUp() override { glGetIntegerv(GL_VIEWPORT, viewport); }
    void TearDown() override {
        glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
        GlTest::TearDown();
    }

    GLint viewport[4] = {};
    FrameworkFramebufferScope framebuffer;
};

struct PassSize {
    int width, height;
};

class TexelCentreTest : public FullScreenPassTest, public ::testing::WithParamInterface<PassSize> {};

// Fragment (i, j) of a w x h target must see ((i + .5) / w, (j + .5) / h), the
// centre of texel (i, j) of every input of that size: from (0.125, 0.125) to
// (0.875, 0.875) on a 4 x 4 target.
TEST_P(TexelCentreTest, EveryFragmentSeesTheCentreOfItsOwnTexel) {
    const int width = GetParam().width, height = GetParam().height;
    ShaderProgram program(kPassThroughVertexSource, kTexCoordFragmentSource, kShaderSourceText);
    ASSERT_TRUE(program.IsValid());
    RenderTarget target(width, height);

    StdoutCapture output;
    EXPECT_TRUE(CheckFramebufferStatus());
    EXPECT_EQ(output.Text(), "");
    program.Bind();
    DrawFullScreenPass();
    program.Unbind();

    const std::vector<GLfloat> texels = target.ReadRgba();
    for (int j = 0; j < height; ++j) {
        for (int i = 0; i < width; ++i) {
            const GLfloat* texel = &texels[static_cast<size_t>((j * width + i) * 4)];
            EXPECT_NEAR(texel[0], (i + 0.5) / width, 1e-6) << "texel " << i << "," << j;
            EXPECT_NEAR(texel[1], (j + 0.5) / height, 1e-6) << "texel " << i << "," << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FullScreenPass, TexelCentreTest,
                         ::testing::Values(PassSize{4, 4}, PassSize{8, 2}, PassSize{1, 1}));

TEST_F(FullScreenPassTest, AFramebufferWithoutAttachmentIsReportedOnce) {
    StdoutCapture output;
    EXPECT_FALSE(CheckFramebufferStatus());
    EXPECT_EQ(output.Text(), "Framebuffer incomplete, missing attachment\n");
}

TEST_F(FullScreenPassTest, AnEmptyTextureIsAnIncompleteAttachment) {
    RenderTarget target(0, 0);
    StdoutCapture output;
    EXPECT_FALSE(CheckFramebufferStatus());
    EXPECT_EQ(output.Text(), "Framebuffer incomplete attachment\n");
}

TEST(FramebufferStatusMessageTest, StatusesOutsideTheKnownOnesAreUnknownErrors) {
    EXPECT_STREQ(FramebufferStatusMessage(0), "Unknown framebuffer error\n");
    EXPECT_STREQ(FramebufferStatusMessage(GL_FRAMEBUFFER_COMPLETE_EXT + 0x100),
                 "Unknown framebuffer error\n");
    EXPECT_EQ(FramebufferStatusMessage(GL_FRAMEBUFFER_COMPLETE_EXT), nullptr);
}

}  // namespace
