// One backward-Euler step of the heat equation du/dt = div(k grad u) on a
// 301 x 199 grid with u = 0 around it and dt / h^2 = 25: the conductivity is 1
// inside a disk and a hundred times smaller outside it. The step is the system
//
//   u - (dt / h^2) div_h(k grad_h u) = u_old,
//
// made by the library's diffusion operator and solved on the GPU by conjugate
// gradients with a multigrid cycle as the preconditioner to a relative
// residual of 1e-5. Prints the iterations and the relative residual
// ||b - A u|| / ||b|| of the GPU's solution, computed on the host in double.
// Needs no display.
//
// Why k is 1 in the disk rather than 100: a row's residual cannot fall below
// the rounding of its terms, about 3e-8 (float32) times k dt / h^2 times u.
// With k dt / h^2 = 2500 where u is large, no float32 u is closer than a few
// 1e-4; at 25 the floor lies near 3e-6.
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/HeadlessContext.h"
#include "linalg/CgSolver.h"
#include "linalg/GridOperatorBuilder.h"
#include "linalg/PackedVector.h"

namespace {

constexpr int kWidth = 301, kHeight = 199;
constexpr double kStepOverH2 = 25.0;  // dt / h^2
constexpr float kTolerance = 1e-5f;
constexpr int kMaxIterations = 30;  // it needs a handful

double Conductivity(int x, int y) {
    const double dx = x - 0.5 * kWidth, dy = y - 0.5 * kHeight, radius = 0.3 * kHeight;
    return dx * dx + dy * dy < radius * radius ? 1.0 : 0.01;
}

// A warm patch left of the disk, reaching into it.
double OldTemperature(int x, int y) {
    const double dx = x - 0.3 * kWidth, dy = y - 0.5 * kHeight;
    return std::exp(-(dx * dx + dy * dy) / (2.0 * 25.0 * 25.0));
}

double RelativeResidual(const GridStencil& a, const std::vector<float>& u, const std::vector<float>& b) {
    const std::vector<double> ud(u.begin(), u.end()), bd(b.begin(), b.end());
    std::vector<double> r(bd.size());
    a.Residual(bd.data(), ud.data(), r.data());
    double rr = 0.0, bb = 0.0;
    for (std::size_t n = 0; n < r.size(); ++n) rr += r[n] * r[n], bb += bd[n] * bd[n];
    return std::sqrt(rr / bb);
}

bool HeatStep() {
    // Times dt: -div(k' grad u) + u = u_old, k' = k dt / h^2 on a grid of unit spacing.
    std::unique_ptr<GridOperator> matrix = MakeDiffusionOperator(
        kWidth, kHeight, [](int x, int y) { return kStepOverH2 * Conductivity(x, y); }, 1.0);
    if (!matrix) return false;
    const GridStencil system = matrix->Stencil();  // the solver takes the matrix

    std::vector<float> old(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) old[y * kWidth + x] = static_cast<float>(OldTemperature(x, y));
    auto* u = new PackedVector(kWidth, kHeight, 0);
    auto* b = new PackedVector(kWidth, kHeight, 0);
    u->SetData(old.data(), old.size());  // the old temperature is a good first guess
    b->SetData(old.data(), old.size());

    CgSolver solver(matrix.release(), u, b, 0);  // owns the matrix and both vectors from here on
    solver.SetPreconditioner(CgSolver::Preconditioner::kMultigrid);
    const CgSolver::SolveReport report = solver.SolveTo(kTolerance, kMaxIterations);

    std::vector<float> next(old.size());
    u->GetData(next.data(), next.size());
    std::printf("grid %d x %d, dt/h^2 = %g, k x100 in a disk, multigrid: %s after %d iterations\n", kWidth,
                kHeight, kStepOverH2, report.Converged() ? "converged" : "did not converge",
                report.iterations);
    std::printf("relative residual on the GPU: %.3e\n", static_cast<double>(report.relativeResidual));
    std::printf("relative residual: %.3e\n", RelativeResidual(system, next, old));
    return report.Converged();
}

}  // namespace

int main() {
    HeadlessContext context;
    if (!context.Open() || !InitFramework()) return 1;
    bool converged = false;
    {
        FrameworkFramebufferScope framebuffer;
        converged = HeatStep();
    }
    ShutdownFramework();
    return converged ? 0 : 2;
}
