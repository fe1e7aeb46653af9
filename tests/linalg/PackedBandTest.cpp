// The packed layout (padding, conversions), band matrices (whose products
// above the fused limit run the four rotations of the shifted product) and
// grid operators against host models in double.
#include <set>

#include "linalg/GridOperatorBuilder.h"
#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

using P = PackedVector;
using PackedTest = LinalgTest;

// A 5 x 4 grid takes a 3 x 2 texture whose last texel is half padding. The
// texture may come from the pool holding another vector's values; neither
// they nor a Fill may reach a reduction.
TEST_F(PackedTest, ThePaddingOfAnOddGridAddsNothing) {
    std::vector<std::unique_ptr<P>> previous(1);
    for (const TextureEntry& entry : g_resourcePool->Textures())
        if (!entry.used && entry.desc.width == 3 && entry.desc.height == 2) previous.push_back(nullptr);
    for (auto& vector : previous) vector = Make<P>(6, 4, Floats(24, 1));
    previous.clear();
    P odd(5, 4, 0);
    EXPECT_EQ(odd.SumValue(), 0.0f);
    odd.Fill(2);
    EXPECT_EQ(odd.SumValue(), 40.0f);
}

class PackedConversionTest : public LinalgParamTest<Shape> {};

// Sides that are not powers of two catch samples placed on texel corners
// instead of centres: rounding then picks the neighbouring texel. Odd sides
// and a column longer than a texture take textures the layout chooses.
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
                                           Shape{14, 2}, Shape{20, 36}, Shape{5, 3}, Shape{1, 1}, Shape{301, 199},
                                           Shape{1, 40000}),
                         ShapeName);

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

// y = [y0 if accumulating] + A x + sign * c, as op and correction decide;
// the correction by y itself comes after the product. SubtractProduct:
// y = c - A x, c taken before y is written.
TEST_P(BandProductTest, EveryFormOfTheProductMatchesTheHost) {
    const Shape s = GetParam().shape;
    const int n = s.w * s.h;
    const HostBand host = RandomBand(s.w, s.h, RandomOffsets(GetParam(), 61), 62);
    std::unique_ptr<BandMatrix> matrix(Upload(host));
    EXPECT_EQ(matrix->IsFused(), GetParam().diagonals <= BandMatrix::MaxFusedDiagonals());
    const Floats x = Quarters(n, 71), c = Quarters(n, 72), y0 = Quarters(n, 73);
    auto vx = Make<P>(s.w, s.h, x), vc = Make<P>(s.w, s.h, c), y = Make<P>(s.w, s.h, y0);
    const Doubles ax = host.Multiply(ToDoubles(x));
    enum Call { kProduct, kAdd, kSubtract };
    enum C { kNone, kOther, kY };
    struct Form {
        Call call;
        int op;
        C c;
    };
    const char* const callNames[] = {"MultiplyVector", "MultiplyVectorAdd", "SubtractProduct"};
    for (const Form f : {Form{kProduct, 0, kNone}, Form{kProduct, 1, kOther}, Form{kProduct, 2, kOther},
                         Form{kProduct, 1, kNone}, Form{kProduct, 0, kOther}, Form{kAdd, 0, kNone},
                         Form{kAdd, 1, kOther}, Form{kAdd, 2, kOther}, Form{kProduct, 0, kY}, Form{kProduct, 1, kY},
                         Form{kProduct, 2, kY}, Form{kAdd, 0, kY}, Form{kAdd, 1, kY}, Form{kAdd, 2, kY},
                         Form{kSubtract, 0, kOther}, Form{kSubtract, 0, kY}}) {
        SCOPED_TRACE(::testing::Message() << callNames[f.call] << " op " << f.op << " c " << f.c);
        const Floats& correction = f.c == kY ? y0 : c;
        Doubles expected(ax);
        for (size_t i = 0; i < expected.size(); ++i) {
            if (f.call == kSubtract) {
                expected[i] = correction[i] - ax[i];
                continue;
            }
            expected[i] += f.call == kAdd ? y0[i] : 0.0;
            const double sign = f.c == kNone ? 0.0 : f.op == 1 ? 1.0 : f.op == 2 ? -1.0 : 0.0;
            expected[i] += sign * (f.c == kY ? expected[i] : c[i]);
        }
        y->SetData(y0.data(), y0.size());
        GpuVector* const cArgument = f.c == kNone ? nullptr : f.c == kY ? y.get() : vc.get();
        if (f.call == kAdd)
            matrix->MultiplyVectorAdd(f.op, vx.get(), cArgument, y.get());
        else if (f.call == kProduct)
            matrix->MultiplyVector(f.op, vx.get(), cArgument, y.get());
        else
            matrix->SubtractProduct(vx.get(), cArgument, y.get());
        EXPECT_TRUE(Near(Values(*y), expected));
    }
}

// Offsets cross texel-row ends and, in the wide cases, most of the matrix;
// 40 diagonals are more than a one-pass product takes on common drivers.
INSTANTIATE_TEST_SUITE_P(Matrices, BandProductTest,
                         ::testing::Values(BandCase{{16, 8}, 6, 35}, BandCase{{12, 6}, 7, 71}, BandCase{{10, 6}, 6, 59},
                                           BandCase{{32, 16}, 9, 96}, BandCase{{64, 64}, 5, 4095},
                                           BandCase{{17, 15}, 40, 120}, BandCase{{9, 7}, 6, 40},
                                           BandCase{{13, 5}, 5, 64}),
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

// A grid operator's matrix, dense and row-major, as its diagonals on the GPU
// hold it: entry n of the diagonal of key N + d is row n, column n + d.
Floats DenseFromGpu(BandMatrix& matrix) {
    const size_t n = static_cast<size_t>(matrix.Width() * matrix.Height());
    Floats dense(n * n, 0.0f);
    for (int j = 0; j < matrix.NumDiagonals(); ++j) {
        const long offset = matrix.KeyAt(j) - static_cast<long>(n);
        const Floats diagonal = Values(*matrix.GetDiagonal(matrix.KeyAt(j)));
        for (size_t row = 0; row < n; ++row) {
            const long column = static_cast<long>(row) + offset;
            if (diagonal[row] == 0.0f) continue;
            if (column >= 0 && column < static_cast<long>(n))
                dense[row * n + static_cast<size_t>(column)] += diagonal[row];
            else
                ADD_FAILURE() << "row " << row << " reaches column " << column << " outside the matrix";
        }
    }
    return dense;
}

struct StencilCase {
    Shape shape;
    std::vector<StencilOffset> taps;
};
std::ostream& operator<<(std::ostream& out, const StencilCase& c) {
    return out << c.shape << ", " << c.taps.size() << " taps";
}

const std::vector<StencilOffset> kFivePoint = {{0, 0}, {-1, 0}, {1, 0}, {0, -1}, {0, 1}};
const std::vector<StencilOffset> kNinePoint = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {0, 0},
                                               {1, 0},   {-1, 1}, {0, 1},  {1, 1}};

// Multiples of 1/4, different from tap to tap and point to point.
double TapValue(int tap, int x, int y) { return ((tap * 7 + x * 3 + y * 5) % 13 - 6) * 0.25; }

class GridOperatorTest : public LinalgParamTest<StencilCase> {};

// The matrix is assembled here entry by entry from the stencil's meaning: row
// (x, y), column (x + dx, y + dy) wherever that point is on the grid. Each
// kind of coefficient takes turns; arrays and functions give NaN where the
// neighbour is off the grid, which must be neither read nor asked for. New
// coefficients through SetStencil reach the GPU.
TEST_P(GridOperatorTest, HoldsTheStencilsEntriesAndNoneAcrossTheGridsEdge) {
    const int w = GetParam().shape.w, h = GetParam().shape.h, n = w * h;
    const auto onGrid = [&](int x, int y) { return x >= 0 && x < w && y >= 0 && y < h; };
    GridOperatorBuilder builder(w, h);
    Doubles expected(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0);
    for (int tap = 0; tap < static_cast<int>(GetParam().taps.size()); ++tap) {
        const StencilOffset o = GetParam().taps[static_cast<size_t>(tap)];
        const auto value = [=](int x, int y) {
            if (!onGrid(x + o.dx, y + o.dy)) return std::nan("");
            return tap % 3 == 0 ? TapValue(tap, 0, 0) : TapValue(tap, x, y);
        };
        Doubles values;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                values.push_back(value(x, y));
                if (onGrid(x + o.dx, y + o.dy))
                    expected[static_cast<size_t>((y * w + x) * n + (y + o.dy) * w + x + o.dx)] += value(x, y);
            }
        if (tap % 3 == 0) builder.Tap(o.dx, o.dy, TapValue(tap, 0, 0));
        if (tap % 3 == 1) builder.Tap(o.dx, o.dy, values);
        if (tap % 3 == 2) builder.Tap(o.dx, o.dy, value);
    }
    const std::unique_ptr<GridOperator> matrix = builder.Build();
    ASSERT_NE(matrix, nullptr);
    EXPECT_TRUE(Near(DenseFromGpu(*matrix), expected));

    GridStencil doubled = matrix->Stencil();
    for (int tap = 0; tap < doubled.NumTaps(); ++tap)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) doubled.Set(tap, x, y, 2 * doubled.At(tap, x, y));
    ASSERT_TRUE(matrix->SetStencil(doubled));
    for (double& entry : expected) entry *= 2;
    EXPECT_TRUE(Near(DenseFromGpu(*matrix), expected)) << "after SetStencil";
}

// The long reaches run from one side of the grid to the other, up to the
// band's last keys.
INSTANTIATE_TEST_SUITE_P(Stencils, GridOperatorTest,
                         ::testing::Values(StencilCase{{10, 6}, kFivePoint}, StencilCase{{12, 8}, kNinePoint},
                                           StencilCase{{8, 6}, {{0, 0}, {7, 0}, {-7, 5}, {3, -2}, {-2, -5}}},
                                           StencilCase{{9, 7}, kFivePoint}, StencilCase{{7, 5}, kNinePoint}),
                         [](const ::testing::TestParamInfo<StencilCase>& info) {
                             const Shape shape = info.param.shape;
                             return std::to_string(shape.w) + "x" + std::to_string(shape.h) + "_" +
                                    std::to_string(info.param.taps.size()) + "taps";
                         });

// -div(k grad u) + c u assembled here by finite volumes, face by face: a face
// between two cells adds k_face / h^2 to both diagonals and takes it from the
// two couplings, k_face the harmonic mean of the cells' k; a face on the edge
// adds the cell's own k / h^2 to its diagonal. k jumps a hundredfold across a
// column and has one cell of 9.
TEST_F(BandMatrixTest, TheDiffusionOperatorIsTheFiniteVolumeAssembly) {
    const auto k = [](int x, int y) { return x == 1 && y == 5 ? 9.0 : x < 10 ? 1.0 : 100.0; };
    const auto c = [](int x, int y) { return 0.25 * (x + y); };
    const double spacing = 0.5, perArea = 1 / (spacing * spacing);
    Doubles expected(kN * kN, 0.0);
    const auto entry = [&](int p, int q) -> double& { return expected[static_cast<size_t>(p * kN + q)]; };
    const auto innerFace = [&](int p, int q, double k1, double k2) {
        const double face = 2 * k1 * k2 / (k1 + k2) * perArea;
        entry(p, p) += face, entry(q, q) += face, entry(p, q) -= face, entry(q, p) -= face;
    };
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int p = y * kW + x;
            entry(p, p) += c(x, y) + ((x == 0) + (x == kW - 1) + (y == 0) + (y == kH - 1)) * k(x, y) * perArea;
            if (x + 1 < kW) innerFace(p, p + 1, k(x, y), k(x + 1, y));
            if (y + 1 < kH) innerFace(p, p + kW, k(x, y), k(x, y + 1));
        }
    const std::unique_ptr<GridOperator> matrix = MakeDiffusionOperator(kW, kH, k, c, spacing);
    ASSERT_NE(matrix, nullptr);
    EXPECT_TRUE(Near(DenseFromGpu(*matrix), expected, 400 * perArea * FLT_EPSILON));
}

}  // namespace
}  // namespace lt
