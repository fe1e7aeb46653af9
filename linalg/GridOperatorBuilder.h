#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

/// \file
/// Grid operators assembled tap by tap, and the diffusion operator.

#include "linalg/GridOperator.h"
#include "linalg/GridStencil.h"

/// A value at every point (x, y) of a W x H grid: one for all, W*H of them in
/// point order (y W + x), or a function of (x, y).
class GridCoefficient {
public:
    /// The same value at every point.
    GridCoefficient(double constant) : m_constant(constant) {}
    /// One value per point, in point order (y W + x).
    GridCoefficient(std::vector<double> values) : m_values(std::move(values)), m_bArray(true) {}
    /// atPoint(x, y) at each point: anything callable with two ints that
    /// returns a double.
    template <typename Function,
              typename = std::enable_if_t<std::is_invocable_r_v<double, const Function&, int, int>>>
    GridCoefficient(Function atPoint) : m_atPoint(std::move(atPoint)) {}

    /// Refuses, naming call and what the values are for, an array whose length
    /// is not the grid's number of points.
    bool CheckLength(const char* call, const char* what, int width, int height) const;
    /// The value at point (x, y) of a grid this wide.
    double At(int x, int y, int width) const;

private:
    double m_constant = 0.0;
    std::vector<double> m_values;
    bool m_bArray = false;
    std::function<double(int, int)> m_atPoint;
};

/// Assembles a grid operator tap by tap:
///
///     auto laplacian = GridOperatorBuilder(w, h)
///         .Tap(0, 0, 4.0).Tap(-1, 0, -1.0).Tap(1, 0, -1.0).Tap(0, -1, -1.0).Tap(0, 1, -1.0)
///         .Build();
///
/// Row (x, y) of the operator takes coefficient(x, y) times the value at
/// (x + dx, y + dy). Where that neighbour lies outside the grid the entry is
/// left out, as if the value there were 0 (Dirichlet): nothing wraps around to
/// the other side. The coefficient is then not used, neither read from an array
/// nor asked of a function.
class GridOperatorBuilder {
public:
    /// A builder for an operator on a width x height grid, with no taps yet.
    GridOperatorBuilder(int width, int height) : m_iWidth(width), m_iHeight(height) {}

    /// Adds the tap (dx, dy) with its coefficient; returns the builder.
    GridOperatorBuilder& Tap(int dx, int dy, GridCoefficient coefficient);

    /// The operator on the GPU, or null after one line naming the call and the
    /// reason: a tap given twice, two taps on one band diagonal (dx apart by
    /// W), a tap with |dx| >= W or |dy| >= H, an array of another length, a
    /// coefficient that is not finite or does not fit a float, a grid the GPU
    /// cannot hold.
    std::unique_ptr<GridOperator> Build() const;
    /// The same checks, on the host only: new coefficients for an operator's
    /// SetStencil, or a problem to inspect before uploading.
    std::optional<GridStencil> BuildStencil() const;

private:
    std::optional<GridStencil> Assemble(const char* call) const;

    int m_iWidth;
    int m_iHeight;
    std::vector<StencilOffset> m_offsets;
    std::vector<GridCoefficient> m_coefficients;
};

/// -div(k grad u) + c u on a W x H grid of cells of side h, with u = 0 outside
/// the grid: row (x, y) is
///
///     c u(x, y) + sum over the four faces of k_face (u(x, y) - u(neighbour)) / h^2.
///
/// A face between two cells takes the harmonic mean of their k, 2 k1 k2 / (k1 + k2),
/// so a jump in k stays sharp. A face on the grid's edge leads to u = 0 one
/// cell beyond it and takes the edge cell's own k: a grid of k = 1, c = 0 and
/// h = 1 gives the 5-point Laplacian, 4 on the diagonal, -1 to each neighbour.
/// For k > 0 and c >= 0 the operator is symmetric positive definite.
///
/// Refused (null, or nothing) for a k that is not positive and finite, a c
/// that is negative or not finite, an h that is not positive and finite, and
/// whatever GridOperatorBuilder::Build refuses.
std::unique_ptr<GridOperator> MakeDiffusionOperator(int width, int height, const GridCoefficient& k,
                                                    const GridCoefficient& c = 0.0, double h = 1.0);
/// The same on the host: new coefficients for an existing diffusion
/// operator's SetStencil.
std::optional<GridStencil> DiffusionStencil(int width, int height, const GridCoefficient& k,
                                            const GridCoefficient& c = 0.0, double h = 1.0);
