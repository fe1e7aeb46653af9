#pragma once

/// \file
/// A band matrix made from a grid stencil.

#include <memory>
#include <vector>

#include "linalg/BandMatrix.h"
#include "linalg/GridStencil.h"

/// A band matrix made from a grid stencil: each tap (dx, dy) is the diagonal of
/// key N + dy W + dx, holding the tap's coefficients rounded to float. Entries
/// whose neighbour lies outside the grid are 0, so products never wrap around
/// a row's end or the grid's.
///
/// The operator keeps the stencil it was made from, in double: residuals of
/// refined solves and coarser grids are formed from it on the host. Change the
/// coefficients through SetStencil, which keeps the two in step; writing a
/// diagonal directly through GetDiagonal leaves Stencil() describing the old
/// coefficients.
class GridOperator : public BandMatrix {
public:
    /// Null, after one line naming the call and the reason, for a stencil with
    /// duplicate or colliding taps, a tap that reaches past the grid from every
    /// point, a coefficient that is not finite or does not fit a float, or a
    /// grid with more points than band keys can count. A grid whose diagonals
    /// the GPU cannot hold is refused by the matrix or its diagonals, which say
    /// why.
    static std::unique_ptr<GridOperator> Create(GridStencil stencil);

    /// The stencil the operator was made from, in double.
    const GridStencil& Stencil() const { return m_stencil; }
    /// New coefficients for the same grid and the same taps in the same order,
    /// uploaded at once. Refused (false, the operator unchanged) otherwise, and
    /// for coefficients Create would refuse.
    bool SetStencil(const GridStencil& stencil);

    /// \name Diagonals
    /// The diagonals are the stencil's taps: these two are refused. Clear
    /// empties the stencil with the matrix.
    ///@{

    /// Refused: a diagonal changes with its tap, through SetStencil.
    bool SetDiagonal(GpuVector* v, int key) override;
    /// Refused: the taps are the stencil's.
    void SetDiagonals(const int* keys, int count) override;
    /// Releases the diagonals and empties the stencil.
    void Clear() override;
    ///@}

    /// Refuse, naming call, unless taps of these offsets can form an operator on
    /// a width x height grid: the grid small enough, every offset distinct,
    /// inside the grid (|dx| < W, |dy| < H) and landing on its own diagonal.
    static bool CheckTaps(const char* call, int width, int height, const std::vector<StencilOffset>& offsets);
    /// Refuse, naming call, unless every coefficient is finite and fits a float.
    static bool CheckCoefficients(const char* call, const GridStencil& stencil);

private:
    explicit GridOperator(GridStencil stencil);
    bool UploadCoefficients();

    GridStencil m_stencil;
};
