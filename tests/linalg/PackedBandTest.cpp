// The packed layout (conversions, reductions, the four rotations of the
// shifted product) and band matrices against host models in double.
#include <set>

#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

using P = PackedVector;
using PackedTest = LinalgTest;

TEST_F(PackedTest, ReadReducedAddsTheChannels) {
    auto texel = Make<P>(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(texel->ReadReduced(texel->Texture()), 10.0f);
}

class PackedConversionTest : public LinalgParamTest<Shape> {};

// Sides that are not powers of two catch samples placed on texel corners
// instead of centres: rounding then picks the neighbouring texel.
TEST_P(PackedConversionTest, PackFromKeepsTheOrderAndUnpackIntoRestoresRed) {
    const int w = GetParam().w, h = GetParam().h;
    const Floats values = Quarters(w * h, 31, 1000);
    auto unpacked = Make(w, h, values);
    P packed(w, h, 0);
    packed.PackFrom(unpacked.get());
    EXPECT_TRUE(Near(Values(packed), values));
    unpacked->Fill(7);
    packed.UnpackInto(unpacked.get());
    Floats expected(4 * values.size(), 0.0f);
    for (size_t n = 0; n < values.size(); ++n) expected[4 * n] = values[n];
    EXPECT_TRUE(Near(Texels(*unpacked), expected)) << "red restored, green, blue and alpha 0";
}

INSTANTIATE_TEST_SUITE_P(Shapes, PackedConversionTest,
                         ::testing::Values(Shape{4, 2}, Shape{8, 8}, Shape{64, 32}, Shape{12, 22},
                                           Shape{28, 6}, Shape{100, 10}, Shape{6, 4}, Shape{10, 6}, Shape{2, 2},
                                           Shape{14, 2}, Shape{20, 36}),
                         ShapeName);

class PackedShiftedProductTest : public LinalgParamTest<Shape> {};

// An element offset d runs as rotation d mod 4 and texel shift (d - rotation) / 4.
TEST_P(PackedShiftedProductTest, EveryRotationMatchesTheWrappedHostProduct) {
    const int w = GetParam().w, h = GetParam().h, n = w * h;
    const Floats d = Quarters(n, 51), x = Quarters(n, 52), y0 = Quarters(n, 53);
    auto vd = Make<P>(w, h, d), vx = Make<P>(w, h, x), y = Make<P>(w, h, y0);
    for (int offset : {-w - 1, -w, -5, -3, -2, -1, 0, 1, 2, 3, 5, w, w + 1}) {
        SCOPED_TRACE("element offset " + std::to_string(offset));
        const int rotation = (offset % 4 + 4) % 4, shift = (offset - rotation) / 4;
        const Doubles product = ShiftedProduct(d, x, 0.75, offset);
        vd->MulShifted(vx.get(), y.get(), 0.75f, shift, rotation);
        EXPECT_TRUE(Near(Values(*y), product));
        y->SetData(y0.data(), y0.size());
        vd->MulShiftedAdd(vx.get(), y.get(), 0.75f, shift, rotation);
        Doubles sum = product;
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += y0[i];
        EXPECT_TRUE(Near(Values(*y), sum)) << "accumulated";
    }
    y->SetData(y0.data(), y0.size());
    for (int rotation : {-1, 4}) {
        vd->MulShifted(vx.get(), y.get(), 1, 0, rotation);
        vd->MulShiftedAdd(vx.get(), y.get(), 1, 1, rotation);
    }
    EXPECT_TRUE(Near(Values(*y), y0)) << "rotations outside 0..3 do nothing";
}

INSTANTIATE_TEST_SUITE_P(Shapes, PackedShiftedProductTest,
                         ::testing::Values(Shape{16, 8}, Shape{12, 6}, Shape{8, 2}, Shape{10, 6}), ShapeName);

struct BandCase {
    Shape shape;
    int diagonals, reach;  // offsets drawn from [-reach, reach]
};

class BandProductTest : public LinalgParamTest<BandCase> {};

// Distinct random offsets, at least one of each rotation.
std::vector<int> RandomOffsets(const BandCase& c, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> draw(-c.reach, c.reach);
    std::set<int> seen;
    std::vector<int> offsets;
    while (static_cast<int>(offsets.size()) < c.diagonals) {
        const int offset = draw(rng), rotation = (offset % 4 + 4) % 4;
        const bool needed = offsets.size() >= 4 || static_cast<int>(offsets.size()) == rotation;
        if (needed && seen.insert(offset).second) offsets.push_back(offset);
    }
    return offsets;
}

// y = [y0 if accumulating] + A x + sign * c, as op and correction decide.
TEST_P(BandProductTest, EveryFormOfTheProductMatchesTheHost) {
    const Shape s = GetParam().shape;
    const int n = s.w * s.h;
    const HostBand host = RandomBand(s.w, s.h, RandomOffsets(GetParam(), 61), 62);
    std::unique_ptr<BandMatrix> matrix(Upload(host));
    const Floats x = Quarters(n, 71), c = Quarters(n, 72), y0 = Quarters(n, 73);
    auto vx = Make<P>(s.w, s.h, x), vc = Make<P>(s.w, s.h, c), y = Make<P>(s.w, s.h, y0);
    const Doubles ax = host.Multiply(ToDoubles(x));
    struct Form {
        bool add;
        int op;
        bool passC;
        int sign;
    };
    for (const Form f : {Form{false, 0, false, 0}, Form{false, 1, true, 1}, Form{false, 2, true, -1},
                         Form{false, 1, false, 0}, Form{false, 0, true, 0}, Form{true, 0, false, 0},
                         Form{true, 1, true, 1}, Form{true, 2, true, -1}}) {
        SCOPED_TRACE(::testing::Message() << (f.add ? "MultiplyVectorAdd" : "MultiplyVector") << " op "
                                          << f.op << (f.passC ? " with c" : " without c"));
        Doubles expected(ax);
        for (size_t i = 0; i < expected.size(); ++i) expected[i] += (f.add ? y0[i] : 0.0) + f.sign * c[i];
        y->SetData(y0.data(), y0.size());
        if (f.add)
            matrix->MultiplyVectorAdd(f.op, vx.get(), f.passC ? vc.get() : nullptr, y.get());
        else
            matrix->MultiplyVector(f.op, vx.get(), f.passC ? vc.get() : nullptr, y.get());
        EXPECT_TRUE(Near(Values(*y), expected));
    }
}

// Offsets cross texel-row ends and, in the wide cases, most of the matrix.
INSTANTIATE_TEST_SUITE_P(Matrices, BandProductTest,
                         ::testing::Values(BandCase{{16, 8}, 6, 35}, BandCase{{12, 6}, 7, 71}, BandCase{{10, 6}, 6, 59},
                                           BandCase{{32, 16}, 9, 96}, BandCase{{64, 64}, 5, 4095}),
                         [](const ::testing::TestParamInfo<BandCase>& info) {
                             const BandCase& c = info.param;
                             return std::to_string(c.shape.w) + "x" + std::to_string(c.shape.h) + "_" +
                                    std::to_string(c.diagonals) + "diagonals";
                         });

using BandMatrixTest = LinalgTest;
constexpr int kW = 16, kH = 8, kN = kW * kH;

TEST_F(BandMatrixTest, AnEmptyMatrixLeavesYAndFindDiagonalFindsTheFirstOfTwins) {
    BandMatrix matrix(kW, kH);
    const Floats y0 = Quarters(kN, 81);
    auto x = Make<P>(kW, kH, Quarters(kN, 82)), y = Make<P>(kW, kH, y0);
    matrix.MultiplyVector(0, x.get(), nullptr, y.get());
    EXPECT_TRUE(Near(Values(*y), y0));
    const int keys[] = {kN, kN + 1, kN, kN - 4};
    matrix.SetDiagonals(keys, 4);
    EXPECT_EQ(matrix.FindDiagonal(kN), 0);
    EXPECT_EQ(matrix.FindDiagonal(kN - 4), 3);
    EXPECT_EQ(matrix.FindDiagonal(kN + 2), -1);
}

TEST_F(BandMatrixTest, SetDiagonalsReleasesTheDiagonalsAlreadyHeld) {
    const long used = UsedTextures();
    const int instances = P::Instances();
    BandMatrix matrix(kW, kH);
    const int first[] = {kN - 1, kN, kN + 1}, second[] = {kN - kW, kN + kW};
    matrix.SetDiagonals(first, 3);
    matrix.SetDiagonals(second, 2);
    EXPECT_EQ(UsedTextures(), used + 2);
    EXPECT_EQ(P::Instances(), instances + 2);
    EXPECT_EQ(matrix.FindDiagonal(kN), -1);
    EXPECT_EQ(matrix.FindDiagonal(kN + kW), 1);
    matrix.Clear();
    EXPECT_EQ(UsedTextures(), used);
}

// Every diagonal of the demo's matrix, boundary rows and columns included,
// as the host builds it (e = c^2 dt^2 / (2 dx dy) in double, stored as float).
TEST_F(BandMatrixTest, TheWaveMatrixHoldsTheImplicitStencilOfItsGrid) {
    WaveSystemMatrix wave(kW, kH, 2.0f, 0.3f, 1.0f, 0.5f);
    EXPECT_FLOAT_EQ(wave.PreFactor(), 0.36f);
    const HostBand host = host::WaveSystem(kW, kH, wave.PreFactor());
    for (size_t k = 0; k < host.offsets.size(); ++k)
        EXPECT_TRUE(Near(Values(*wave.GetDiagonal(kN + host.offsets[k])), host.diagonals[k]))
            << "offset " << host.offsets[k];
}

}  // namespace
}  // namespace lt
