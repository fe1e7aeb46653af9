#include "linalg/BandTestSupport.h"

#include <cmath>

#include "linalg/BandMatrix.h"
#include "linalg/PackedVector.h"

namespace band_test {

std::string GridShapeName(const ::testing::TestParamInfo<GridShape>& info) {
    return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

std::vector<float> RandomValues(size_t count, std::mt19937& rng, float low, float high) {
    std::uniform_real_distribution<float> distribution(low, high);
    std::vector<float> values(count);
    for (float& value : values) value = distribution(rng);
    return values;
}

std::vector<double> ToDouble(const std::vector<float>& values) {
    return std::vector<double>(values.begin(), values.end());
}

std::vector<float> ReadValues(GpuVector& vector) {
    std::vector<float> values(static_cast<size_t>(vector.Size()));
    vector.GetData(values.data());
    return values;
}

std::vector<float> ReadTexels(GLuint texture, int width, int height) {
    std::vector<float> texels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, texture, 0);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_FLOAT, texels.data());
    return texels;
}

std::unique_ptr<PackedVector> MakePacked(int width, int height, const std::vector<float>& values) {
    auto vector = std::make_unique<PackedVector>(width, height, 0);
    vector->SetData(values.data());
    return vector;
}

namespace {

template <typename Term>
std::vector<double> SumOverBand(const HostBandMatrix& matrix, Term term) {
    const int size = matrix.Size();
    std::vector<double> result(static_cast<size_t>(size), 0.0);
    for (size_t k = 0; k < matrix.offsets.size(); ++k) {
        for (int row = 0; row < size; ++row) {
            const int column = row + matrix.offsets[k];
            if (column < 0 || column >= size) continue;
            result[static_cast<size_t>(row)] += term(matrix.diagonals[k][static_cast<size_t>(row)], column);
        }
    }
    return result;
}

}  // namespace

std::vector<double> HostBandMatrix::Multiply(const std::vector<double>& x) const {
    return SumOverBand(*this,
                       [&](float entry, int column) { return entry * x[static_cast<size_t>(column)]; });
}

std::vector<double> HostBandMatrix::MultiplyMagnitudes(const std::vector<double>& x) const {
    return SumOverBand(
        *this, [&](float entry, int column) { return std::fabs(entry * x[static_cast<size_t>(column)]); });
}

BandMatrix* HostBandMatrix::Upload() const {
    auto* matrix = new BandMatrix(width, height);
    std::vector<int> keys;
    for (int offset : offsets) keys.push_back(Size() + offset);
    matrix->SetDiagonals(keys.data(), static_cast<int>(keys.size()));
    for (size_t k = 0; k < offsets.size(); ++k) matrix->GetDiagonal(keys[k])->SetData(diagonals[k].data());
    return matrix;
}

HostBandMatrix RandomBandMatrix(int width, int height, const std::vector<int>& offsets, std::mt19937& rng) {
    HostBandMatrix matrix{width, height, offsets, {}};
    const int size = matrix.Size();
    for (int offset : offsets) {
        std::vector<float> diagonal = RandomValues(static_cast<size_t>(size), rng);
        for (int row = 0; row < size; ++row)
            if (row + offset < 0 || row + offset >= size) diagonal[static_cast<size_t>(row)] = 0.0f;
        matrix.diagonals.push_back(diagonal);
    }
    return matrix;
}

HostBandMatrix RandomSpdBandMatrix(int width, int height, const std::vector<int>& positiveOffsets,
                                   double margin, std::mt19937& rng) {
    HostBandMatrix matrix{width, height, {0}, {}};
    const size_t size = static_cast<size_t>(matrix.Size());
    std::vector<double> rowMagnitude(size, 0.0);
    std::vector<std::vector<float>> offDiagonals;
    for (int offset : positiveOffsets) {
        const size_t d = static_cast<size_t>(offset);
        std::vector<float> upper = RandomValues(size, rng);
        std::vector<float> lower(size, 0.0f);
        for (size_t row = 0; row < size; ++row) {
            if (row + d >= size) {
                upper[row] = 0.0f;
                continue;
            }
            lower[row + d] = upper[row];  // A[row + d][row] = A[row][row + d]
            rowMagnitude[row] += std::fabs(upper[row]);
            rowMagnitude[row + d] += std::fabs(upper[row]);
        }
        matrix.offsets.push_back(offset);
        offDiagonals.push_back(upper);
        matrix.offsets.push_back(-offset);
        offDiagonals.push_back(lower);
    }
    std::vector<float> diagonal(size);
    for (size_t row = 0; row < size; ++row) diagonal[row] = static_cast<float>(rowMagnitude[row] + margin);
    matrix.diagonals.push_back(diagonal);
    for (auto& offDiagonal : offDiagonals) matrix.diagonals.push_back(std::move(offDiagonal));
    return matrix;
}

::testing::AssertionResult AllWithin(const std::vector<float>& actual, const std::vector<double>& expected,
                                     const std::vector<double>& tolerance) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "sizes differ: " << actual.size() << " vs " << expected.size();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    int mismatches = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        const double error = std::fabs(static_cast<double>(actual[i]) - expected[i]);
        if (error <= tolerance[i]) continue;  // also false for NaN
        if (++mismatches <= 6)
            failure << "\n  element " << i << ": got " << actual[i] << ", expected " << expected[i]
                    << " (tolerance " << tolerance[i] << ")";
    }
    if (mismatches == 0) return ::testing::AssertionSuccess();
    return failure << "\n  " << mismatches << " of " << actual.size() << " elements out of tolerance";
}

::testing::AssertionResult SameValues(const std::vector<float>& actual, const std::vector<float>& expected) {
    return AllWithin(actual, ToDouble(expected), std::vector<double>(expected.size(), 0.0));
}

}  // namespace band_test
