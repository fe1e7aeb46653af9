#pragma once

/// \file
/// A grid operator by stencil taps, on the host in double.

#include <cstddef>
#include <vector>

/// One tap of a grid stencil: the neighbour (x + dx, y + dy) of point (x, y).
struct StencilOffset {
    int dx;  ///< towards larger x
    int dy;  ///< towards larger y, a grid row each
    /// The same neighbour.
    bool operator==(const StencilOffset& other) const { return dx == other.dx && dy == other.dy; }
};

/// A linear operator on the points of a W x H grid, held on the host in
/// double: row (x, y) has, for each tap, one coefficient multiplying the value
/// at (x + dx, y + dy). A tap whose neighbour lies outside the grid is not part
/// of the operator (Dirichlet): its coefficient is 0 and stays 0. Points are
/// numbered row-major, n = y W + x, as every vector numbers its elements, so
/// the coefficients of a tap are the band diagonal of element offset dy W + dx.
///
/// The GPU matrix is built from it (GridOperator), and what the GPU cannot do
/// in float is done here in double: residuals for refinement, coarse grids.
class GridStencil {
public:
    /// An empty stencil on a 0 x 0 grid.
    GridStencil() = default;
    /// Every coefficient 0. Offsets are taken as given; GridOperatorBuilder is
    /// the checked way in.
    GridStencil(int width, int height, std::vector<StencilOffset> offsets);

    /// The grid's width W.
    int Width() const { return m_iWidth; }
    /// The grid's height H.
    int Height() const { return m_iHeight; }
    /// W * H, the number of grid points and of the operator's rows.
    long long Points() const { return static_cast<long long>(m_iWidth) * m_iHeight; }
    /// How many taps the stencil has.
    int NumTaps() const { return static_cast<int>(m_offsets.size()); }
    /// Every tap's offset, in tap order.
    const std::vector<StencilOffset>& Offsets() const { return m_offsets; }
    /// The offset of this tap.
    const StencilOffset& Offset(int tap) const { return m_offsets[static_cast<std::size_t>(tap)]; }
    int FindTap(int dx, int dy) const;  ///< -1 when the stencil has no such tap
    /// dy W + dx: the band diagonal's offset.
    long long ElementOffset(int tap) const;

    /// Whether (x, y) is a point of the grid.
    bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < m_iWidth && y < m_iHeight; }
    /// Whether the tap of point (x, y) reaches a point of the grid.
    bool Reaches(int tap, int x, int y) const;
    /// Sets the tap's coefficient at point (x, y).
    /// A tap that reaches outside the grid keeps 0 whatever is set.
    void Set(int tap, int x, int y, double value);
    /// All of a tap's coefficients at once, Points() of them in point order;
    /// those that reach outside the grid become 0.
    void SetCoefficients(int tap, std::vector<double> values);
    /// The tap's coefficient at point (x, y); 0 where it reaches outside the grid.
    double At(int tap, int x, int y) const;
    /// The tap's coefficients in point order: the band diagonal's entries.
    const std::vector<double>& Coefficients(int tap) const { return m_coefficients[static_cast<std::size_t>(tap)]; }

    /// \name Products in double
    /// y = A u and r = b - A u, in double; arrays of Points() values.
    ///@{

    /// y = A u
    void Apply(const double* u, double* y) const;
    /// r = b - A u
    void Residual(const double* b, const double* u, double* r) const;
    ///@}

private:
    int m_iWidth = 0;
    int m_iHeight = 0;
    std::vector<StencilOffset> m_offsets;
    std::vector<std::vector<double>> m_coefficients;  // per tap, per point
};
