#pragma once

/// \file
/// The conjugate-gradient solver.

#include <memory>
#include <string>
#include <vector>

#include "linalg/SolveReport.h"

class BandMatrix;
struct CgWorkspace;
class GpuPreconditioner;
class GpuScalar;
class GpuVector;
class ShaderProgram;
class ToleranceSolve;

/// Conjugate gradients for a symmetric positive definite band matrix, entirely
/// on the GPU: the method's scalars live in 1x1 textures that the vector
/// kernels sample, so no iteration reads anything back or waits.
///
/// Solve runs a fixed number of iterations from whatever x holds, which
/// warm-starts a system solved again every frame. SolveTo runs until the
/// residual is small enough, optionally preconditioned, and reports what it
/// did; it reads a few values back before and after its loop, never inside it
/// where the driver renders conditionally.
///
/// The solver owns the matrix, x and b: Create takes them as unique_ptrs and
/// hands the solver back as one; the constructor takes them as pointers made
/// with new, which the caller must not delete (nor pass one of them twice).
/// Band products work on packed vectors: x and b must be distinct packed
/// vectors of the matrix's grid and the working layout 0 (packed). Any other
/// combination is refused: Create returns null, the constructor makes a solver
/// that refuses every solve, leaving x untouched; each says why once through
/// the refusal handler.
///
/// A solve first sets non-finite values of x to 0, so that a right-hand side
/// that once held a NaN or an infinity does not poison every later warm start.
class CgSolver {
public:
    /// What SolveTo and SolveRefined precondition with: nothing, the inverse
    /// of the matrix's main diagonal, or a multigrid V-cycle (grid operators).
    enum class Preconditioner { kNone, kJacobi, kMultigrid };
    using ConvergenceCheck = ::ConvergenceCheck;      ///< how SolveTo learns that it converged
    using Stop = SolveStop;                           ///< why a solve ended
    using SolveReport = ::SolveReport;                ///< what SolveTo reports
    using RefinedSolveReport = ::RefinedSolveReport;  ///< what SolveRefined reports
    /// How many iterations apart the read-back path reads a test.
    static constexpr int kReadBackInterval = kConvergenceReadBackInterval;

    /// The solver over matrix, x and b, packed, or null after a refusal. What
    /// it is given is destroyed with the solver, or at once when refused.
    static std::unique_ptr<CgSolver> Create(std::unique_ptr<BandMatrix> matrix, std::unique_ptr<GpuVector> x,
                                            std::unique_ptr<GpuVector> b);
    /// The solver over matrix, x and b, made with new; it owns and deletes them.
    /// layout 0: packed working vectors; layout 1: unpacked.
    CgSolver(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout);
    /// Deletes the matrix, x and b (x once when it is b) and the working vectors.
    ~CgSolver();

    CgSolver(const CgSolver&) = delete;
    CgSolver& operator=(const CgSolver&) = delete;

    /// \name What the solver owns
    /// What the solver owns, for the caller to use between solves: read x,
    /// write b or x, change the matrix's diagonals.
    ///@{

    /// The matrix A.
    BandMatrix* Matrix() const { return m_pMatrix; }
    /// The solution x, also the start of the next solve.
    GpuVector* X() const { return m_pX; }
    /// The right-hand side b.
    GpuVector* B() const { return m_pB; }
    ///@}

    /// Forms r = b - A x from whatever x holds and runs that many iterations,
    /// reading nothing back. Never preconditioned.
    /// Returns the number of iterations run: 0 when not positive or refused.
    int Solve(int iterations);
    /// One more iteration, continuing the last Solve.
    void Iterate();

    /// Until ||b - A x|| <= tolerance * ||b|| (tolerance finite and >= 0) or
    /// maxIterations (>= 0) iterations, from whatever x holds. When the
    /// recursively updated residual says converged, the true one is formed
    /// from x; if it is still too large the method restarts from x with the
    /// iterations left. A direction with p.Ap <= 0 stops the solve at once as
    /// kNotPositiveDefinite (one with p.Ap not finite as kNonFinite), x the
    /// iterate before it. Where the GPU skips, the host still issues every
    /// iteration of the budget, at a small cost each: give a budget near what
    /// the system needs. Refused, with x untouched, for other arguments or a
    /// driver with fewer than two draw buffers.
    SolveReport SolveTo(float tolerance, int maxIterations, ConvergenceCheck check = ConvergenceCheck::kAuto);

    /// A x = b to double accuracy from float32 on the GPU: until
    /// ||b - A x|| <= tolerance ||b|| in double, from the x given (empty: from
    /// 0; else it must hold one value per grid point, as b must). Each step
    /// forms r = b - A x in double on the host, with the matrix in double (a
    /// GridOperator's stencil; any other band matrix's diagonals, read back),
    /// solves A d = r in float with SolveTo and the preconditioner set, to
    /// kRefinementStepTolerance, and adds d in double. Stops as kStalled when a
    /// step no longer halves the residual (the system is too ill-conditioned
    /// for float corrections; x is the best reached), kMaxIterations after
    /// maxIterations GPU iterations in all, or as a step's float solve stops
    /// (kNonFinite, kNotPositiveDefinite; x is then the one before that step).
    /// A b that is not finite stops as kNonFinite at once. The solver's own x
    /// and b are its working vectors: afterwards they hold x and b rounded to
    /// float. Refused, x untouched, for other sizes, a tolerance that is not
    /// finite and >= 0, or a negative budget.
    RefinedSolveReport SolveRefined(const std::vector<double>& b, std::vector<double>& x, double tolerance,
                                    int maxIterations);
    /// How close each step's float solve comes, relative to its right-hand side.
    static constexpr float kRefinementStepTolerance = 1e-3f;

    /// For SolveTo and SolveRefined; Solve never preconditions. Jacobi takes
    /// the matrix's main diagonal as it is now; multigrid
    /// (MultigridPreconditioner, for grid operators) forms its coarse grids
    /// from the matrix as it is now: set either again after changing the
    /// matrix. Refused (false, the previous choice kept) when the matrix
    /// cannot serve.
    bool SetPreconditioner(Preconditioner preconditioner);

private:
    static std::string RefusalFor(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout);
    bool CheckSolvable(const char* call) const;
    void RunIteration();
    void DropNonFiniteStart();
    void UpdateSolutionAndResidual();
    CgWorkspace Workspace() const;

    BandMatrix* m_pMatrix;
    GpuVector* m_pX;
    GpuVector* m_pB;
    GpuVector* m_pP = nullptr;
    GpuVector* m_pQ = nullptr;
    GpuVector* m_pR = nullptr;
    GpuScalar* m_pRho = nullptr;
    GpuScalar* m_pAlpha = nullptr;
    GpuScalar* m_pBeta = nullptr;
    GpuScalar* m_pPAp = nullptr;
    GpuScalar* m_pRhoNew = nullptr;
    int m_iWidth;
    int m_iHeight;
    std::string m_refusal;  // why every solve is refused; empty when it can solve

    std::unique_ptr<GpuPreconditioner> m_pPreconditioner;  // SolveTo's; null for none
    std::unique_ptr<ToleranceSolve> m_pToleranceSolve;     // made by the first SolveTo

    static void CreatePrograms();
    static void ReleasePrograms();
    static ShaderProgram* s_pFiniteStartProgram;
    static ShaderProgram* s_pUpdateProgram;  // x += alpha p and r -= alpha q, into two targets
    static int s_iSolverInstances;
};
