// Reductions: Sum, Dot, SumValue and DotValue against sums formed
// on the host, for square, wide and tall power-of-two textures down to sides
// of 1 and 2. The values are multiples of 1/4 small enough that every partial
// sum is exact in single precision, whatever order the GPU adds in.
#include <functional>
#include <memory>
#include <numeric>
#include <string>

#include "linalg/LinalgTestSupport.h"

namespace linalg_test {
namespace {

double HostSum(const std::vector<float>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0);
}

double HostDot(const std::vector<float>& a, const std::vector<float>& b) {
    double total = 0;
    for (size_t i = 0; i < a.size(); ++i) total += static_cast<double>(a[i]) * static_cast<double>(b[i]);
    return total;
}

class ReductionTest : public LinalgParamTest<Shape> {
protected:
    int Count() const { return GetParam().width * GetParam().height; }
    // Dot products of 512x512 vectors stay exact with integers up to 3.
    std::vector<float> SumData(unsigned seed) const { return Pattern(Count(), seed, 6, 0.25f); }
    std::vector<float> DotData(unsigned seed) const { return Pattern(Count(), seed, 3, 1.0f); }
};

TEST_P(ReductionTest, SumIntoAScalarMatchesTheHost) {
    const std::vector<float> values = SumData(1);
    auto v = MakeVector(GetParam(), values);
    auto result = MakeScalar(-1234);
    const GLuint resultTexture = result->Texture();
    v->Sum(result.get());
    EXPECT_FLOAT_EQ(result->GetValue(), static_cast<float>(HostSum(values)));
    EXPECT_EQ(result->Texture(), resultTexture) << "the last pass writes straight into the scalar's texture";
}

TEST_P(ReductionTest, SumValueMatchesTheHost) {
    const std::vector<float> values = SumData(2);
    auto v = MakeVector(GetParam(), values);
    EXPECT_FLOAT_EQ(v->SumValue(), static_cast<float>(HostSum(values)));
}

TEST_P(ReductionTest, SumOfOnesIsTheElementCount) {
    auto v = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    v->Fill(1);
    EXPECT_FLOAT_EQ(v->SumValue(), static_cast<float>(Count()));
    auto result = MakeScalar(0);
    v->Sum(result.get());
    EXPECT_FLOAT_EQ(result->GetValue(), static_cast<float>(Count()));
}

TEST_P(ReductionTest, DotIntoAScalarMatchesTheHost) {
    const std::vector<float> a = DotData(3), b = DotData(4);
    auto va = MakeVector(GetParam(), a);
    auto vb = MakeVector(GetParam(), b);
    auto result = MakeScalar(-1234);
    va->Dot(vb.get(), result.get());
    EXPECT_FLOAT_EQ(result->GetValue(), static_cast<float>(HostDot(a, b)));
}

TEST_P(ReductionTest, DotValueMatchesTheHost) {
    const std::vector<float> a = DotData(5), b = DotData(6);
    auto va = MakeVector(GetParam(), a);
    auto vb = MakeVector(GetParam(), b);
    EXPECT_FLOAT_EQ(va->DotValue(vb.get()), static_cast<float>(HostDot(a, b)));
    EXPECT_FLOAT_EQ(vb->DotValue(va.get()), static_cast<float>(HostDot(a, b)));
}

TEST_P(ReductionTest, DotOfAVectorWithItselfIsItsSquaredNorm) {
    const std::vector<float> a = DotData(7);
    auto va = MakeVector(GetParam(), a);
    EXPECT_FLOAT_EQ(va->DotValue(va.get()), static_cast<float>(HostDot(a, a)));
    auto result = MakeScalar(0);
    va->Dot(va.get(), result.get());
    EXPECT_FLOAT_EQ(result->GetValue(), static_cast<float>(HostDot(a, a)));
}

// The product must weigh every element by the second vector: a fold of the
// first vector alone would give the sum of a (here 2 * Count()).
TEST_P(ReductionTest, DotAppliesTheProductAtEveryElement) {
    auto a = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto b = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    a->Fill(2);
    b->Fill(3);
    EXPECT_FLOAT_EQ(a->DotValue(b.get()), 6.0f * static_cast<float>(Count()));
    auto result = MakeScalar(0);
    a->Dot(b.get(), result.get());
    EXPECT_FLOAT_EQ(result->GetValue(), 6.0f * static_cast<float>(Count()));
}

// One non-zero element at a time: every position is counted once, none twice.
TEST_P(ReductionTest, EveryPositionIsCountedExactlyOnce) {
    const int count = Count();
    std::vector<int> positions;
    if (count <= 64) {
        for (int n = 0; n < count; ++n) positions.push_back(n);
    } else {
        const int w = GetParam().width;
        positions = {0, 1, w - 1, w, w + 1, count / 2 - 1, count / 2, count - w, count - 2, count - 1};
    }
    auto v = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    auto ones = std::make_unique<UnpackedVector>(GetParam().width, GetParam().height, 0);
    ones->Fill(1);
    auto result = MakeScalar(0);
    for (int n : positions) {
        SCOPED_TRACE("element " + std::to_string(n));
        std::vector<float> values(static_cast<size_t>(count), 0.0f);
        values[static_cast<size_t>(n)] = 5.0f;
        v->SetData(values.data());
        EXPECT_EQ(v->SumValue(), 5.0f);
        v->Sum(result.get());
        EXPECT_EQ(result->GetValue(), 5.0f);
        EXPECT_EQ(v->DotValue(ones.get()), 5.0f);
        EXPECT_EQ(ones->DotValue(v.get()), 5.0f);
        v->Dot(ones.get(), result.get());
        EXPECT_EQ(result->GetValue(), 5.0f);
    }
}

TEST_P(ReductionTest, TheVectorIsUnchangedAndTheReductionsPoolEntriesAreFreeAgain) {
    const std::vector<float> a = DotData(8), b = DotData(9);
    auto va = MakeVector(GetParam(), a);
    auto vb = MakeVector(GetParam(), b);
    auto result = MakeScalar(0);
    const GLuint aTexture = va->Texture();
    const GLuint bTexture = vb->Texture();
    const Texels aTexels = UploadedTexels(a);
    const Texels bTexels = UploadedTexels(b);

    const std::function<void()> reductions[] = {
        [&] { va->Sum(result.get()); },
        [&] { va->Dot(vb.get(), result.get()); },
        [&] { va->SumValue(); },
        [&] { va->DotValue(vb.get()); },
    };
    const char* const names[] = {"Sum", "Dot", "SumValue", "DotValue"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        const std::vector<bool> used = PoolUsedFlags();
        reductions[i]();
        EXPECT_TRUE(PoolUsageRestored(used)) << "the scratch entries go back to the pool";
        EXPECT_EQ(va->Texture(), aTexture);
        EXPECT_EQ(vb->Texture(), bTexture);
        EXPECT_TRUE(SameTexels(aTexels, ReadTexels(*va)));
        EXPECT_TRUE(SameTexels(bTexels, ReadTexels(*vb)));
        EXPECT_TRUE(NotHandedBack(result->Texture()));
    }
}

// Reductions of a vector after kernels have exchanged its texture read the
// current one.
TEST_P(ReductionTest, ReductionsReadTheCurrentTextureAfterKernels) {
    const std::vector<float> a = SumData(10);
    auto va = MakeVector(GetParam(), a);
    va->Scale(2);
    va->Scale(-0.5f);
    EXPECT_FLOAT_EQ(va->SumValue(), -static_cast<float>(HostSum(a)));
}

// The reductions run back to back on one vector alternate their scratch
// textures; the results must not depend on that.
TEST_P(ReductionTest, RepeatedReductionsGiveTheSameResult) {
    const std::vector<float> a = DotData(11), b = DotData(12);
    auto va = MakeVector(GetParam(), a);
    auto vb = MakeVector(GetParam(), b);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(va->SumValue(), static_cast<float>(HostSum(a)));
        EXPECT_FLOAT_EQ(va->DotValue(vb.get()), static_cast<float>(HostDot(a, b)));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReductionTest,
                         ::testing::Values(Shape{1, 1}, Shape{2, 2}, Shape{4, 4}, Shape{8, 4}, Shape{4, 8},
                                           Shape{1, 8}, Shape{8, 1}, Shape{2, 8}, Shape{8, 2}, Shape{1, 2},
                                           Shape{2, 1}, Shape{4, 2}, Shape{2, 4}, Shape{32, 1}, Shape{1, 32},
                                           Shape{16, 2}, Shape{2, 16}, Shape{16, 4}, Shape{64, 64},
                                           Shape{128, 32}, Shape{32, 128}, Shape{512, 512}),
                         ShapeName);

}  // namespace
}  // namespace linalg_test
