// Shifted products of the unpacked layout: dst = this (.) shift(src)
// * factor and its accumulating form, where shift(src)[n] = src[(n + shift)
// mod W*H]. Shifts pair elements across row ends and wrap past either end of
// the texture; src and dst may be one vector.
#include <memory>
#include <string>
#include <vector>

#include "linalg/LinalgTestSupport.h"

namespace linalg_test {
namespace {

// Host model over whole texels: every channel is multiplied alike.
Texels ShiftedProduct(const Texels& diagonal, const Texels& src, float factor, long shift) {
    const long count = static_cast<long>(diagonal.size() / 4);
    Texels out(diagonal.size());
    for (long n = 0; n < count; ++n) {
        const long m = ((n + shift) % count + count) % count;
        for (int c = 0; c < 4; ++c)
            out[static_cast<size_t>(4 * n + c)] =
                diagonal[static_cast<size_t>(4 * n + c)] * src[static_cast<size_t>(4 * m + c)] * factor;
    }
    return out;
}

Texels Add(const Texels& a, const Texels& b) {
    Texels out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
    return out;
}

class ShiftedProductTest : public LinalgParamTest<Shape> {
protected:
    int W() const { return GetParam().width; }
    int Count() const { return GetParam().width * GetParam().height; }

    // 0, +-1, +-W, +-(W+1), +-(W-1), and shifts past the ends of the texture.
    std::vector<int> Shifts() const {
        const int w = W(), n = Count();
        return {0,        1,     -1,       w, -w,        w + 1,     -(w + 1),    w - 1,
                -(w - 1), n - 1, -(n - 1), n, n / 2 + 1, 2 * n + 3, -(3 * n + 5)};
    }

    std::unique_ptr<UnpackedVector> Make(unsigned seed) {
        return MakeVector(GetParam(), Pattern(Count(), seed));
    }
    Texels Uploaded(unsigned seed) const { return UploadedTexels(Pattern(Count(), seed)); }
};

TEST_P(ShiftedProductTest, MulShiftedPairsElementNWithSourceElementNPlusShift) {
    auto diagonal = Make(1);
    auto src = Make(2);
    auto dst = Make(3);
    for (int shift : Shifts()) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        diagonal->MulShifted(src.get(), dst.get(), 0.5f, shift);
        EXPECT_TRUE(SameTexels(ShiftedProduct(Uploaded(1), Uploaded(2), 0.5f, shift), ReadTexels(*dst)));
    }
    EXPECT_TRUE(SameTexels(Uploaded(1), ReadTexels(*diagonal)));
    EXPECT_TRUE(SameTexels(Uploaded(2), ReadTexels(*src)));
}

TEST_P(ShiftedProductTest, MulShiftedAddAccumulatesIntoTheDestination) {
    auto diagonal = Make(4);
    auto src = Make(5);
    for (int shift : Shifts()) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        auto dst = Make(6);
        const Texels product = ShiftedProduct(Uploaded(4), Uploaded(5), -1.5f, shift);
        diagonal->MulShiftedAdd(src.get(), dst.get(), -1.5f, shift);
        const Texels once = Add(Uploaded(6), product);
        EXPECT_TRUE(SameTexels(once, ReadTexels(*dst)));
        diagonal->MulShiftedAdd(src.get(), dst.get(), -1.5f, shift);
        EXPECT_TRUE(SameTexels(Add(once, product), ReadTexels(*dst))) << "a second call adds again";
    }
}

TEST_P(ShiftedProductTest, SourceAndDestinationMayBeOneVector) {
    auto diagonal = Make(7);
    for (int shift : Shifts()) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        auto v = Make(8);
        diagonal->MulShifted(v.get(), v.get(), 2, shift);
        const Texels product = ShiftedProduct(Uploaded(7), Uploaded(8), 2, shift);
        EXPECT_TRUE(SameTexels(product, ReadTexels(*v)));

        diagonal->MulShiftedAdd(v.get(), v.get(), 0.25f, shift);
        EXPECT_TRUE(
            SameTexels(Add(product, ShiftedProduct(Uploaded(7), product, 0.25f, shift)), ReadTexels(*v)));
        EXPECT_TRUE(NotHandedBack(v->Texture()));
    }
    EXPECT_TRUE(SameTexels(Uploaded(7), ReadTexels(*diagonal)));
}

TEST_P(ShiftedProductTest, TheDiagonalMayBeSourceAndDestinationToo) {
    for (int shift : {1, -W(), W() + 1}) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        auto v = Make(9);
        v->MulShiftedAdd(v.get(), v.get(), 1, shift);
        EXPECT_TRUE(
            SameTexels(Add(Uploaded(9), ShiftedProduct(Uploaded(9), Uploaded(9), 1, shift)), ReadTexels(*v)));
    }
}

// Shift +1 pairs the last texel of a row with the first of the next row;
// -W pairs element n < W with element n - W + W*H, in the last row.
TEST_P(ShiftedProductTest, RowEndsAndTextureEndsPairAsElementIndicesModuloTheSize) {
    const int w = W(), n = Count();
    std::vector<float> src(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) src[static_cast<size_t>(i)] = static_cast<float>(i);
    auto source = MakeVector(GetParam(), src);
    auto ones = std::make_unique<UnpackedVector>(w, GetParam().height, 0);
    ones->Fill(1);
    auto dst = std::make_unique<UnpackedVector>(w, GetParam().height, 0);

    ones->MulShifted(source.get(), dst.get(), 1, 1);
    std::vector<float> got = Values(*dst);
    for (int row = 0; row < GetParam().height; ++row) {
        const int last = row * w + w - 1;
        EXPECT_EQ(got[static_cast<size_t>(last)], static_cast<float>((last + 1) % n)) << "end of row " << row;
    }

    ones->MulShifted(source.get(), dst.get(), 1, -w);
    got = Values(*dst);
    for (int i = 0; i < w && i < n; ++i)
        EXPECT_EQ(got[static_cast<size_t>(i)], static_cast<float>(((i - w) % n + n) % n)) << "element " << i;

    ones->MulShifted(source.get(), dst.get(), 1, -1);
    got = Values(*dst);
    EXPECT_EQ(got[0], static_cast<float>(n - 1)) << "element 0 pairs with the last element";
}

TEST_P(ShiftedProductTest, WritingExchangesTheDestinationsTexture) {
    auto diagonal = Make(10);
    auto src = Make(11);
    auto dst = Make(12);
    for (bool accumulate : {false, true}) {
        for (int shift : {0, 1}) {
            const GLuint before = dst->Texture();
            if (accumulate)
                diagonal->MulShiftedAdd(src.get(), dst.get(), 1, shift);
            else
                diagonal->MulShifted(src.get(), dst.get(), 1, shift);
            EXPECT_NE(dst->Texture(), before);
            EXPECT_TRUE(IsFreeEntryOf(before, FloatDesc(GetParam().width, GetParam().height)));
            EXPECT_TRUE(NotHandedBack(dst->Texture()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShiftedProductTest,
                         ::testing::Values(Shape{1, 1}, Shape{2, 2}, Shape{8, 4}, Shape{4, 8}, Shape{16, 16},
                                           Shape{8, 1}, Shape{1, 8}, Shape{64, 64}, Shape{512, 512}),
                         ShapeName);

}  // namespace
}  // namespace linalg_test
