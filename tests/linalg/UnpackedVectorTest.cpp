// The unpacked layout's basics and the parts of the vector base
// that do not compute: size and texture description, upload and
// read-back order, CreateForLength, the render target and its exchange, and
// what destruction gives back to the pool.
#include <memory>
#include <vector>

#include "linalg/LinalgTestSupport.h"

namespace linalg_test {
namespace {

using UnpackedVectorTest = LinalgTest;

std::vector<float> Indices(int count) {
    std::vector<float> values(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n) values[static_cast<size_t>(n)] = static_cast<float>(n);
    return values;
}

TEST_F(UnpackedVectorTest, SizeWidthAndHeightAreTheLogicalGrid) {
    UnpackedVector big(512, 512, 0);
    EXPECT_EQ(big.Size(), 262144);
    EXPECT_EQ(big.Width(), 512);
    EXPECT_EQ(big.Height(), 512);
    UnpackedVector wide(8, 4, 0);
    EXPECT_EQ(wide.Size(), 32);
    EXPECT_EQ(wide.Width(), 8);
    EXPECT_EQ(wide.Height(), 4);
    UnpackedVector single(1, 1, 0);
    EXPECT_EQ(single.Size(), 1);
    EXPECT_EQ(single.Width(), 1);
    EXPECT_EQ(single.Height(), 1);
}

TEST_F(UnpackedVectorTest, TheTextureIsAFloatTextureOfTheGridsSizeFromThePool) {
    UnpackedVector v(8, 4, 0);
    TextureDesc desc;
    EXPECT_EQ(v.GetTextureDesc(&desc), &desc);
    EXPECT_EQ(desc.width, 8);
    EXPECT_EQ(desc.height, 4);
    EXPECT_EQ(desc.internalFormat, GL_RGBA32F_ARB);
    EXPECT_EQ(desc.target, GL_TEXTURE_2D);
    EXPECT_NE(v.Texture(), 0u);
    EXPECT_TRUE(NotHandedBack(v.Texture()));

    glBindTexture(GL_TEXTURE_2D, v.Texture());
    GLint width = 0, height = 0, format = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(width, 8);
    EXPECT_EQ(height, 4);
    EXPECT_EQ(format, GL_RGBA32F_ARB);
}

TEST_F(UnpackedVectorTest, SetDataPutsValueNIntoRedGreenBlueOfTexelNAndOneIntoAlpha) {
    for (const Shape& shape : {Shape{8, 4}, Shape{4, 8}, Shape{16, 16}, Shape{1, 1}, Shape{512, 512}}) {
        SCOPED_TRACE(::testing::PrintToString(shape));
        const int count = shape.width * shape.height;
        auto v = MakeVector(shape, Indices(count));
        const Texels texels = ReadTexels(*v);
        EXPECT_TRUE(SameTexels(UploadedTexels(Indices(count)), texels));
        // Texel n is column n mod W, row n div W.
        const int n = count - 1;
        EXPECT_EQ(texels[static_cast<size_t>(4 * n)], static_cast<float>(n));
        float corner[4] = {0, 0, 0, 0};
        glReadPixels(shape.width - 1, 0, 1, 1, GL_RGBA, GL_FLOAT, corner);
        EXPECT_EQ(corner[0], static_cast<float>(shape.width - 1)) << "first row, last column";
        EXPECT_EQ(corner[3], 1.0f);
        glReadPixels(0, shape.height - 1, 1, 1, GL_RGBA, GL_FLOAT, corner);
        EXPECT_EQ(corner[0], static_cast<float>((shape.height - 1) * shape.width))
            << "last row, first column";
    }
}

TEST_F(UnpackedVectorTest, GetDataReturnsTheValuesInTheOrderSetDataTookThem) {
    for (const Shape& shape : {Shape{8, 4}, Shape{4, 8}, Shape{2, 16}, Shape{1, 1}, Shape{512, 512}}) {
        SCOPED_TRACE(::testing::PrintToString(shape));
        const int count = shape.width * shape.height;
        const std::vector<float> values = Pattern(count, 77, 1000, 0.125f);
        auto v = MakeVector(shape, values);
        EXPECT_TRUE(SameValues(values, Values(*v)));
    }
}

// The element is the red channel: an uploaded texel holds it three times,
// and a read-back that added the channels would triple it.
TEST_F(UnpackedVectorTest, ReadBacksTakeTheRedChannel) {
    auto v = MakeVector({2, 2}, {1, -2, 0.5f, 3});
    EXPECT_TRUE(SameValues({1, -2, 0.5f, 3}, Values(*v)));
    EXPECT_FLOAT_EQ(v->SumValue(), 2.5f);
}

TEST_F(UnpackedVectorTest, SetDataReplacesTheValuesWithoutANewTexture) {
    auto v = MakeVector({4, 4}, Indices(16));
    const GLuint texture = v->Texture();
    const size_t poolSize = PoolTextureCount();
    const std::vector<float> values = Pattern(16, 5);
    v->SetData(values.data());
    EXPECT_EQ(v->Texture(), texture);
    EXPECT_EQ(PoolTextureCount(), poolSize);
    EXPECT_TRUE(SameValues(values, Values(*v)));
}

// Gives access to the protected default constructor: CreateForLength takes
// the place of Create on a vector that has none yet.
class LengthVector : public UnpackedVector {
public:
    explicit LengthVector(int n) { CreateForLength(n, 0, GL_RGBA32F_ARB); }
};

TEST_F(UnpackedVectorTest, CreateForLengthMakesTheSmallestPowerOfTwoTextureHoldingN) {
    struct Case {
        int n, width, height;
    };
    const Case cases[] = {{1000, 32, 32}, {1024, 32, 32}, {513, 32, 32},      {512, 32, 16},
                          {511, 32, 16},  {1, 1, 1},      {0, 1, 1},          {-7, 1, 1},
                          {2, 2, 1},      {3, 2, 2},      {4, 2, 2},          {5, 4, 2},
                          {8, 4, 2},      {9, 4, 4},      {262144, 512, 512}, {262145, 1024, 512}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        LengthVector v(c.n);
        TextureDesc desc;
        v.GetTextureDesc(&desc);
        EXPECT_EQ(desc.width, c.width);
        EXPECT_EQ(desc.height, c.height);
        EXPECT_EQ(desc.internalFormat, GL_RGBA32F_ARB);
        EXPECT_GE(v.Size(), c.n < 1 ? 1 : c.n) << "room for at least n values";
    }
}

TEST_F(UnpackedVectorTest, AVectorMadeForALengthComputes) {
    LengthVector v(1000);
    v.Fill(0.5f);
    EXPECT_FLOAT_EQ(v.SumValue(), 512.0f);
    EXPECT_EQ(UnpackedVector::Instances(), 1);
}

TEST_F(UnpackedVectorTest, AttachRenderTargetSetsTheViewportAndAttachesAScratchTexture) {
    UnpackedVector v(256, 128, 0);
    EXPECT_TRUE(v.AttachRenderTarget());
    GLint viewport[4] = {-1, -1, -1, -1};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 0);
    EXPECT_EQ(viewport[1], 0);
    EXPECT_EQ(viewport[2], 256);
    EXPECT_EQ(viewport[3], 128);
    GLint attached = 0;
    glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT,
                                             GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT, &attached);
    EXPECT_NE(static_cast<GLuint>(attached), 0u);
    EXPECT_NE(static_cast<GLuint>(attached), v.Texture());
    v.CommitTarget();
    EXPECT_EQ(v.Texture(), static_cast<GLuint>(attached));
}

TEST_F(UnpackedVectorTest, CommitTargetMakesTheScratchTextureTheVectorsAndHandsTheOldOneBack) {
    UnpackedVector v(16, 8, 0);
    const GLuint original = v.Texture();
    const GLuint scratch = v.AcquireTarget();
    EXPECT_NE(scratch, original);
    EXPECT_EQ(v.Texture(), original) << "acquiring alone changes nothing";
    const size_t poolSize = PoolTextureCount();
    v.CommitTarget();
    EXPECT_EQ(v.Texture(), scratch);
    EXPECT_EQ(PoolTextureCount(), poolSize) << "the exchange creates nothing";
    EXPECT_TRUE(IsFreeEntryOf(original, FloatDesc(16, 8)));
    EXPECT_TRUE(NotHandedBack(scratch));

    // The next acquisition of that description, with no lower free entry of
    // it, gets the former texture.
    int lowestFree = -1;
    for (size_t i = 0; i < PoolTextures().size() && lowestFree < 0; ++i)
        if (!PoolTextures()[i].used && PoolTextures()[i].desc == FloatDesc(16, 8))
            lowestFree = static_cast<int>(i);
    ASSERT_GE(lowestFree, 0);
    EXPECT_EQ(PoolTextures()[static_cast<size_t>(lowestFree)].texture, original);
    GLuint got = 0;
    const int index = g_resourcePool->AcquireTexture(FloatDesc(16, 8), got);
    EXPECT_EQ(index, lowestFree);
    EXPECT_EQ(got, original);
    g_resourcePool->ReleaseTexture(index);
}

TEST_F(UnpackedVectorTest, DestroyingAVectorAfterKernelsFreesTheTextureItHoldsNow) {
    auto v = MakeVector({8, 8}, Indices(64));
    auto w = MakeVector({8, 8}, Indices(64));
    v->Scale(2);
    v->Combine(w.get(), v.get(), 1, 1);
    const GLuint current = v->Texture();
    const size_t poolSize = PoolTextureCount();
    ASSERT_TRUE(NotHandedBack(current));
    v.reset();
    EXPECT_TRUE(IsFreeEntryOf(current, FloatDesc(8, 8)));
    EXPECT_EQ(PoolTextureCount(), poolSize) << "the pool's texture count does not change";
    EXPECT_TRUE(SameValues(Indices(64), Values(*w)));
}

TEST_F(UnpackedVectorTest, VectorsOfOneDescriptionNeverShareATexture) {
    std::vector<std::unique_ptr<UnpackedVector>> vectors;
    for (int i = 0; i < 4; ++i) vectors.push_back(MakeVector({4, 4}, Pattern(16, static_cast<unsigned>(i))));
    for (auto& v : vectors) v->Scale(1);
    for (size_t i = 0; i < vectors.size(); ++i)
        for (size_t j = i + 1; j < vectors.size(); ++j)
            EXPECT_NE(vectors[i]->Texture(), vectors[j]->Texture());
    for (size_t i = 0; i < vectors.size(); ++i)
        EXPECT_TRUE(SameValues(Pattern(16, static_cast<unsigned>(i)), Values(*vectors[i])));
}

}  // namespace
}  // namespace linalg_test
