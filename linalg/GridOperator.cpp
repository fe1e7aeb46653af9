#include "linalg/GridOperator.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "gpu/Framework.h"
#include "linalg/PackedVector.h"

namespace {

bool Inside(const StencilOffset& offset, int width, int height) {
    return std::llabs(offset.dx) < width && std::llabs(offset.dy) < height;
}

long long ElementOffset(const StencilOffset& offset, int width) {
    return static_cast<long long>(offset.dy) * width + offset.dx;
}

}  // namespace

bool GridOperator::CheckTaps(const char* call, int width, int height,
                             const std::vector<StencilOffset>& offsets) {
    if (width < 1 || height < 1) return Refuse(call, "a %dx%d grid has no points", width, height);
    // Keys run up to 2N - 1 and must stay countable in an int.
    const long long points = static_cast<long long>(width) * height;
    if (points > INT_MAX / 2)
        return Refuse(call, "a %dx%d grid has %lld points; band keys, up to 2N - 1, allow at most %d", width,
                      height, points, INT_MAX / 2);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const StencilOffset& tap = offsets[i];
        if (!Inside(tap, width, height))
            return Refuse(call, "tap (%d, %d) reaches past a %dx%d grid from every point", tap.dx, tap.dy,
                          width, height);
        for (std::size_t j = 0; j < i; ++j) {
            const StencilOffset& earlier = offsets[j];
            if (tap == earlier) return Refuse(call, "tap (%d, %d) is given twice", tap.dx, tap.dy);
            if (ElementOffset(tap, width) == ElementOffset(earlier, width))
                return Refuse(call,
                              "taps (%d, %d) and (%d, %d) both fall on element offset %lld of a grid %d wide",
                              earlier.dx, earlier.dy, tap.dx, tap.dy, ElementOffset(tap, width), width);
        }
    }
    return true;
}

bool GridOperator::CheckCoefficients(const char* call, const GridStencil& stencil) {
    for (int tap = 0; tap < stencil.NumTaps(); ++tap) {
        const std::vector<double>& coefficients = stencil.Coefficients(tap);
        for (std::size_t n = 0; n < coefficients.size(); ++n) {
            const double value = coefficients[n];
            if (std::isfinite(value) && std::fabs(value) <= FLT_MAX) continue;
            const StencilOffset& offset = stencil.Offset(tap);
            const long long x = static_cast<long long>(n) % stencil.Width(),
                            y = static_cast<long long>(n) / stencil.Width();
            return Refuse(call, "tap (%d, %d) at point (%lld, %lld) is %g, not a finite float", offset.dx,
                          offset.dy, x, y, value);
        }
    }
    return true;
}

std::unique_ptr<GridOperator> GridOperator::Create(GridStencil stencil) {
    const char* const call = "GridOperator::Create";
    if (!CheckTaps(call, stencil.Width(), stencil.Height(), stencil.Offsets()) ||
        !CheckCoefficients(call, stencil))
        return nullptr;
    std::unique_ptr<GridOperator> result(new GridOperator(std::move(stencil)));
    // A matrix or diagonal the GPU cannot hold has said why.
    if (!result->IsUsable() || result->NumDiagonals() != result->m_stencil.NumTaps()) return nullptr;
    if (!result->UploadCoefficients()) return nullptr;
    return result;
}

GridOperator::GridOperator(GridStencil stencil) : BandMatrix(stencil.Width(), stencil.Height()) {
    if (!IsUsable()) return;
    std::vector<int> keys;
    for (int tap = 0; tap < stencil.NumTaps(); ++tap)
        keys.push_back(static_cast<int>(stencil.Points() + stencil.ElementOffset(tap)));
    BandMatrix::SetDiagonals(keys.data(), static_cast<int>(keys.size()));
    // Only now: SetDiagonals first clears the matrix, and Clear the stencil.
    m_stencil = std::move(stencil);
}

bool GridOperator::UploadCoefficients() {
    std::vector<float> diagonal(static_cast<std::size_t>(m_stencil.Points()));
    for (int tap = 0; tap < m_stencil.NumTaps(); ++tap) {
        const std::vector<double>& coefficients = m_stencil.Coefficients(tap);
        for (std::size_t n = 0; n < diagonal.size(); ++n) diagonal[n] = static_cast<float>(coefficients[n]);
        if (!m_pDiagonals[tap].SetData(diagonal.data(), diagonal.size())) return false;
    }
    return true;
}

bool GridOperator::SetStencil(const GridStencil& stencil) {
    const char* const call = "GridOperator::SetStencil";
    if (stencil.Width() != m_stencil.Width() || stencil.Height() != m_stencil.Height())
        return Refuse(call, "a stencil of a %dx%d grid for an operator on %dx%d", stencil.Width(),
                      stencil.Height(), m_stencil.Width(), m_stencil.Height());
    if (stencil.NumTaps() != m_stencil.NumTaps())
        return Refuse(call, "the stencil has %d taps, the operator %d", stencil.NumTaps(),
                      m_stencil.NumTaps());
    for (int tap = 0; tap < stencil.NumTaps(); ++tap) {
        const StencilOffset &given = stencil.Offset(tap), &own = m_stencil.Offset(tap);
        if (!(given == own))
            return Refuse(call, "tap %d is (%d, %d) where the operator's is (%d, %d): same taps, same order",
                          tap, given.dx, given.dy, own.dx, own.dy);
    }
    if (!CheckCoefficients(call, stencil)) return false;
    m_stencil = stencil;
    return UploadCoefficients();
}

bool GridOperator::SetDiagonal(GpuVector*, int) {
    return Refuse("GridOperator::SetDiagonal",
                  "the diagonals hold the stencil's coefficients: change them with SetStencil");
}

void GridOperator::SetDiagonals(const int*, int) {
    Refuse("GridOperator::SetDiagonals",
           "the diagonals are the stencil's taps: make another operator for other taps");
}

void GridOperator::Clear() {
    BandMatrix::Clear();
    m_stencil = GridStencil(m_iWidth, m_iHeight, {});
}
