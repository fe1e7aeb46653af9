// Element-wise vector kernels on square, wide, tall and degenerate
// textures: fill, copy, scale, two-weight combinations with the destination
// equal to an operand, CombineOp, and the multiply-add/subtract whose
// coefficient stays on the GPU in a GpuScalar. Every channel is compared
// with a host model: the kernels treat the four channels alike.
#include <functional>
#include <memory>

#include "linalg/LinalgTestSupport.h"
#include "support/GlCallCounter.h"

namespace linalg_test {
namespace {

Texels Map(const Texels& a, const std::function<float(float)>& f) {
    Texels out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = f(a[i]);
    return out;
}

Texels Map(const Texels& a, const Texels& b, const std::function<float(float, float)>& f) {
    Texels out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = f(a[i], b[i]);
    return out;
}

Texels Constant(const Shape& shape, float value) {
    return Texels(static_cast<size_t>(shape.width * shape.height * 4), value);
}

class VectorKernelTest : public LinalgParamTest<Shape> {
protected:
    int Count() const { return GetParam().width * GetParam().height; }
    std::unique_ptr<UnpackedVector> Make(unsigned seed) {
        return MakeVector(GetParam(), Pattern(Count(), seed));
    }
    Texels Uploaded(unsigned seed) const { return UploadedTexels(Pattern(Count(), seed)); }
};

TEST_P(VectorKernelTest, FillSetsEveryChannelOfEveryTexelInTheVectorsOwnTexture) {
    auto v = Make(1);
    const GLuint texture = v->Texture();
    const std::vector<bool> used = PoolUsedFlags();
    GlCallCounter calls;
    v->Fill(2.5f);
    EXPECT_EQ(calls.Counts().genTextures, 0);
    EXPECT_EQ(v->Texture(), texture) << "Fill renders straight into the vector's texture";
    EXPECT_TRUE(PoolUsageRestored(used));
    EXPECT_TRUE(SameTexels(Constant(GetParam(), 2.5f), ReadTexels(*v)));
    EXPECT_TRUE(SameValues(std::vector<float>(static_cast<size_t>(Count()), 2.5f), Values(*v)));
}

TEST_P(VectorKernelTest, ScaleAfterFillNegatesEveryChannel) {
    auto v = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    v->Fill(2.5f);
    const GLuint before = v->Texture();
    v->Scale(-1);
    EXPECT_TRUE(SameTexels(Constant(GetParam(), -2.5f), ReadTexels(*v)));
    EXPECT_NE(v->Texture(), before) << "Scale renders into a scratch texture and exchanges it";
    EXPECT_TRUE(IsFreeEntryOf(before, FloatDesc(GetParam().width, GetParam().height)));
    EXPECT_TRUE(NotHandedBack(v->Texture()));
}

TEST_P(VectorKernelTest, ScaleMultipliesEveryChannel) {
    auto v = Make(2);
    v->Scale(1.5f);
    EXPECT_TRUE(SameTexels(Map(Uploaded(2), [](float x) { return 1.5f * x; }), ReadTexels(*v)));
}

TEST_P(VectorKernelTest, CopyFromCopiesAllFourChannelsIntoTheOwnTexture) {
    auto src = Make(3);
    auto dst = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    dst->Fill(9);
    const GLuint dstTexture = dst->Texture();
    const GLuint srcTexture = src->Texture();
    dst->CopyFrom(src.get());
    EXPECT_TRUE(SameTexels(Uploaded(3), ReadTexels(*dst)));
    EXPECT_EQ(dst->Texture(), dstTexture) << "CopyFrom renders straight into the vector's texture";
    EXPECT_EQ(src->Texture(), srcTexture);
    EXPECT_TRUE(SameTexels(Uploaded(3), ReadTexels(*src)));
}

TEST_P(VectorKernelTest, CombineIntoAThirdVector) {
    auto a = Make(4);
    auto b = Make(5);
    auto dst = Make(6);
    a->Combine(b.get(), dst.get(), 2, 0.5f);
    EXPECT_TRUE(SameTexels(Map(Uploaded(4), Uploaded(5), [](float x, float y) { return 2 * x + 0.5f * y; }),
                           ReadTexels(*dst)));
    EXPECT_TRUE(SameTexels(Uploaded(4), ReadTexels(*a)));
    EXPECT_TRUE(SameTexels(Uploaded(5), ReadTexels(*b)));
}

TEST_P(VectorKernelTest, CombineWithTheDestinationEqualToThis) {
    auto a = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto b = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    a->Fill(1);
    b->Fill(2);
    a->Combine(b.get(), a.get(), 1, 1);
    EXPECT_TRUE(SameTexels(Constant(GetParam(), 3), ReadTexels(*a)));
    EXPECT_TRUE(SameTexels(Constant(GetParam(), 2), ReadTexels(*b)));

    auto c = Make(7);
    auto d = Make(8);
    c->Combine(d.get(), c.get(), -1.5f, 2);
    EXPECT_TRUE(SameTexels(Map(Uploaded(7), Uploaded(8), [](float x, float y) { return -1.5f * x + 2 * y; }),
                           ReadTexels(*c)));
    EXPECT_TRUE(NotHandedBack(c->Texture()));
    EXPECT_TRUE(NotHandedBack(d->Texture()));
}

TEST_P(VectorKernelTest, CombineWithTheDestinationEqualToTheSecondOperand) {
    auto a = Make(9);
    auto b = Make(10);
    a->Combine(b.get(), b.get(), 1, -0.5f);
    EXPECT_TRUE(SameTexels(Map(Uploaded(9), Uploaded(10), [](float x, float y) { return x - 0.5f * y; }),
                           ReadTexels(*b)));
    EXPECT_TRUE(SameTexels(Uploaded(9), ReadTexels(*a)));
}

TEST_P(VectorKernelTest, CombineOfAVectorWithItselfIntoItself) {
    auto a = Make(11);
    a->Combine(a.get(), a.get(), 2, 3);
    EXPECT_TRUE(SameTexels(Map(Uploaded(11), [](float x) { return 5 * x; }), ReadTexels(*a)));
}

TEST_P(VectorKernelTest, CombineSubAndCombineOpTwoSubtract) {
    auto a = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto b = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto dst = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    a->Fill(1);
    b->Fill(2);
    a->CombineSub(b.get(), dst.get(), 2, 3);
    EXPECT_TRUE(SameTexels(Constant(GetParam(), -4), ReadTexels(*dst)));
    dst->Fill(0);
    a->CombineOp(2, b.get(), dst.get(), 2, 3);
    EXPECT_TRUE(SameTexels(Constant(GetParam(), -4), ReadTexels(*dst)));

    auto c = Make(12);
    auto d = Make(13);
    const Texels expected =
        Map(Uploaded(12), Uploaded(13), [](float x, float y) { return 0.5f * x - 2 * y; });
    c->CombineSub(d.get(), dst.get(), 0.5f, 2);
    EXPECT_TRUE(SameTexels(expected, ReadTexels(*dst)));
    c->CombineOp(2, d.get(), d.get(), 0.5f, 2);
    EXPECT_TRUE(SameTexels(expected, ReadTexels(*d))) << "CombineOp(2) into its second operand";
}

TEST_P(VectorKernelTest, CombineOpOneIsCombine) {
    auto a = Make(14);
    auto b = Make(15);
    auto dst = Make(16);
    a->CombineOp(1, b.get(), dst.get(), 3, -0.25f);
    EXPECT_TRUE(
        SameTexels(Map(Uploaded(14), Uploaded(15), [](float x, float y) { return 3 * x - 0.25f * y; }),
                   ReadTexels(*dst)));
}

TEST_P(VectorKernelTest, CombineOpWithAnyOtherOpChangesNothing) {
    auto a = Make(17);
    auto b = Make(18);
    auto dst = Make(19);
    for (int op : {0, 3, -1, 4}) {
        SCOPED_TRACE(op);
        const GLuint dstTexture = dst->Texture();
        const size_t poolSize = PoolTextureCount();
        const std::vector<bool> used = PoolUsedFlags();
        GlCallCounter calls;
        a->CombineOp(op, b.get(), dst.get(), 2, 3);
        EXPECT_EQ(calls.Counts().Total(), 0) << "no GL work at all";
        a->CombineOp(op, b.get(), a.get(), 2, 3);
        EXPECT_EQ(dst->Texture(), dstTexture);
        EXPECT_EQ(PoolTextureCount(), poolSize);
        EXPECT_TRUE(PoolUsageRestored(used));
        EXPECT_TRUE(SameTexels(Uploaded(19), ReadTexels(*dst)));
        EXPECT_TRUE(SameTexels(Uploaded(17), ReadTexels(*a)));
        EXPECT_TRUE(SameTexels(Uploaded(18), ReadTexels(*b)));
    }
}

TEST_P(VectorKernelTest, MulAddAndMulSubScalarTakeTheCoefficientFromAGpuScalar) {
    auto a = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto b = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto dst = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto c = MakeScalar(0.5f);
    a->Fill(4);
    b->Fill(2);
    GlCallCounter calls;
    a->MulAddScalar(b.get(), dst.get(), 1, c.get());
    EXPECT_EQ(calls.Counts().readPixels, 0) << "the coefficient is not read back";
    EXPECT_TRUE(SameTexels(Constant(GetParam(), 5), ReadTexels(*dst)));
    a->MulSubScalar(b.get(), dst.get(), 1, c.get());
    EXPECT_TRUE(SameTexels(Constant(GetParam(), 3), ReadTexels(*dst)));
    EXPECT_FLOAT_EQ(c->GetValue(), 0.5f);
}

TEST_P(VectorKernelTest, MulAddAndMulSubScalarOnDistinctValues) {
    auto a = Make(20);
    auto b = Make(21);
    auto dst = Make(22);
    // A coefficient computed on the GPU, as the solver's are.
    auto c = MakeScalar(3);
    auto four = MakeScalar(4);
    c->Divide(four.get(), c.get(), 1, 1);  // 0.75
    a->MulAddScalar(b.get(), dst.get(), 1.5f, c.get());
    EXPECT_TRUE(
        SameTexels(Map(Uploaded(20), Uploaded(21), [](float x, float y) { return 1.5f * x + 0.75f * y; }),
                   ReadTexels(*dst)));
    a->MulSubScalar(b.get(), dst.get(), -2, c.get());
    EXPECT_TRUE(
        SameTexels(Map(Uploaded(20), Uploaded(21), [](float x, float y) { return -2 * x - 0.75f * y; }),
                   ReadTexels(*dst)));
    EXPECT_TRUE(SameTexels(Uploaded(20), ReadTexels(*a)));
    EXPECT_TRUE(SameTexels(Uploaded(21), ReadTexels(*b)));
}

// The solver's p = r + beta*p writes MulAddScalar(p, p, 1, beta) on r.
TEST_P(VectorKernelTest, MulAddAndMulSubScalarIntoAnOperand) {
    auto r = Make(23);
    auto p = Make(24);
    auto beta = MakeScalar(-0.5f);
    r->MulAddScalar(p.get(), p.get(), 1, beta.get());
    const Texels afterAdd = Map(Uploaded(23), Uploaded(24), [](float x, float y) { return x - 0.5f * y; });
    EXPECT_TRUE(SameTexels(afterAdd, ReadTexels(*p)));
    EXPECT_TRUE(SameTexels(Uploaded(23), ReadTexels(*r)));

    r->MulSubScalar(p.get(), r.get(), 2, beta.get());
    EXPECT_TRUE(SameTexels(Map(Uploaded(23), afterAdd, [](float x, float y) { return 2 * x + 0.5f * y; }),
                           ReadTexels(*r)));

    auto q = Make(25);
    q->MulAddScalar(q.get(), q.get(), 2, beta.get());
    EXPECT_TRUE(SameTexels(Map(Uploaded(25), [](float x) { return 1.5f * x; }), ReadTexels(*q)));
}

TEST_P(VectorKernelTest, WritingKernelsExchangeTheDestinationsTexture) {
    auto a = Make(26);
    auto b = Make(27);
    auto c = MakeScalar(1);
    const TextureDesc desc = FloatDesc(GetParam().width, GetParam().height);
    const std::function<void()> kernels[] = {
        [&] { a->Scale(2); },
        [&] { b->Combine(a.get(), a.get(), 1, 1); },
        [&] { b->CombineSub(a.get(), a.get(), 1, 1); },
        [&] { b->CombineOp(1, a.get(), a.get(), 1, 1); },
        [&] { b->MulAddScalar(a.get(), a.get(), 1, c.get()); },
        [&] { b->MulSubScalar(a.get(), a.get(), 1, c.get()); },
    };
    for (const auto& kernel : kernels) {
        const GLuint before = a->Texture();
        const GLuint bBefore = b->Texture();
        kernel();
        EXPECT_NE(a->Texture(), before);
        EXPECT_TRUE(IsFreeEntryOf(before, desc));
        EXPECT_TRUE(NotHandedBack(a->Texture()));
        EXPECT_EQ(b->Texture(), bBefore);
    }
}

TEST_P(VectorKernelTest, KernelsLeaveNoProgramBoundAndUnitZeroActive) {
    auto a = Make(28);
    auto b = Make(29);
    auto c = MakeScalar(1);
    const std::function<void()> kernels[] = {
        [&] { a->Fill(1); },
        [&] { a->CopyFrom(b.get()); },
        [&] { a->Scale(2); },
        [&] { a->Combine(b.get(), a.get(), 1, 1); },
        [&] { a->MulAddScalar(b.get(), a.get(), 1, c.get()); },
        [&] { a->MulSubScalar(b.get(), a.get(), 1, c.get()); },
    };
    for (const auto& kernel : kernels) {
        glActiveTexture(GL_TEXTURE0);
        kernel();
        GLint program = -1, unit = -1;
        glGetIntegerv(GL_CURRENT_PROGRAM, &program);
        glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
        EXPECT_EQ(program, 0);
        EXPECT_EQ(unit, GL_TEXTURE0);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, VectorKernelTest,
                         ::testing::Values(Shape{1, 1}, Shape{2, 2}, Shape{8, 4}, Shape{4, 8}, Shape{64, 64},
                                           Shape{512, 512}),
                         ShapeName);

}  // namespace
}  // namespace linalg_test
