#include <cmath>
#include <memory>
#include <vector>

#include "gpu/ResourcePool.h"
#include "linalg/BandTestSupport.h"
#include "linalg/GpuScalar.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

using namespace band_test;

namespace {

class PackedVectorSizes : public FrameworkTest {};

TEST_F(PackedVectorSizes, HalveTheLogicalSizeIntoTheTextureAndTruncateOddSides) {
    struct Case {
        int width, height, textureWidth, textureHeight;
    };
    const Case cases[] = {{512, 512, 256, 256}, {5, 5, 2, 2}, {12, 6, 6, 3}, {7, 10, 3, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        PackedVector vector(c.width, c.height, 0);
        TextureDesc desc;
        vector.GetTextureDesc(&desc);
        EXPECT_EQ(desc.width, c.textureWidth);
        EXPECT_EQ(desc.height, c.textureHeight);
        EXPECT_EQ(desc.internalFormat, GL_RGBA32F_ARB);
        EXPECT_EQ(vector.Width(), 2 * c.textureWidth);
        EXPECT_EQ(vector.Height(), 2 * c.textureHeight);
        EXPECT_EQ(vector.Size(), 4 * c.textureWidth * c.textureHeight);
    }
}

// Conversions need a width that is a multiple of 4 and an even height. Sides
// that are not powers of two are there on purpose: with them, a sample placed
// on a texel's corner instead of its centre lands in the neighbouring texel
// after rounding (on llvmpipe for 12x22, 28x6 and 100x10, not for 12x6).
class PackedConversionTest : public FrameworkTest, public ::testing::WithParamInterface<GridShape> {
protected:
    int W() const { return GetParam().width; }
    int H() const { return GetParam().height; }
    size_t N() const { return static_cast<size_t>(W() * H()); }

    std::unique_ptr<UnpackedVector> RandomUnpacked() {
        values = RandomValues(N(), rng);
        auto vector = std::make_unique<UnpackedVector>(W(), H(), 0);
        vector->SetData(values.data());
        return vector;
    }

    std::vector<float> values;
};

TEST_P(PackedConversionTest, PackFromKeepsTheElementOrderOfTheUnpackedVector) {
    auto unpacked = RandomUnpacked();
    PackedVector packed(W(), H(), 0);
    packed.PackFrom(unpacked.get());
    EXPECT_TRUE(SameValues(ReadValues(packed), values));
}

TEST_P(PackedConversionTest, UnpackIntoRestoresRedAndClearsGreenBlueAlpha) {
    auto unpacked = RandomUnpacked();
    PackedVector packed(W(), H(), 0);
    packed.PackFrom(unpacked.get());
    UnpackedVector restored(W(), H(), 0);
    restored.Fill(7.0f);  // every channel non-zero beforehand

    packed.UnpackInto(&restored);

    const std::vector<float> texels = ReadTexels(restored.Texture(), W(), H());
    std::vector<float> expected(4 * N(), 0.0f);
    for (size_t n = 0; n < N(); ++n) expected[4 * n] = values[n];
    EXPECT_TRUE(SameValues(texels, expected));
}

INSTANTIATE_TEST_SUITE_P(Shapes, PackedConversionTest,
                         ::testing::Values(GridShape{4, 2}, GridShape{8, 8}, GridShape{64, 32},
                                           GridShape{12, 6}, GridShape{12, 22}, GridShape{28, 6},
                                           GridShape{100, 10}),
                         GridShapeName);

class PackedReductionTest : public FrameworkTest, public ::testing::WithParamInterface<GridShape> {};

// The 1x1 result of a packed reduction holds the total in every channel, and
// reading it back adds the channels: one texel (1, 2, 3, 4) gives 10.
TEST_F(PackedReductionTest, ReadReducedAddsTheFourChannelsOfTheTexel) {
    auto texel = MakePacked(2, 2, {1.0f, 2.0f, 3.0f, 4.0f});
    EXPECT_EQ(texel->ReadReduced(texel->Texture()), 10.0f);
}

// A float32 tree reduction of n terms errs by at most about log2(n) roundings
// of the running partial sums, each bounded by the sum of magnitudes; the
// products of a dot add one more rounding per term. The bound below doubles
// that for the channel sums and the final pass.
double ReductionTolerance(size_t count, double magnitudes) {
    return (std::log2(static_cast<double>(count)) + 2.0) * kFloatEpsilon * magnitudes;
}

TEST_P(PackedReductionTest, SumsAndDotsAgreeWithTheHost) {
    const int w = GetParam().width, h = GetParam().height;
    const size_t n = static_cast<size_t>(w * h);
    const std::vector<float> a = RandomValues(n, rng), b = RandomValues(n, rng);
    double sum = 0.0, sumMagnitude = 0.0, dot = 0.0, dotMagnitude = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sum += a[i];
        sumMagnitude += std::fabs(a[i]);
        dot += static_cast<double>(a[i]) * b[i];
        dotMagnitude += std::fabs(static_cast<double>(a[i]) * b[i]);
    }
    auto va = MakePacked(w, h, a), vb = MakePacked(w, h, b);
    GpuScalar sumScalar, dotScalar;

    EXPECT_NEAR(va->SumValue(), sum, ReductionTolerance(n, sumMagnitude));
    EXPECT_NEAR(va->DotValue(vb.get()), dot, ReductionTolerance(n, dotMagnitude));
    va->Sum(&sumScalar);
    va->Dot(vb.get(), &dotScalar);
    EXPECT_NEAR(sumScalar.GetValue(), sum, ReductionTolerance(n, sumMagnitude));
    EXPECT_NEAR(dotScalar.GetValue(), dot, ReductionTolerance(n, dotMagnitude));
}

// Reductions fold power-of-two texture sides, down to a single texel.
INSTANTIATE_TEST_SUITE_P(PowerOfTwoTextures, PackedReductionTest,
                         ::testing::Values(GridShape{2, 2}, GridShape{4, 4}, GridShape{8, 2}, GridShape{8, 8},
                                           GridShape{64, 32}, GridShape{256, 512}),
                         GridShapeName);

class PackedShiftedProductTest : public FrameworkTest, public ::testing::WithParamInterface<GridShape> {
protected:
    struct Rotation {
        int shift, rotation;
    };
    static Rotation RotationOf(int offset) {
        const int rotation = ((offset % 4) + 4) % 4;
        return {(offset - rotation) / 4, rotation};
    }
    static constexpr float kFactor = 0.75f;
};

// y[n] = diagonal[n] * x[(n + d) mod N] * factor for every element offset d,
// so offsets cross texel-row ends and the ends of the texture. The GPU rounds
// diagonal * factor and then the product, two roundings: eps * |exact| bounds
// both; the accumulating form adds a third on the sum with y's old value.
TEST_P(PackedShiftedProductTest, EveryRotationMatchesTheWrappedHostProduct) {
    const int w = GetParam().width, h = GetParam().height, n = w * h;
    const std::vector<float> d = RandomValues(static_cast<size_t>(n), rng);
    const std::vector<float> x = RandomValues(static_cast<size_t>(n), rng);
    const std::vector<float> y0 = RandomValues(static_cast<size_t>(n), rng);
    auto diagonal = MakePacked(w, h, d), vx = MakePacked(w, h, x);
    PackedVector y(w, h, 0);

    for (int offset : {-w - 1, -w, -5, -3, -2, -1, 0, 1, 2, 3, 5, w, w + 1}) {
        SCOPED_TRACE("element offset " + std::to_string(offset));
        std::vector<double> product(static_cast<size_t>(n)), sum(product), productTolerance(product),
            sumTolerance(product);
        for (int i = 0; i < n; ++i) {
            const size_t k = static_cast<size_t>(i);
            const double p =
                static_cast<double>(d[k]) * kFactor * x[static_cast<size_t>(((i + offset) % n + n) % n)];
            product[k] = p;
            sum[k] = y0[k] + p;
            productTolerance[k] = kFloatEpsilon * std::fabs(p);
            sumTolerance[k] = 2.0 * kFloatEpsilon * (std::fabs(y0[k]) + std::fabs(p));
        }
        const Rotation r = RotationOf(offset);

        diagonal->MulShifted(vx.get(), &y, kFactor, r.shift, r.rotation);
        EXPECT_TRUE(AllWithin(ReadValues(y), product, productTolerance)) << "MulShifted";

        y.SetData(y0.data());
        diagonal->MulShiftedAdd(vx.get(), &y, kFactor, r.shift, r.rotation);
        EXPECT_TRUE(AllWithin(ReadValues(y), sum, sumTolerance)) << "MulShiftedAdd";
    }
}

TEST_P(PackedShiftedProductTest, RotationOutsideZeroToThreeLeavesTheDestinationAlone) {
    const int w = GetParam().width, h = GetParam().height;
    const size_t n = static_cast<size_t>(w * h);
    auto diagonal = MakePacked(w, h, RandomValues(n, rng));
    auto x = MakePacked(w, h, RandomValues(n, rng));
    const std::vector<float> before = RandomValues(n, rng);
    auto y = MakePacked(w, h, before);
    const GLuint texture = y->Texture();

    for (int rotation : {-1, 4}) {
        diagonal->MulShifted(x.get(), y.get(), 1.0f, 0, rotation);
        diagonal->MulShiftedAdd(x.get(), y.get(), 1.0f, 1, rotation);
    }
    EXPECT_EQ(y->Texture(), texture);
    EXPECT_TRUE(SameValues(ReadValues(*y), before));
}

INSTANTIATE_TEST_SUITE_P(Shapes, PackedShiftedProductTest,
                         ::testing::Values(GridShape{16, 8}, GridShape{12, 6}, GridShape{8, 2}),
                         GridShapeName);

}  // namespace
