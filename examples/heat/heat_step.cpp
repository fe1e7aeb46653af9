// One backward-Euler step of the heat equation du/dt = div(k grad u) on a
// 301 x 199 grid with u = 0 around it and dt / h^2 = 25: the conductivity is a
// hundred times larger inside a disk than outside it. The step is the system
//
//   u - (dt / h^2) div_h(k grad_h u) = u_old,
//
// made by the library's diffusion operator and solved to a relative residual
// of 1e-10 in double: every iteration runs in float32 on the GPU, conjugate
// gradients with a multigrid cycle as the preconditioner, and the refined
// solve forms residuals and adds corrections in double on the host. Float32
// alone levels off near 1e-4 here: a row's residual cannot fall below the
// rounding of its terms, which k dt / h^2 = 2500 inside the disk magnifies.
// Prints the refinement steps, the GPU iterations and the relative residual
// ||b - A u|| / ||b|| in double. Needs no display.
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
constexpr double kTolerance = 1e-10;
constexpr int kMaxIterations = 200;  // over every refinement step; it needs a few dozen

double Conductivity(int x, int y) {
    const double dx = x - 0.5 * kWidth, dy = y - 0.5 * kHeight, radius = 0.3 * kHeight;
    return dx * dx + dy * dy < radius * radius ? 100.0 : 1.0;
}

// A warm patch left of the disk, reaching into it.
double OldTemperature(int x, int y) {
    const double dx = x - 0.3 * kWidth, dy = y - 0.5 * kHeight;
    return std::exp(-(dx * dx + dy * dy) / (2.0 * 25.0 * 25.0));
}

bool HeatStep() {
    // Times dt: -div(k' grad u) + u = u_old, k' = k dt / h^2 on a grid of unit spacing.
    std::unique_ptr<CgSolver> solver = CgSolver::Create(
        MakeDiffusionOperator(kWidth, kHeight, [](int x, int y) { return kStepOverH2 * Conductivity(x, y); }, 1.0),
        std::make_unique<PackedVector>(kWidth, kHeight, 0), std::make_unique<PackedVector>(kWidth, kHeight, 0));
    if (!solver || !solver->SetPreconditioner(CgSolver::Preconditioner::kMultigrid)) return false;

    std::vector<double> old(static_cast<std::size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) old[static_cast<std::size_t>(y) * kWidth + x] = OldTemperature(x, y);
    std::vector<double> next = old;  // the old temperature is a good first guess
    const CgSolver::RefinedSolveReport report = solver->SolveRefined(old, next, kTolerance, kMaxIterations);

    std::printf("grid %d x %d, dt/h^2 = %g, k x100 in a disk, multigrid: %s after %d refinement steps, "
                "%d GPU iterations\n",
                kWidth, kHeight, kStepOverH2, report.Converged() ? "converged" : "did not converge", report.steps,
                report.iterations);
    std::printf("relative residual in double: %.3e\n", report.relativeResidual);
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
