#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "linalg/BandMatrix.h"
#include "linalg/BandTestSupport.h"
#include "linalg/PackedVector.h"

using namespace band_test;

namespace {

struct RandomBandCase {
    GridShape shape;
    int offsetCount;
    int maxMagnitude;  // offsets drawn from [-maxMagnitude, maxMagnitude]
};

std::string RandomBandCaseName(const ::testing::TestParamInfo<RandomBandCase>& info) {
    return std::to_string(info.param.shape.width) + "x" + std::to_string(info.param.shape.height) + "_" +
           std::to_string(info.param.offsetCount) + "diagonals";
}

// Distinct offsets covering all four channel rotations, then any others.
std::vector<int> RandomOffsets(const RandomBandCase& c, std::mt19937& rng) {
    std::uniform_int_distribution<int> draw(-c.maxMagnitude, c.maxMagnitude);
    std::set<int> seen;
    std::vector<int> offsets;
    for (int rotation = 0; rotation < 4; ++rotation) {
        int offset;
        do offset = draw(rng);
        while (((offset % 4) + 4) % 4 != rotation || seen.count(offset) != 0);
        seen.insert(offset);
        offsets.push_back(offset);
    }
    while (static_cast<int>(offsets.size()) < c.offsetCount) {
        const int offset = draw(rng);
        if (seen.insert(offset).second) offsets.push_back(offset);
    }
    return offsets;
}

// What a product should leave in y: the optional old contents, A x, and the
// optional correction by c with its sign.
struct ProductCase {
    const char* name;
    bool accumulate;  // MultiplyVectorAdd instead of MultiplyVector
    int op;
    bool passCorrection;
    int correctionSign;  // what the op does with c: +1, -1 or 0 (ignored)
};

// clang-format off
const ProductCase kProductCases[] = {
    {"y = A x", false, 0, false, 0},
    {"op 1 adds c", false, 1, true, +1},
    {"op 2 subtracts c", false, 2, true, -1},
    {"op 1 without c", false, 1, false, 0},
    {"op 0 ignores c", false, 0, true, 0},
    {"another op ignores c", false, 3, true, 0},
    {"y += A x", true, 0, false, 0},
    {"y += A x, op 1", true, 1, true, +1},
    {"y += A x, op 2", true, 2, true, -1},
};
// clang-format on

class RandomBandProductTest : public FrameworkTest, public ::testing::WithParamInterface<RandomBandCase> {};

// Each diagonal adds one rounded product and one rounded sum to y, and the
// correction one more sum: with k diagonals, (k + 2) * eps times the sum of
// the magnitudes that enter an element bounds the float32 error.
TEST_P(RandomBandProductTest, EveryFormOfTheProductMatchesTheHostInDouble) {
    const GridShape shape = GetParam().shape;
    const size_t n = static_cast<size_t>(shape.width * shape.height);
    const HostBandMatrix host =
        RandomBandMatrix(shape.width, shape.height, RandomOffsets(GetParam(), rng), rng);
    std::unique_ptr<BandMatrix> matrix(host.Upload());
    const std::vector<float> x = RandomValues(n, rng), c = RandomValues(n, rng), y0 = RandomValues(n, rng);
    auto vx = MakePacked(shape.width, shape.height, x), vc = MakePacked(shape.width, shape.height, c);
    PackedVector y(shape.width, shape.height, 0);
    const std::vector<double> ax = host.Multiply(ToDouble(x)),
                              axMagnitude = host.MultiplyMagnitudes(ToDouble(x));
    const double roundings = static_cast<double>(host.offsets.size() + 2);

    for (const ProductCase& product : kProductCases) {
        SCOPED_TRACE(product.name);
        std::vector<double> expected(n), tolerance(n);
        for (size_t i = 0; i < n; ++i) {
            const double old = product.accumulate ? y0[i] : 0.0;
            expected[i] = old + ax[i] + product.correctionSign * static_cast<double>(c[i]);
            tolerance[i] = roundings * kFloatEpsilon * (std::fabs(old) + axMagnitude[i] + std::fabs(c[i]));
        }
        y.SetData(y0.data());  // the plain product must overwrite these
        GpuVector* correction = product.passCorrection ? vc.get() : nullptr;
        if (product.accumulate)
            matrix->MultiplyVectorAdd(product.op, vx.get(), correction, &y);
        else
            matrix->MultiplyVector(product.op, vx.get(), correction, &y);
        EXPECT_TRUE(AllWithin(ReadValues(y), expected, tolerance));
    }
}

// Offsets reach across texel-row ends and, in the wide cases, most of the
// matrix, where most entries fall outside it and are 0.
INSTANTIATE_TEST_SUITE_P(Matrices, RandomBandProductTest,
                         ::testing::Values(RandomBandCase{{16, 8}, 6, 2 * 16 + 3},
                                           RandomBandCase{{12, 6}, 7, 12 * 6 - 1},
                                           RandomBandCase{{32, 16}, 9, 3 * 32},
                                           RandomBandCase{{64, 64}, 5, 64 * 64 - 1}),
                         RandomBandCaseName);

class BandMatrixTest : public FrameworkTest {
protected:
    static constexpr int kW = 16, kH = 8, kN = kW * kH;

    std::unique_ptr<PackedVector> RandomPacked(int width = kW, int height = kH) {
        return MakePacked(width, height, RandomValues(static_cast<size_t>(width * height), rng));
    }
};

TEST_F(BandMatrixTest, AMatrixWithoutDiagonalsOnlyAppliesTheCorrection) {
    BandMatrix empty(kW, kH);
    auto x = RandomPacked(), c = RandomPacked(), y = RandomPacked();
    const std::vector<float> y0 = ReadValues(*y), cValues = ReadValues(*c);

    empty.MultiplyVector(0, x.get(), nullptr, y.get());
    EXPECT_TRUE(SameValues(ReadValues(*y), y0));

    // One rounded subtraction: eps of the magnitudes bounds it.
    empty.MultiplyVector(2, x.get(), c.get(), y.get());
    std::vector<double> expected(kN), tolerance(kN);
    for (size_t i = 0; i < kN; ++i) {
        expected[i] = static_cast<double>(y0[i]) - cValues[i];
        tolerance[i] = kFloatEpsilon * (std::fabs(y0[i]) + std::fabs(cValues[i]));
    }
    EXPECT_TRUE(AllWithin(ReadValues(*y), expected, tolerance));
}

TEST_F(BandMatrixTest, FindDiagonalReturnsTheFirstOfAKeyStoredTwice) {
    BandMatrix matrix(kW, kH);
    EXPECT_EQ(matrix.FindDiagonal(kN), -1);  // empty

    const int keys[] = {kN, kN + 1, kN, kN - 4};
    matrix.SetDiagonals(keys, 4);
    EXPECT_EQ(matrix.FindDiagonal(kN), 0);
    EXPECT_EQ(matrix.FindDiagonal(kN + 1), 1);
    EXPECT_EQ(matrix.FindDiagonal(kN - 4), 3);
    EXPECT_EQ(matrix.FindDiagonal(kN + 2), -1);
    EXPECT_EQ(matrix.GetDiagonal(kN + 2), nullptr);
    EXPECT_NE(matrix.GetDiagonal(kN), matrix.GetDiagonal(kN + 1));
}

long UsedPoolTextures() {
    long used = 0;
    for (const TextureEntry& entry : g_resourcePool->Textures()) used += entry.used ? 1 : 0;
    return used;
}

TEST_F(BandMatrixTest, SetDiagonalsAndClearGiveBackTheDiagonalsAlreadyHeld) {
    const long usedBefore = UsedPoolTextures();
    const int instancesBefore = PackedVector::Instances();
    BandMatrix matrix(kW, kH);

    const int first[] = {kN - 1, kN, kN + 1};
    matrix.SetDiagonals(first, 3);
    EXPECT_EQ(UsedPoolTextures(), usedBefore + 3);

    const int second[] = {kN - kW, kN + kW};
    matrix.SetDiagonals(second, 2);
    EXPECT_EQ(matrix.NumDiagonals(), 2);
    EXPECT_EQ(matrix.FindDiagonal(kN), -1);
    EXPECT_EQ(matrix.FindDiagonal(kN + kW), 1);
    EXPECT_EQ(UsedPoolTextures(), usedBefore + 2);
    EXPECT_EQ(PackedVector::Instances(), instancesBefore + 2);

    matrix.Clear();
    EXPECT_EQ(matrix.NumDiagonals(), 0);
    EXPECT_EQ(matrix.FindDiagonal(kN + kW), -1);
    EXPECT_EQ(UsedPoolTextures(), usedBefore);
    EXPECT_EQ(PackedVector::Instances(), instancesBefore);
}

// The diagonal receives a copy of the texels: it keeps them when the vector
// changes or goes, and the products use them.
TEST_F(BandMatrixTest, SetDiagonalCopiesTheVectorIntoTheDiagonal) {
    HostBandMatrix host = RandomBandMatrix(kW, kH, {0, 5}, rng);
    std::unique_ptr<BandMatrix> matrix(host.Upload());
    PackedVector* diagonal = matrix->GetDiagonal(kN + 5);
    std::vector<float> replacement = RandomValues(kN, rng);
    for (size_t i = kN - 5; i < kN; ++i) replacement[i] = 0.0f;  // columns past the end
    auto source = MakePacked(kW, kH, replacement);

    ASSERT_TRUE(matrix->SetDiagonal(source.get(), kN + 5));
    EXPECT_NE(diagonal->Texture(), source->Texture());
    source->Fill(3.0f);
    const GLuint diagonalTexture = diagonal->Texture();
    source.reset();
    bool handedBack = false;
    for (const TextureEntry& entry : g_resourcePool->Textures())
        handedBack = handedBack || (entry.texture == diagonalTexture && !entry.used);
    EXPECT_FALSE(handedBack) << "the diagonal's texture sits in a free pool entry";
    EXPECT_TRUE(SameValues(ReadValues(*diagonal), replacement));

    host.diagonals[1] = replacement;
    const std::vector<float> x = RandomValues(kN, rng);
    auto vx = MakePacked(kW, kH, x);
    PackedVector y(kW, kH, 0);
    matrix->MultiplyVector(0, vx.get(), nullptr, &y);
    std::vector<double> tolerance = host.MultiplyMagnitudes(ToDouble(x));
    for (double& t : tolerance) t *= 2.0 * kFloatEpsilon;  // one product, one sum
    EXPECT_TRUE(AllWithin(ReadValues(y), host.Multiply(ToDouble(x)), tolerance));
}

TEST_F(BandMatrixTest, SetDiagonalRefusesAnAbsentKeyAndAVectorOfAnotherTexture) {
    const HostBandMatrix host = RandomBandMatrix(kW, kH, {0}, rng);
    std::unique_ptr<BandMatrix> matrix(host.Upload());
    auto sameSize = RandomPacked();
    auto otherSize = RandomPacked(kW, 2 * kH);

    EXPECT_FALSE(matrix->SetDiagonal(sameSize.get(), kN + 4));
    EXPECT_FALSE(matrix->SetDiagonal(otherSize.get(), kN));
    EXPECT_TRUE(SameValues(ReadValues(*matrix->GetDiagonal(kN)), host.diagonals[0]));
}

// The demo's matrix on its 512 x 512 grid: (1 + 4e) on the diagonal and -e
// towards each grid neighbour that exists, nothing across grid-row ends or
// around the ends of the matrix. Written from the grid's geometry.
class WaveSystemMatrixTest : public FrameworkTest {
protected:
    static constexpr int kW = 512, kN = 512 * 512;
    const float e = 0.045f;  // (0.3^2 * 1^2) / (2 * 1 * 1) rounded to float

    float Entry(int row, int column) const {
        if (row == column) return static_cast<float>(1.0 + 4.0 * static_cast<double>(e));
        const int rowDistance = std::abs(row / kW - column / kW);
        const int columnDistance = std::abs(row % kW - column % kW);
        return rowDistance + columnDistance == 1 ? -e : 0.0f;
    }

    WaveSystemMatrix matrix{512, 512, 1.0f, 0.3f, 1.0f, 1.0f};
};

// A times the unit vector e_j is column j of A. Every product here is one exact product
// per element (the stored entry times 1 or 0), so the read-back is exact.
TEST_F(WaveSystemMatrixTest, UnitVectorsReadRowsZero511And512Exactly) {
    // Each row's own column, its grid neighbours, the element neighbours
    // across grid-row ends, and the columns a wrapped offset would reach.
    const int columns[] = {0,   1,   512,  kN - 1, kN - 512,  // row 0
                           511, 510, 1023,                    // row 511 (512 and kN - 1 above)
                           513, 1024};                        // row 512 (0, 511 and 512 above)
    PackedVector unit(kW, kW, 0), y(kW, kW, 0);
    std::vector<float> values(kN, 0.0f);
    const std::vector<double> exact(kN, 0.0);
    for (int column : columns) {
        SCOPED_TRACE("column " + std::to_string(column));
        values[static_cast<size_t>(column)] = 1.0f;
        unit.SetData(values.data());
        values[static_cast<size_t>(column)] = 0.0f;

        matrix.MultiplyVector(0, &unit, nullptr, &y);
        const std::vector<float> result = ReadValues(y);
        for (int row : {0, 511, 512})
            EXPECT_EQ(result[static_cast<size_t>(row)], Entry(row, column)) << "row " << row;
        std::vector<double> expected(kN, 0.0);
        for (int row = 0; row < kN; ++row) expected[static_cast<size_t>(row)] = Entry(row, column);
        EXPECT_TRUE(AllWithin(result, expected, exact)) << "the whole column";
    }
}

// Five rounded products and four sums per element: 5 * eps of the magnitudes.
TEST_F(WaveSystemMatrixTest, ProductMatchesTheFivePointStencilOnRandomData) {
    const std::vector<float> x = RandomValues(kN, rng);
    auto vx = MakePacked(kW, kW, x);
    PackedVector y(kW, kW, 0);
    matrix.MultiplyVector(0, vx.get(), nullptr, &y);

    std::vector<double> expected(kN), tolerance(kN);
    for (int row = 0; row < kN; ++row) {
        double sum = 0.0, magnitude = 0.0;
        for (int column : {row - kW, row - 1, row, row + 1, row + kW}) {
            if (column < 0 || column >= kN) continue;
            const double term = static_cast<double>(Entry(row, column)) * x[static_cast<size_t>(column)];
            sum += term;
            magnitude += std::fabs(term);
        }
        expected[static_cast<size_t>(row)] = sum;
        tolerance[static_cast<size_t>(row)] = 5.0 * kFloatEpsilon * magnitude;
    }
    EXPECT_TRUE(AllWithin(ReadValues(y), expected, tolerance));
}

}  // namespace
