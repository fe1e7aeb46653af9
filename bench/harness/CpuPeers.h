#pragma once

#include <memory>
#include <vector>

// The demo's simulation frame on the CPU, for comparison with the framework:
// the explicit wave step (edges clamped), two conjugate-gradient iterations
// warm-started from the last solution (the same recurrences as CgSolver,
// including its zero steps for zero denominators), the shift of the time
// levels. Single thread, float data.
namespace perf {

// The scene's wave pre-factor: p of the explicit stencil, and e of the
// system matrix (1 + 4e on the diagonal, -e off it).
float SceneWaveFactor();

class CpuFrame {
public:
    virtual ~CpuFrame() = default;
    virtual void Step() = 0;
    virtual void SetState(const std::vector<float>& current, const std::vector<float>& last,
                          const std::vector<float>& solution) = 0;
    virtual std::vector<float> Current() const = 0;
};

// Plain loops written for speed: the matrix applied as its stencil, no
// matrix stored, each CG sweep fused with the inner product that follows it.
std::unique_ptr<CpuFrame> MakePlainFrame(int width, int height);

// Eigen: row-major sparse matrices for the explicit step and the system, and
// Eigen's own conjugate gradient (identity preconditioner, two iterations,
// warm-started from the previous solution).
std::unique_ptr<CpuFrame> MakeEigenFrame(int width, int height);

// Eigen's solvers of a symmetric positive definite system, the peers of
// CgSolver::SolveTo: from x = 0 to a tolerance, on a row-major
// SparseMatrix<float> (single thread). The matrix comes as the framework's
// band matrices hold it: entry n of the diagonal of offset d is row n, column
// n + d.
enum class EigenSolver {
    kPlainCg,               // ConjugateGradient (Lower | Upper), IdentityPreconditioner
    kDiagonalCg,            // the same with DiagonalPreconditioner
    kIncompleteCholeskyCg,  // the same with IncompleteCholesky<float>, Eigen's defaults (AMD ordering)
    // The same in the grid's own order: on grids fewer iterations, each
    // cheaper, than with the default ordering.
    kIncompleteCholeskyNaturalCg,
    kLdlt,  // SimplicialLDLT (AMD ordering) in double: factorisation and one solve, no iterations
    // Conjugate gradients with IncompleteCholesky in double, for tolerances
    // float cannot reach: AMD ordering, and the grid's own.
    kIncompleteCholeskyCgDouble,
    kIncompleteCholeskyNaturalCgDouble,
};

class CpuToleranceSolve {
public:
    virtual ~CpuToleranceSolve() = default;
    // What must happen once for this matrix before a solve: the
    // preconditioner or the factorisation. Timed apart from Solve.
    virtual void Setup() = 0;
    // After Setup. Conjugate gradients run until Eigen's own, recursively
    // updated residual is below tolerance * ||b|| or Eigen's cap of twice the
    // unknowns; returns the iterations (0 for LDLT, which has none).
    virtual int Solve(float tolerance) = 0;
    virtual bool Iterative() const = 0;
    // Whether the last solve reached its tolerance: Eigen's verdict for the
    // iterations, the true residual for LDLT.
    virtual bool Converged() const = 0;
    // ||b - A x|| / ||b|| of the last solution, in double.
    virtual double TrueResidual() const = 0;
    virtual std::vector<double> Solution() const = 0;
};

std::unique_ptr<CpuToleranceSolve> MakeEigenToleranceSolve(const std::vector<int>& offsets,
                                                           const std::vector<std::vector<float>>& diagonals,
                                                           const std::vector<float>& b, EigenSolver solver);

}  // namespace perf
