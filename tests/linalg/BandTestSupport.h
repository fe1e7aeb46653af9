#pragma once

// Host references for the tests of packed vectors, band matrices and the
// solver: random data from fixed seeds, a band matrix kept on the host with
// its products in double, and comparisons with written-down float32 bounds.

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/GlTestMain.h"

class BandMatrix;
class GpuVector;
class PackedVector;

namespace band_test {

// One rounding of a float32 operation is at most half of this, relative.
constexpr double kFloatEpsilon = FLT_EPSILON;

struct GridShape {
    int width;
    int height;
};

std::string GridShapeName(const ::testing::TestParamInfo<GridShape>& info);

// Every vector pass and read-back renders through the framework framebuffer.
class FrameworkTest : public GlTest {
protected:
    FrameworkFramebufferScope framebuffer;
    std::mt19937 rng{20240611u};
};

std::vector<float> RandomValues(size_t count, std::mt19937& rng, float low = -1.0f, float high = 1.0f);
std::vector<double> ToDouble(const std::vector<float>& values);

std::vector<float> ReadValues(GpuVector& vector);
// All four channels of a texture, row-major, through the bound framebuffer.
std::vector<float> ReadTexels(GLuint texture, int width, int height);

std::unique_ptr<PackedVector> MakePacked(int width, int height, const std::vector<float>& values);

// A square band matrix over a width x height grid. Entries are floats, as the
// GPU stores them; products are formed in double.
struct HostBandMatrix {
    int width = 0;
    int height = 0;
    std::vector<int> offsets;
    std::vector<std::vector<float>> diagonals;  // entry n of offset d: row n, column n + d

    int Size() const { return width * height; }
    std::vector<double> Multiply(const std::vector<double>& x) const;
    // Sum over each row of |entry * x|: the scale a float32 product's error is measured against.
    std::vector<double> MultiplyMagnitudes(const std::vector<double>& x) const;
    BandMatrix* Upload() const;  // offsets must be distinct
};

// Random entries in [-1, 1]; entries whose column falls outside the matrix are
// 0, as a band matrix must hold them.
HostBandMatrix RandomBandMatrix(int width, int height, const std::vector<int>& offsets, std::mt19937& rng);

// Symmetric, with random off-diagonal entries at +-offset for each positive
// offset and a diagonal that exceeds each row's off-diagonal magnitudes by
// `margin`, which bounds the smallest eigenvalue from below.
HostBandMatrix RandomSpdBandMatrix(int width, int height, const std::vector<int>& positiveOffsets,
                                   double margin, std::mt19937& rng);

// |actual[i] - expected[i]| <= tolerance[i] for every element; names the
// first few that are not.
::testing::AssertionResult AllWithin(const std::vector<float>& actual, const std::vector<double>& expected,
                                     const std::vector<double>& tolerance);
// Bit-for-bit copies: every element equal.
::testing::AssertionResult SameValues(const std::vector<float>& actual, const std::vector<float>& expected);

}  // namespace band_test
