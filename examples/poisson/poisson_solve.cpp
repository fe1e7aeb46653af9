// Solves the 2-D Poisson problem -laplace(u) = 1 on the unit square with u = 0
// on the boundary, discretised by the 5-point stencil on a 32 x 32 grid of
// interior points, with a band matrix and the conjugate-gradient solver on the
// GPU, preconditioned by a multigrid cycle, to a relative residual of 1e-4.
// Prints how the solve ended, its iterations, and the relative residual
// ||b - A u|| / ||b|| of the GPU's solution, computed on the host in double.
// Needs no display: the GPU is reached through the headless context.
#include <GL/glew.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/HeadlessContext.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"

namespace {

constexpr int kGrid = 32;  // a multiple of 4, as packed vectors need
constexpr int kPoints = kGrid * kGrid;
// Float32 holds this smooth solution to a relative residual near 2e-5.
constexpr float kTolerance = 1e-4f;
constexpr int kMaxIterations = 20;

// Grid point (column, row) is element row * kGrid + column. The stencil of
// point n reaches n - kGrid, n - 1, n, n + 1 and n + kGrid; a neighbour outside
// the grid lies on the boundary, where u = 0, so its entry is 0.
struct Stencil {
    int offset;
    float (*entry)(int column, int row);
};

const Stencil kStencil[] = {
    {-kGrid, [](int, int row) { return row > 0 ? -1.0f : 0.0f; }},
    {-1, [](int column, int) { return column > 0 ? -1.0f : 0.0f; }},
    {0, [](int, int) { return 4.0f; }},
    {+1, [](int column, int) { return column < kGrid - 1 ? -1.0f : 0.0f; }},
    {+kGrid, [](int, int row) { return row < kGrid - 1 ? -1.0f : 0.0f; }},
};

BandMatrix* BuildPoissonMatrix() {
    auto* matrix = new BandMatrix(kGrid, kGrid);
    int keys[5];
    for (int k = 0; k < 5; ++k) keys[k] = kPoints + kStencil[k].offset;  // key = N + offset
    matrix->SetDiagonals(keys, 5);

    std::vector<float> diagonal(kPoints);
    for (const Stencil& stencil : kStencil) {
        for (int n = 0; n < kPoints; ++n) diagonal[n] = stencil.entry(n % kGrid, n / kGrid);
        matrix->GetDiagonal(kPoints + stencil.offset)->SetData(diagonal.data(), diagonal.size());
    }
    return matrix;
}

double RelativeResidual(const std::vector<float>& u, const std::vector<float>& b) {
    double residual = 0.0, norm = 0.0;
    for (int n = 0; n < kPoints; ++n) {
        double au = 0.0;
        for (const Stencil& stencil : kStencil) {
            const double entry = stencil.entry(n % kGrid, n / kGrid);
            if (entry != 0.0) au += entry * u[n + stencil.offset];
        }
        residual += (b[n] - au) * (b[n] - au);
        norm += static_cast<double>(b[n]) * b[n];
    }
    return std::sqrt(residual / norm);
}

// Builds and solves the system, prints what happened; true when it converged.
bool SolveAndReport() {
    const double h = 1.0 / (kGrid + 1);
    const std::vector<float> rhs(kPoints, static_cast<float>(h * h));  // h^2 * f with f = 1
    auto* u = new PackedVector(kGrid, kGrid, 0);
    auto* b = new PackedVector(kGrid, kGrid, 0);
    u->Fill(0.0f);
    b->SetData(rhs.data(), rhs.size());

    // The solver owns the matrix and both vectors from here on.
    auto* solver = new CgSolver(BuildPoissonMatrix(), u, b, 0);
    // Coarser grids carry what the grid's own iterations are slow to fix: a
    // handful of iterations instead of about a hundred.
    solver->SetPreconditioner(CgSolver::Preconditioner::kMultigrid);
    const CgSolver::SolveReport report = solver->SolveTo(kTolerance, kMaxIterations);

    std::vector<float> solution(kPoints);
    u->GetData(solution.data(), solution.size());
    const float centre = solution[(kGrid / 2) * kGrid + kGrid / 2];
    std::printf("grid %d x %d, multigrid: %s after %d iterations (the GPU %s)\n", kGrid, kGrid,
                report.Converged() ? "converged" : "did not converge", report.iterations,
                report.skippedOnGpu ? "stopped by itself" : "was read every few iterations");
    std::printf("u at the centre: %.6f\n", centre);
    std::printf("relative residual on the GPU: %.3e\n", static_cast<double>(report.relativeResidual));
    std::printf("relative residual: %.3e\n", RelativeResidual(solution, rhs));

    delete solver;
    return report.Converged();
}

}  // namespace

int main() {
    // The framework needs a current OpenGL context. A program with a window
    // would use its window's; this one has none.
    HeadlessContext context;
    if (!context.Open() || !InitFramework()) return 1;
    bool converged = false;
    {
        // Every GPU operation renders through the framework's framebuffer:
        // bound once here rather than by each call.
        FrameworkFramebufferScope framebuffer;
        converged = SolveAndReport();
    }
    ShutdownFramework();
    return converged ? 0 : 2;
}