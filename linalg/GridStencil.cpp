#include "linalg/GridStencil.h"

#include <algorithm>
#include <utility>

GridStencil::GridStencil(int width, int height, std::vector<StencilOffset> offsets)
    : m_iWidth(width > 0 ? width : 0), m_iHeight(height > 0 ? height : 0), m_offsets(std::move(offsets)) {
    m_coefficients.assign(m_offsets.size(), std::vector<double>(static_cast<std::size_t>(Points()), 0.0));
}

int GridStencil::FindTap(int dx, int dy) const {
    for (int tap = 0; tap < NumTaps(); ++tap)
        if (m_offsets[static_cast<std::size_t>(tap)] == StencilOffset{dx, dy}) return tap;
    return -1;
}

long long GridStencil::ElementOffset(int tap) const {
    const StencilOffset& offset = Offset(tap);
    return static_cast<long long>(offset.dy) * m_iWidth + offset.dx;
}

bool GridStencil::Reaches(int tap, int x, int y) const {
    const StencilOffset& offset = Offset(tap);
    return Contains(x, y) && Contains(x + offset.dx, y + offset.dy);
}

void GridStencil::Set(int tap, int x, int y, double value) {
    if (!Reaches(tap, x, y)) return;
    m_coefficients[static_cast<std::size_t>(tap)]
                  [static_cast<std::size_t>(static_cast<long long>(y) * m_iWidth + x)] = value;
}

void GridStencil::SetCoefficients(int tap, std::vector<double> values) {
    std::vector<double>& coefficients = m_coefficients[static_cast<std::size_t>(tap)];
    coefficients = std::move(values);
    coefficients.resize(static_cast<std::size_t>(Points()), 0.0);
    // Only rows and columns along the edges can reach outside.
    const StencilOffset& offset = Offset(tap);
    const auto clear = [&](int x, int y) {
        coefficients[static_cast<std::size_t>(static_cast<long long>(y) * m_iWidth + x)] = 0.0;
    };
    for (int y = 0; y < m_iHeight; ++y) {
        if (!Contains(0, y + offset.dy)) {
            for (int x = 0; x < m_iWidth; ++x) clear(x, y);
            continue;
        }
        for (int x = 0; x < std::min(-offset.dx, m_iWidth); ++x) clear(x, y);
        for (int x = std::max(0, m_iWidth - offset.dx); x < m_iWidth; ++x) clear(x, y);
    }
}

double GridStencil::At(int tap, int x, int y) const {
    if (!Reaches(tap, x, y)) return 0.0;
    return m_coefficients[static_cast<std::size_t>(tap)]
                         [static_cast<std::size_t>(static_cast<long long>(y) * m_iWidth + x)];
}

void GridStencil::Apply(const double* u, double* y) const {
    for (int row = 0; row < m_iHeight; ++row)
        for (int column = 0; column < m_iWidth; ++column) {
            const long long n = static_cast<long long>(row) * m_iWidth + column;
            double sum = 0.0;
            for (int tap = 0; tap < NumTaps(); ++tap)
                if (Reaches(tap, column, row))
                    sum += m_coefficients[static_cast<std::size_t>(tap)][static_cast<std::size_t>(n)] *
                           u[n + ElementOffset(tap)];
            y[n] = sum;
        }
}

void GridStencil::Residual(const double* b, const double* u, double* r) const {
    Apply(u, r);
    for (long long n = 0; n < Points(); ++n) r[n] = b[n] - r[n];
}
