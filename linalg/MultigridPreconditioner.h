#pragma once

/// \file
/// Multigrid V-cycles as the preconditioner of conjugate gradients on grid operators.

#include <memory>
#include <string>
#include <vector>

#include "linalg/GpuPreconditioner.h"
#include "linalg/MultigridHierarchy.h"

class BandMatrix;
class PackedVector;
namespace multigrid {
struct Kernel;
}

/// Multigrid as the preconditioner of conjugate gradients on a grid operator:
/// z = M^-1 r is one V-cycle from z = 0 over the levels of a
/// MultigridHierarchy (two sweeps before and after each coarse correction on
/// the finest grid, one on the coarser), every level in the packed layout, in
/// GPU passes only
/// (nothing read back, no GL object made). The smoothing before and after
/// each coarse correction is the same polynomial in D^-1 A and the coarsest
/// grid is solved exactly, so M is symmetric positive definite.
//
/// A sweep is one pass reading x, the previous x, b, D^-1 and every diagonal
/// of its level; the residual one more; restricting a residual also makes the
/// coarse grid's first sweep (two targets); prolongation adds into x in one
/// pass. The finest level's product is the matrix's own, read from its
/// diagonals at every application.
//
/// The hierarchy is formed once, in double on the host: from a GridOperator's
/// stencil, or from any other band matrix's diagonals, read back. The matrix
/// must be a grid operator: symmetric, with a positive main diagonal, every
/// entry coupling a point with itself or one of its eight neighbours, and no
/// diagonal stored twice. Anything else is refused with the reason, and the
/// preconditioner is unusable. After changing the matrix's entries, call
/// Rebuild; a matrix whose diagonals changed is refused until then. The
/// preconditioner keeps the matrix's address: it must not outlive it.
class MultigridPreconditioner : public GpuPreconditioner {
public:
    /// Forms the hierarchy from the matrix; refused (unusable) when it cannot serve.
    explicit MultigridPreconditioner(BandMatrix* matrix);
    ~MultigridPreconditioner() override;  ///< Frees every level's textures.

    MultigridPreconditioner(const MultigridPreconditioner&) = delete;
    MultigridPreconditioner& operator=(const MultigridPreconditioner&) = delete;

    /// Whether a hierarchy was formed and Apply will run.
    bool IsUsable() const { return !m_levels.empty(); }
    /// Forms the hierarchy again from the matrix as it is now. False, with the
    /// reason, when it no longer serves; the preconditioner is then unusable.
    bool Rebuild();

    /// z = one V-cycle applied to r.
    void Apply(GpuVector* r, GpuVector* z) override;

    /// The hierarchy on the host, in double.
    const MultigridHierarchy& Hierarchy() const { return m_hierarchy; }

    /// What one Apply asks of the rasteriser, derived from its passes: texels
    /// read counts every texture lookup.
    struct Work {
        long long passes = 0;         ///< fragment passes drawn
        long long fragments = 0;      ///< fragments shaded in all
        long long texelsRead = 0;     ///< texture lookups in all
        long long texelsWritten = 0;  ///< texels written in all
    };
    /// The work of one Apply, counted when the levels were made.
    Work CycleWork() const { return m_cycleWork; }

private:
    struct Level;
    struct Sweep;

    bool Build(const char* call);
    bool ReadStencil(GridStencil* stencil, std::string* reason) const;
    bool CheckMatrix(std::string* reason) const;
    bool MakeLevels(std::string* reason);
    bool MakeLevel(int index, std::string* reason);
    bool MakeDenseSolve(std::string* reason);
    void Release();
    bool CheckOperands(const char* call, GpuVector* r, GpuVector* z) const;

    void RunCycle(GpuVector* r, GpuVector* z);
    GpuVector* Cycle(std::size_t index, GpuVector* b, GpuVector* out);
    int Smooth(Level& level, GpuVector* b, std::size_t firstStep, int current, GpuVector* out);
    static GpuVector* SlotOrOut(Level& level, int slot, GpuVector* out);
    void RunSweep(Level& level, const Sweep& sweep);
    void Residual(Level& level, GpuVector* x, GpuVector* b, GpuVector* r);
    void Restrict(Level& fine, GpuVector* r, Level& coarse);
    void Prolong(Level& fine, GpuVector* x, GpuVector* e, Level& coarse, GpuVector* target);
    void ScaleByInverseDiagonal(Level& level, GpuVector* b, GpuVector* target);
    void SolveDense(Level& level, GpuVector* b, GpuVector* target);
    void BindBand(Level& level, const multigrid::Kernel& kernel, GpuVector* x, GpuVector* b);
    bool Counted(const Level& level, int fetches, int targets = 1);

    BandMatrix* m_pMatrix;
    MultigridHierarchy m_hierarchy;
    std::vector<std::unique_ptr<Level>> m_levels;
    std::unique_ptr<PackedVector> m_pDenseInverse;  // of the coarsest level, when solved directly
    const multigrid::Kernel* m_pDenseSolve = nullptr;
    const multigrid::Kernel* m_pScale = nullptr;  // the finest level's first sweep
    Work m_cycleWork;
    bool m_bCounting = false;
};
