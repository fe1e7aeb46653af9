// A few conjugate-gradient solves for a GL call recorder. The first solve
// builds the kernels' programs and takes its scratch textures from the pool;
// the solves after it lie between two string markers in the GL stream, so a
// recorded trace shows exactly what steady solving asks of the driver. Then
// the same for a tolerance solve that the GPU stops by itself: its loop must
// read nothing back, whatever the solve reads before and after it; and the
// same with multigrid preconditioning.
#include <GL/glew.h>

#include <cstdio>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/HeadlessContext.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"

namespace {

constexpr int kGrid = 64;
constexpr float kTolerance = 1e-4f;
constexpr int kBudget = 40;  // about three times what the tolerance takes
constexpr int kMultigridBudget = 8;

bool Mark(const char* text) {
    if (GLEW_GREMEDY_string_marker) {
        glStringMarkerGREMEDY(0, text);
    } else if (GLEW_EXT_debug_marker) {
        glInsertEventMarkerEXT(0, text);
    } else {
        std::fprintf(stderr, "no GL string marker extension to mark \"%s\" with\n", text);
        return false;
    }
    return true;
}

// A smooth bump: a right-hand side with some structure for the solves.
std::vector<float> RightHandSide() {
    std::vector<float> values(kGrid * kGrid);
    for (int n = 0; n < kGrid * kGrid; ++n) {
        const float x = static_cast<float>(n % kGrid) / kGrid - 0.5f,
                    y = static_cast<float>(n / kGrid) / kGrid - 0.5f;
        values[static_cast<size_t>(n)] = 1.0f - 4.0f * (x * x + y * y);
    }
    return values;
}

int RunSolves() {
    auto* x = new PackedVector(kGrid, kGrid, 0);
    auto* b = new PackedVector(kGrid, kGrid, 0);
    x->Fill(0.0f);
    b->SetData(RightHandSide().data());
    CgSolver solver(new WaveSystemMatrix(kGrid, kGrid, 1.0f, 1.5f, 1.0f, 1.0f), x, b, 0);

    solver.Solve(2);
    if (!Mark("zentor-trace: steady solves begin")) return 2;
    for (int frame = 0; frame < 3; ++frame) solver.Solve(2);
    solver.Solve(5);
    if (!Mark("zentor-trace: steady solves end")) return 2;

    std::vector<float> solution(kGrid * kGrid);
    x->GetData(solution.data());
    std::printf("x at the centre after the solves: %g\n", solution[(kGrid / 2) * kGrid + kGrid / 2]);

    solver.SolveTo(kTolerance, kBudget);
    x->Fill(0.0f);
    if (!Mark("zentor-trace: tolerance solve begin")) return 2;
    const CgSolver::SolveReport report = solver.SolveTo(kTolerance, kBudget);
    if (!Mark("zentor-trace: tolerance solve end")) return 2;
    std::printf("tolerance solve: %d iterations of %d, relative residual %g, %s\n", report.iterations,
                kBudget, static_cast<double>(report.relativeResidual),
                report.skippedOnGpu ? "skipped on the GPU" : "read back every few iterations");
    // One batch: a restart would read back between two runs of skipped iterations.
    if (!(report.Converged() && report.skippedOnGpu && report.iterations < kBudget / 2)) return 3;

    // The same with a multigrid cycle in every iteration.
    if (!solver.SetPreconditioner(CgSolver::Preconditioner::kMultigrid)) return 4;
    solver.SolveTo(kTolerance, kMultigridBudget);
    x->Fill(0.0f);
    if (!Mark("zentor-trace: multigrid solve begin")) return 2;
    const CgSolver::SolveReport multigrid = solver.SolveTo(kTolerance, kMultigridBudget);
    if (!Mark("zentor-trace: multigrid solve end")) return 2;
    std::printf("multigrid solve: %d iterations of %d, relative residual %g\n", multigrid.iterations,
                kMultigridBudget, static_cast<double>(multigrid.relativeResidual));
    return multigrid.Converged() && multigrid.skippedOnGpu && multigrid.iterations < kMultigridBudget / 2 ? 0
                                                                                                          : 4;
}

}  // namespace

int main() {
    HeadlessContext context;
    if (!context.Open() || !InitFramework()) return 1;
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo);
    const int status = RunSolves();
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    ShutdownFramework();
    return status;
}
