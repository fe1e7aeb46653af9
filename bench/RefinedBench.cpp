// Answers to 1e-10 in double: SolveRefined with the multigrid preconditioner
// beside the same solver's float solve to 1e-5 and beside Eigen's solvers in
// double (conjugate gradients with IncompleteCholesky, in both orderings, and
// SimplicialLDLT) to the same 1e-10. Systems: Poisson with b = 1, and the heat
// example's backward-Euler step. Set-up (the coarse grids, the incomplete
// factor, the factorisation) and solve are timed together and apart.
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CpuPeers.h"
#include "gpu/Framework.h"
#include "linalg/CgSolver.h"
#include "linalg/GridOperatorBuilder.h"
#include "linalg/PackedVector.h"

namespace {

using Clock = std::chrono::steady_clock;
using Preconditioner = CgSolver::Preconditioner;

constexpr double kRefinedTolerance = 1e-10;
constexpr float kFloatTolerance = 1e-5f;
constexpr int kBudget = 200;

struct RefinedSystem {
    const char* name;
    int width, height;
    double (*conductivity)(const RefinedSystem&, int x, int y);  // k dt / h^2 for the heat step
    double reaction;
    double (*rhs)(const RefinedSystem&, int x, int y);
};

// The heat example's step: dt / h^2 = 25, conductivity x100 in a disk, the
// old temperature a warm patch left of it.
double HeatConductivity(const RefinedSystem& s, int x, int y) {
    const double dx = x - 0.5 * s.width, dy = y - 0.5 * s.height, radius = 0.3 * s.height;
    return 25.0 * (dx * dx + dy * dy < radius * radius ? 100.0 : 1.0);
}
double HeatOld(const RefinedSystem& s, int x, int y) {
    const double dx = x - 0.3 * s.width, dy = y - 0.5 * s.height;
    return std::exp(-(dx * dx + dy * dy) / (2.0 * 25.0 * 25.0));
}
double One(const RefinedSystem&, int, int) { return 1.0; }

const RefinedSystem kRefinedSystems[] = {
    {"Heat", 301, 199, HeatConductivity, 1.0, HeatOld},
    {"Poisson", 512, 512, One, 0.0, One},
    {"Poisson", 1024, 1024, One, 0.0, One},
};

std::unique_ptr<GridOperator> Operator(const RefinedSystem& s) {
    return MakeDiffusionOperator(
        s.width, s.height, [&s](int x, int y) { return s.conductivity(s, x, y); }, s.reaction);
}

// b rounded to float, so that every solver, ours and Eigen's, solves the same system.
std::vector<double> RightHandSide(const RefinedSystem& s) {
    std::vector<double> b(static_cast<size_t>(s.width) * s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            b[static_cast<size_t>(y) * s.width + x] = static_cast<float>(s.rhs(s, x, y));
    return b;
}

double RelativeResidual(const GridStencil& a, const std::vector<double>& b, const std::vector<double>& x) {
    std::vector<double> r(b.size());
    a.Residual(b.data(), x.data(), r.data());
    double rr = 0.0, bb = 0.0;
    for (size_t n = 0; n < r.size(); ++n) rr += r[n] * r[n], bb += b[n] * b[n];
    return std::sqrt(rr / bb);
}

const char* StopName(CgSolver::Stop stop) {
    return stop == CgSolver::Stop::kConverged ? "converged"
           : stop == CgSolver::Stop::kStalled ? "stalled"
                                              : "stopped";
}

// From the matrix to x on the host: the coarse grids formed, then the refined
// solve to 1e-10 or the float solve to 1e-5, from x = 0.
void BM_Refined(benchmark::State& state, const RefinedSystem* system, bool refined) {
    std::unique_ptr<CgSolver> solver =
        CgSolver::Create(Operator(*system), std::make_unique<PackedVector>(system->width, system->height, 0),
                         std::make_unique<PackedVector>(system->width, system->height, 0));
    if (!solver) return state.SkipWithError("the system was refused");
    const GridStencil stencil = static_cast<const GridOperator*>(solver->Matrix())->Stencil();
    const std::vector<double> b = RightHandSide(*system);
    const std::vector<float> bFloat(b.begin(), b.end()), zero(b.size(), 0.0f);
    std::vector<float> xFloat(b.size());
    std::vector<double> x;
    FrameworkFramebufferScope bound;
    solver->SetPreconditioner(Preconditioner::kMultigrid);
    solver->SolveRefined(b, x, kRefinedTolerance, kBudget);  // compiles every program on the way

    CgSolver::RefinedSolveReport report;
    std::chrono::duration<double> setup{0}, solve{0};
    for (auto _ : state) {
        state.PauseTiming();
        solver->B()->SetData(bFloat.data(), bFloat.size());
        solver->X()->SetData(zero.data(), zero.size());
        x.clear();
        glFinish();
        state.ResumeTiming();
        const Clock::time_point start = Clock::now();
        solver->SetPreconditioner(Preconditioner::kMultigrid);
        glFinish();
        const Clock::time_point set = Clock::now();
        if (refined) {
            report = solver->SolveRefined(b, x, kRefinedTolerance, kBudget);
        } else {
            const CgSolver::SolveReport floatReport = solver->SolveTo(kFloatTolerance, kBudget);
            solver->X()->GetData(xFloat.data(), xFloat.size());
            report.stop = floatReport.stop;
            report.iterations = floatReport.iterations;
        }
        solve += Clock::now() - set;
        setup += set - start;
    }
    if (!refined) x.assign(xFloat.begin(), xFloat.end());
    state.counters["setup_seconds"] = setup.count() / static_cast<double>(state.iterations());
    state.counters["solve_seconds"] = solve.count() / static_cast<double>(state.iterations());
    state.counters["cg_iterations"] = report.iterations;
    state.counters["steps"] = refined ? report.steps : 1;
    state.counters["true_residual"] = RelativeResidual(stencil, b, x);
    state.counters["tolerance"] = refined ? kRefinedTolerance : kFloatTolerance;
    state.SetLabel(StopName(report.stop));
}

void BM_RefinedPeer(benchmark::State& state, const RefinedSystem* system, perf::EigenSolver kind) {
    const GridStencil stencil = Operator(*system)->Stencil();
    std::vector<int> offsets;
    std::vector<std::vector<float>> diagonals;
    for (int tap = 0; tap < stencil.NumTaps(); ++tap) {
        offsets.push_back(static_cast<int>(stencil.ElementOffset(tap)));
        diagonals.emplace_back(stencil.Coefficients(tap).begin(), stencil.Coefficients(tap).end());
    }
    const std::vector<double> b = RightHandSide(*system);
    const auto peer =
        perf::MakeEigenToleranceSolve(offsets, diagonals, std::vector<float>(b.begin(), b.end()), kind);
    bench::TimePeerSolve(state, *peer, kRefinedTolerance);
}

int Register() {
    for (const RefinedSystem& system : kRefinedSystems) {
        const auto add = [&system](const std::string& solver, auto&&... arguments) {
            benchmark::RegisterBenchmark(("BM_Refined/" + std::string(system.name) + "/" + solver).c_str(),
                                         arguments...)
                ->Arg(system.width)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(2.0);
        };
        add("Refined", BM_Refined, &system, true);
        add("Float", BM_Refined, &system, false);
        // The AMD-ordered incomplete factor takes minutes at 1024 x 1024.
        if (system.width < 1024)
            add("IncompleteCholesky", BM_RefinedPeer, &system,
                perf::EigenSolver::kIncompleteCholeskyCgDouble);
        add("IncompleteCholeskyNatural", BM_RefinedPeer, &system,
            perf::EigenSolver::kIncompleteCholeskyNaturalCgDouble);
        add("LDLT", BM_RefinedPeer, &system, perf::EigenSolver::kLdlt);
    }
    return 0;
}

[[maybe_unused]] const int g_registered = Register();

}  // namespace
