#pragma once

/// \file
/// The host-side hierarchy of a multigrid V-cycle: coarse grids, Galerkin operators, smoother steps.

#include <string>
#include <vector>

#include "linalg/GridStencil.h"

/// The grids and operators of a multigrid V-cycle, formed on the host in double
/// from the finest grid's operator; the GPU cycle (MultigridPreconditioner)
/// uploads them as floats.
//
/// A W x H grid has a floor(W/2) x floor(H/2) coarse grid whose point (i, j)
/// lies on fine point (2i+1, 2j+1). Prolongation P is bilinear: a fine point on
/// a coarse one takes its value, the others the mean of the two or four coarse
/// points around them, a coarse point past the grid's edge counting 0.
/// Restriction is full weighting, R = P^T / 4, and the coarse operator is
/// R A P: 9-point whatever the fine stencil, and right for variable and
/// jumping coefficients, which no rediscretisation would be.
//
/// Grids are halved while they have more than kCoarsestPoints points and both
/// sides at least 4. The coarsest is solved exactly, by its dense inverse,
/// when it has at most kDirectSolveLimit points, and otherwise (a grid with a
/// side too short to halve) by kCoarsestSweeps sweeps of the smoother.
//
/// The smoother is Chebyshev's polynomial in D^-1 A (D the main diagonal) over
/// [bound / 4, bound], bound an upper estimate of D^-1 A's largest eigenvalue,
/// so that sweep k takes x to
///   (1 + beta_k) x - beta_k x_previous + alpha_k D^-1 (b - A x),
/// one pass reading x, the previous x, b, D^-1 and A. Its first sweep is
/// damped Jacobi. The same polynomial before and after the coarse correction
/// makes the cycle symmetric.
class MultigridHierarchy {
public:
    /// Sweeps before and after the coarse correction: on the finest grid,
    /// where they cost most and matter most, and on the coarser ones.
    static constexpr int kSweeps = 2;  ///< on the finest grid
    static constexpr int kCoarseSweeps = 1;  ///< on every coarser grid
    /// Grids are halved while they have more points than this.
    static constexpr long long kCoarsestPoints = 64;
    /// The largest coarsest grid solved by its dense inverse.
    static constexpr long long kDirectSolveLimit = 256;
    /// Smoother sweeps on a coarsest grid too large for the dense inverse.
    static constexpr int kCoarsestSweeps = 8;
    /// Element indices stay exact in the shaders' float arithmetic.
    static constexpr long long kMaxPoints = 1LL << 24;

    /// One Chebyshev sweep: x <- (1 + beta) x - beta x_previous + alpha D^-1 (b - A x).
    struct Step {
        double alpha;  ///< weight of the scaled residual
        double beta;   ///< weight of the step from the previous x
    };

    /// From the finest operator, which must be symmetric (to float precision:
    /// it is made exactly symmetric here), with a positive main diagonal and
    /// finite entries. False, with the reason, when the operator cannot serve.
    bool Build(const GridStencil& fine, std::string* reason);

    /// How many grids, the finest (level 0) included.
    int Levels() const { return static_cast<int>(m_levels.size()); }
    /// The operator on that level: the finest's own, then each R A P.
    const GridStencil& Operator(int level) const { return At(level).op; }
    /// D^-1 of that level, in point order.
    const std::vector<double>& InverseDiagonal(int level) const { return At(level).inverseDiagonal; }
    /// An upper bound on the largest eigenvalue of D^-1 A on that level.
    double SpectrumBound(int level) const { return At(level).bound; }
    /// The smoother's sweeps on that level: kSweeps on the finest, then
    /// kCoarseSweeps, and kCoarsestSweeps on a coarsest level that is not
    /// solved directly.
    const std::vector<Step>& Steps(int level) const { return At(level).steps; }
    /// Whether the coarsest grid is solved by its dense inverse.
    bool DirectCoarsest() const { return !m_coarsestInverse.empty(); }
    /// The coarsest operator's inverse: row-major, Points() squared, exactly symmetric.
    const std::vector<double>& CoarsestInverse() const { return m_coarsestInverse; }

private:
    struct Level {
        GridStencil op;
        std::vector<double> inverseDiagonal;
        double bound = 0.0;
        std::vector<Step> steps;
    };
    const Level& At(int level) const { return m_levels[static_cast<std::size_t>(level)]; }

    std::vector<Level> m_levels;
    std::vector<double> m_coarsestInverse;
};

/// R A P of a stencil whose taps reach at most one point in each direction.
GridStencil CoarseOperator(const GridStencil& fine);

/// The grid operator a band matrix of a W x H grid holds: diagonal k has
/// element offset offsets[k] (column minus row). Every nonzero entry must
/// couple a point with itself or one of its eight neighbours; an entry across
/// the grid's edge (which a band product wraps to the next row) or at another
/// offset gives false and the reason.
bool StencilOfBand(int width, int height, const std::vector<long long>& offsets,
                   const std::vector<std::vector<float>>& diagonals, GridStencil* stencil,
                   std::string* reason);
