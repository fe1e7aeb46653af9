// Time to solution to a tolerance, with the iterations it took: the
// framework's SolveTo (both convergence paths, plain and with Jacobi; with
// multigrid, its set-up included) and Solve for as many iterations, beside
// Eigen's conjugate gradient to the same tolerance (plain, diagonal and
// incomplete Cholesky preconditioners) and Eigen's sparse LDLT factorisation.
// Registered size by size, system by system and preconditioner by
// preconditioner, so that each framework time and its peer run back to back.
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "CpuPeers.h"
#include "gpu/Framework.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"
#include "support/HostReference.h"

namespace {

using Check = CgSolver::ConvergenceCheck;

constexpr int kSolveSizes[] = {128, 256, 512, 1024};

using Preconditioner = CgSolver::Preconditioner;

struct System {
    const char* name;
    double (*conductivity)(double x, double y);
    bool gridLevel;  // solved with the grid's own iterations too, plain and Jacobi
    float tolerance;
};
// Conductivity rising a hundredfold across the grid gives a diagonal that
// spans the same range: what Jacobi evens out, and Poisson has nothing of. A
// disk of a hundredfold conductivity in the middle is what coarse grids must
// see through; there u is large and k too, and float32 cannot form a row's
// residual below about 5e-5 of ||b|| (the solves stall there), so its
// tolerance is 1e-4 at every size.
const System kSystems[] = {
    {"Poisson", [](double, double) { return 1.0; }, true, 1e-5f},
    {"Layered", [](double x, double) { return std::pow(10.0, 2.0 * x); }, true, 1e-5f},
    {"Disk", [](double x, double y) { return (x - 0.5) * (x - 0.5) + (y - 0.5) * (y - 0.5) < 0.0625 ? 100.0 : 1.0; },
     false, 1e-4f},
};

// On the largest grid float32 levels off above 1e-5: the solve would end
// stalled, not converged.
float Tolerance(const System& system, int grid) { return grid >= 1024 ? 1e-4f : system.tolerance; }

// Quarters in [-1.5, 1.5]: a rough right-hand side, as in the solver's tests,
// which float32 holds to a smaller residual than a smooth one.
std::vector<float> RightHandSide(size_t count) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> draw(-6, 6);
    std::vector<float> values(count);
    for (float& v : values) v = static_cast<float>(draw(rng)) * 0.25f;
    return values;
}

const char* StopName(CgSolver::Stop stop) {
    switch (stop) {
        case CgSolver::Stop::kConverged: return "converged";
        case CgSolver::Stop::kMaxIterations: return "max iterations";
        case CgSolver::Stop::kStalled: return "stalled";
        case CgSolver::Stop::kNonFinite: return "non-finite";
        case CgSolver::Stop::kNotPositiveDefinite: return "not positive definite";
        case CgSolver::Stop::kRefused: return "refused";
    }
    return "?";
}

// One system at one size on the GPU, kept from one benchmark to the next: at
// the larger sizes each warm-up is a whole solve of tens of seconds.
struct GpuSystem {
    GpuSystem(const System& system, int grid)
        : system(&system),
          grid(grid),
          band(host::Diffusion(grid, grid, system.conductivity)),
          b(RightHandSide(static_cast<size_t>(band.N()))),
          zero(b.size(), 0.0f),
          x(b.size()) {
        auto* matrix = new BandMatrix(grid, grid);
        std::vector<int> keys;
        for (int offset : band.offsets) keys.push_back(band.N() + offset);
        matrix->SetDiagonals(keys.data(), static_cast<int>(keys.size()));
        for (size_t k = 0; k < keys.size(); ++k)
            matrix->GetDiagonal(keys[k])->SetData(band.diagonals[k].data(), band.diagonals[k].size());
        solution = new PackedVector(grid, grid, 0);
        auto* rhs = new PackedVector(grid, grid, 0);
        rhs->SetData(b.data(), b.size());
        solver = std::make_unique<CgSolver>(matrix, solution, rhs, 0);
    }

    const System* system;
    int grid;
    host::Band band;
    std::vector<float> b, zero, x;  // x: the solution as read back
    PackedVector* solution;         // owned by the solver
    std::unique_ptr<CgSolver> solver;
    int needed[3] = {0, 0, 0};  // iterations the warm-up took: plain, Jacobi, multigrid
};

std::unique_ptr<GpuSystem> g_held;

// The warm-up compiles the programs, creates the queries and, its budget
// ample, tells the budget of the timed solves. Solve(1) compiles Solve's own
// update pass.
GpuSystem& Prepared(const System& system, int grid, Preconditioner preconditioner) {
    if (!g_held || g_held->system != &system || g_held->grid != grid) {
        g_held.reset();
        g_held = std::make_unique<GpuSystem>(system, grid);
    }
    GpuSystem& s = *g_held;
    s.solver->SetPreconditioner(preconditioner);
    int& needed = s.needed[static_cast<int>(preconditioner)];
    if (needed == 0) {
        s.solution->SetData(s.zero.data(), s.zero.size());
        needed = s.solver->SolveTo(Tolerance(system, grid), 16 * grid).iterations;
        s.solver->Solve(1);
    }
    return s;
}

// Budgets of timed solves: what a user who knows the system's need would
// give, 1.25 times the warm-up's count, plus a little.
int Budget(int needed) { return needed + needed / 4 + 10; }

// How the framework's tolerance solve ended, beside its time.
void ReportSolve(benchmark::State& state, const GpuSystem& s, const CgSolver::SolveReport& report, int budget) {
    const std::vector<double> x(s.x.begin(), s.x.end());
    bench::SetIterations(state, report.iterations);
    state.counters["true_residual"] =
        host::RelativeResidual(s.band, std::vector<double>(s.b.begin(), s.b.end()), x);
    state.counters["tolerance"] = Tolerance(*s.system, s.grid);
    state.counters["budget"] = budget;
    state.counters["relative_residual"] = report.relativeResidual;
    state.counters["read_backs"] = report.readBacks;
    state.counters["skipped_on_gpu"] = report.skippedOnGpu;
    state.SetLabel(StopName(report.stop));
}

enum class Path { kSkipping, kReadBack, kFixed };

// From x = 0 until x is back on the host. The conditional path issues its
// whole budget, so the budget is what a user who knows the system's need
// would give.
void BM_Framework(benchmark::State& state, const System* system, bool jacobi, Path path) {
    const int grid = static_cast<int>(state.range(0));
    GpuSystem& s = Prepared(*system, grid, jacobi ? Preconditioner::kJacobi : Preconditioner::kNone);
    const int needed = s.needed[jacobi], budget = Budget(needed);
    FrameworkFramebufferScope bound;
    CgSolver::SolveReport report;
    for (auto _ : state) {
        state.PauseTiming();
        s.solution->SetData(s.zero.data(), s.zero.size());
        glFinish();
        state.ResumeTiming();
        if (path == Path::kFixed)  // never preconditioned: as many plain iterations
            report.iterations = s.solver->Solve(needed);
        else
            report = s.solver->SolveTo(Tolerance(*system, grid), budget,
                                       path == Path::kSkipping ? Check::kAuto : Check::kReadBack);
        s.solution->GetData(s.x.data(), s.x.size());
    }
    if (path != Path::kFixed) return ReportSolve(state, s, report, budget);
    const std::vector<double> x(s.x.begin(), s.x.end());
    bench::SetIterations(state, report.iterations);
    state.counters["true_residual"] =
        host::RelativeResidual(s.band, std::vector<double>(s.b.begin(), s.b.end()), x);
    state.counters["tolerance"] = Tolerance(*system, grid);
    state.SetLabel("fixed");
}

// From the matrix to x back on the host: the coarse grids formed from the
// matrix (SetPreconditioner, as after every change of the matrix), x = 0,
// the solve. Set-up and solve are timed together as the time to solution and
// apart in two counters.
void BM_Multigrid(benchmark::State& state, const System* system) {
    using Clock = std::chrono::steady_clock;
    const int grid = static_cast<int>(state.range(0));
    GpuSystem& s = Prepared(*system, grid, Preconditioner::kMultigrid);
    const int budget = Budget(s.needed[static_cast<int>(Preconditioner::kMultigrid)]);
    FrameworkFramebufferScope bound;
    CgSolver::SolveReport report;
    std::chrono::duration<double> setup{0}, solve{0};
    for (auto _ : state) {
        state.PauseTiming();
        s.solution->SetData(s.zero.data(), s.zero.size());
        glFinish();
        state.ResumeTiming();
        const Clock::time_point start = Clock::now();
        s.solver->SetPreconditioner(Preconditioner::kMultigrid);
        glFinish();
        const Clock::time_point set = Clock::now();
        report = s.solver->SolveTo(Tolerance(*system, grid), budget);
        s.solution->GetData(s.x.data(), s.x.size());
        solve += Clock::now() - set;
        setup += set - start;
    }
    state.counters["setup_seconds"] = setup.count() / static_cast<double>(state.iterations());
    state.counters["solve_seconds"] = solve.count() / static_cast<double>(state.iterations());
    ReportSolve(state, s, report, budget);
}

void BM_Eigen(benchmark::State& state, const System* system, perf::EigenSolver solver) {
    const int grid = static_cast<int>(state.range(0));
    const host::Band band = host::Diffusion(grid, grid, system->conductivity);
    const auto peer = perf::MakeEigenToleranceSolve(band.offsets, band.diagonals,
                                                    RightHandSide(static_cast<size_t>(band.N())), solver);
    bench::TimePeerSolve(state, *peer, Tolerance(*system, grid));
}

int Register() {
    for (int grid : kSolveSizes)
        for (const System& system : kSystems) {
            const auto add = [grid](const std::string& name, auto&&... arguments) {
                benchmark::RegisterBenchmark(("BM_ToTolerance/" + name).c_str(), arguments...)
                    ->Arg(grid)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            };
            const std::string prefix = std::string(system.name) + "/";
            for (bool jacobi : {false, true}) {
                const std::string preconditioned = prefix + (jacobi ? "Jacobi/" : "plain/");
                if (system.gridLevel)
                    for (auto [name, path] :
                         {std::pair{"SolveTo", Path::kSkipping}, std::pair{"SolveToReadBack", Path::kReadBack},
                          std::pair{"Solve", Path::kFixed}})
                        add(preconditioned + name, BM_Framework, &system, jacobi, path);
                add(preconditioned + "Eigen", BM_Eigen, &system,
                    jacobi ? perf::EigenSolver::kDiagonalCg : perf::EigenSolver::kPlainCg);
            }
            add(prefix + "Multigrid/SolveTo", BM_Multigrid, &system);
            // The CPU solvers a user would otherwise pick, with no GPU solve of their own kind.
            for (auto [name, solver] :
                 {std::pair{"IncompleteCholesky", perf::EigenSolver::kIncompleteCholeskyCg},
                  std::pair{"IncompleteCholeskyNatural", perf::EigenSolver::kIncompleteCholeskyNaturalCg},
                  std::pair{"LDLT", perf::EigenSolver::kLdlt}})
                add(prefix + name + "/Eigen", BM_Eigen, &system, solver);
        }
    return 0;
}

[[maybe_unused]] const int g_registered = Register();

}  // namespace

namespace bench {
void ReleaseKeptGpuObjects() { g_held.reset(); }
}  // namespace bench
