// CgSolver::SolveTo against conjugate gradients in double on the host.
//
// Right-hand sides are random quarters: their solutions are rough enough for
// float32 to hold them to a relative residual near 1e-6 (a smooth one, such
// as b = 1, levels off near 5e-5 on a 64 x 64 Poisson grid already).
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "linalg/CgSolver.h"
#include "linalg/GridOperatorBuilder.h"
#include "linalg/LinalgTestSupport.h"
#include "linalg/MultigridPreconditioner.h"
#include "linalg/ToleranceSolve.h"

namespace lt {
namespace {

using Stop = CgSolver::Stop;
using Check = CgSolver::ConvergenceCheck;

HostBand Poisson(int n) {
    return host::Diffusion(n, n, [](double, double) { return 1.0; });
}

// Conductivity rising a hundredfold across the grid: the diagonal spans the
// same range, which Jacobi evens out.
HostBand Layered(int n) {
    return host::Diffusion(n, n, [](double x, double) { return std::pow(10.0, 2.0 * x); });
}

// Whether the solve can leave convergence to the GPU, from the driver's
// version alone: desktop GL renders conditionally from 3.0 on, OpenGL ES (so
// WebGL) never, and there every solve takes the read-back path.
bool DriverSkips() {
    const std::string version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    return version.find("OpenGL ES") == std::string::npos && std::atoi(version.c_str()) >= 3;
}

class ToleranceSolveTest : public LinalgTest {
protected:
    GpuVector* x = nullptr;  // the solver's

    std::unique_ptr<CgSolver> MakeSolver(const HostBand& a, const Floats& start, const Floats& rhs) {
        auto solver = CgSolver::Create(std::unique_ptr<BandMatrix>(Upload(a)),
                                       Make<PackedVector>(a.w, a.h, start), Make<PackedVector>(a.w, a.h, rhs));
        x = solver->X();
        return solver;
    }
    double HostResidual(const HostBand& a, const Floats& rhs) {
        return host::RelativeResidual(a, ToDoubles(rhs), ToDoubles(Values(*x)));
    }
};

using Preconditioner = CgSolver::Preconditioner;

struct Converging {
    const char* name;
    HostBand (*system)(int);
    int n;
    Preconditioner preconditioner;
};

// Iterations of conjugate gradients in double, preconditioned as the solver
// is: multigrid by a cycle in double over the preconditioner's own hierarchy.
int IterationsInDouble(const HostBand& a, const Floats& b, float tolerance, Preconditioner preconditioner) {
    const Doubles zero(b.size(), 0.0);
    if (preconditioner != Preconditioner::kMultigrid)
        return host::Pcg(a, ToDoubles(b), zero, tolerance, a.N(), preconditioner == Preconditioner::kJacobi)
            .iterations;
    std::unique_ptr<BandMatrix> twin(Upload(a));
    const MultigridPreconditioner multigrid(twin.get());
    const HostCycle cycle(multigrid.Hierarchy());
    const auto precondition = [&](const Doubles& r) { return cycle.Apply(r); };
    return host::Pcg(a, ToDoubles(b), zero, tolerance, a.N(), precondition).iterations;
}

class ToleranceConvergenceTest : public ToleranceSolveTest, public ::testing::WithParamInterface<Converging> {};

// The true residual of float32 iterates trails the recursively updated one;
// where it is still above the tolerance, one restart from x closes the gap in
// an iteration or two.
TEST_P(ToleranceConvergenceTest, StopsWithinAFewIterationsOfDoubleBelowTheTolerance) {
    const Converging& c = GetParam();
    const HostBand a = c.system(c.n);
    const Floats b = Quarters(static_cast<size_t>(a.N()), 7);
    constexpr float kTolerance = 1e-5f;
    auto solver = MakeSolver(a, Floats(static_cast<size_t>(a.N()), 0.0f), b);
    ASSERT_TRUE(solver->SetPreconditioner(c.preconditioner));
    const int expected = IterationsInDouble(a, b, kTolerance, c.preconditioner);
    const CgSolver::SolveReport report = solver->SolveTo(kTolerance, expected + expected / 4);
    EXPECT_EQ(report.stop, Stop::kConverged);
    EXPECT_EQ(report.skippedOnGpu, DriverSkips());
    EXPECT_NEAR(report.iterations, expected, 3);
    const double residual = HostResidual(a, b);
    EXPECT_LT(residual, kTolerance);
    EXPECT_NEAR(report.relativeResidual, residual, 0.1 * kTolerance);
}

constexpr Preconditioner kPlain = Preconditioner::kNone, kJacobi = Preconditioner::kJacobi,
                         kMultigrid = Preconditioner::kMultigrid;

INSTANTIATE_TEST_SUITE_P(Systems, ToleranceConvergenceTest,
                         ::testing::Values(Converging{"Poisson64", Poisson, 64, kPlain},
                                           Converging{"Poisson256", Poisson, 256, kPlain},
                                           Converging{"LayeredJacobi64", Layered, 64, kJacobi},
                                           Converging{"PoissonMultigrid128", Poisson, 128, kMultigrid},
                                           Converging{"LayeredMultigrid256", Layered, 256, kMultigrid}),
                         [](const ::testing::TestParamInfo<Converging>& info) { return info.param.name; });

// However many iterations the loop issues past the stop, x is the iterate of
// the last one that ran: the one Solve reaches in as many iterations. A
// tolerance far above the float32 floor needs no restart, which Solve would
// not make. Destroyed, the solver gives back every texture it took.
TEST_F(ToleranceSolveTest, IterationsPastTheStopLeaveTheLastIterate) {
    const HostBand a = Poisson(64);
    const Floats b = Quarters(static_cast<size_t>(a.N()), 7), zero(b.size(), 0.0f);
    const long used = UsedTextures();
    auto solver = MakeSolver(a, zero, b);
    const int iterations = solver->SolveTo(2e-3f, 1000).iterations;
    x->SetData(zero.data(), zero.size());
    EXPECT_EQ(solver->Solve(0) + solver->Solve(-3), 0);
    EXPECT_EQ(solver->Solve(iterations), iterations);
    const Floats expected = Values(*x);
    ASSERT_NE(iterations % CgSolver::kReadBackInterval, 0) << "no frozen iterations to check";
    for (Check check : {Check::kAuto, Check::kReadBack})
        for (int past : {0, 1, 2, 3, 4, 5, 50}) {
            x->SetData(zero.data(), zero.size());
            const CgSolver::SolveReport report = solver->SolveTo(2e-3f, iterations + past, check);
            EXPECT_EQ(report.stop, Stop::kConverged);
            EXPECT_EQ(report.iterations, iterations);
            const bool skipping = check == Check::kAuto && DriverSkips();
            EXPECT_EQ(report.skippedOnGpu, skipping);
            // Skipping, the host waits only around the loop; otherwise every few iterations.
            const int fewest = skipping ? 0 : iterations / CgSolver::kReadBackInterval;
            EXPECT_GE(report.readBacks, fewest);
            EXPECT_LE(report.readBacks, fewest + 6);
            EXPECT_TRUE(Near(Values(*x), expected)) << past << " iterations past the stop";
        }
    solver.reset();
    EXPECT_EQ(UsedTextures(), used) << "the solver gives back every texture it took";
}

constexpr int kN = 32;
const HostBand kSystem = Poisson(kN);
const Floats kStart = Quarters(kN * kN, 3), kRhs = Quarters(kN * kN, 4), kZero(kN * kN, 0.0f);

struct Ending {
    const char* name;
    Floats start, rhs;
    float tolerance;
    int maxIterations;
    Stop stop;
    int iterations;  // -1: only fewer than the budget
    Floats x;        // empty: unchecked
    HostBand system = kSystem;
};

void PrintTo(const Ending& e, std::ostream* out) { *out << e.name; }

class ToleranceStopTest : public ToleranceSolveTest, public ::testing::WithParamInterface<Ending> {};

// Entries and start are quarters: A x0 is exact in float, so r = 0.
Floats Exact(const Floats& x0) {
    const Doubles product = kSystem.Multiply(ToDoubles(x0));
    return Floats(product.begin(), product.end());
}

Floats With(Floats values, size_t at, float value) {
    values[at] = value;
    return values;
}

// kSystem less shift on the diagonal: indefinite from about 0.02 on.
HostBand Shifted(float shift) {
    HostBand a = kSystem;
    for (float& entry : a.diagonals[2]) entry -= shift;  // offset 0
    return a;
}

constexpr size_t kMiddle = kN * kN / 2 + kN / 2;

// kSystem with some main-diagonal entries replaced.
HostBand WithDiagonal(std::initializer_list<std::pair<size_t, float>> entries) {
    HostBand a = kSystem;
    for (const auto& [at, entry] : entries) a.diagonals[2][at] = entry;
    return a;
}

// Every case reports the true residual of the x it returns, whether or not
// the solve converged, and ends alike on both convergence paths: iterations
// issued past the stop change nothing.
TEST_P(ToleranceStopTest, StopsAndSaysWhy) {
    const Ending& c = GetParam();
    const HostBand& system = c.system;
    for (Check check : {Check::kAuto, Check::kReadBack}) {
        SCOPED_TRACE(check == Check::kAuto ? "skipping on the GPU" : "reading back");
        auto solver = MakeSolver(system, c.start, c.rhs);
        const CgSolver::SolveReport report = solver->SolveTo(c.tolerance, c.maxIterations, check);
        EXPECT_EQ(report.stop, c.stop);
        EXPECT_EQ(report.iterations,
                  c.iterations >= 0 ? c.iterations : std::min(report.iterations, c.maxIterations - 1));
        EXPECT_TRUE(c.x.empty() || Near(Values(*x), c.x));
        if (c.stop == Stop::kNonFinite) continue;
        const bool zero = Dot(ToDoubles(c.rhs), ToDoubles(c.rhs)) == 0;  // then x = 0, exactly
        const double residual = zero ? 0 : HostResidual(system, c.rhs);
        EXPECT_NEAR(report.relativeResidual, residual, 0.05 * residual + 1e-7);
        if (c.stop == Stop::kNotPositiveDefinite) {
            EXPECT_LE(residual, host::RelativeResidual(system, ToDoubles(c.rhs), ToDoubles(c.start)));
        }
    }
}

const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, ToleranceStopTest,
    ::testing::Values(
        Ending{"ZeroRightHandSide", kStart, kZero, 1e-5f, 100, Stop::kConverged, 0, kZero},
        Ending{"AlreadySolved", kStart, Exact(kStart), 1e-5f, 100, Stop::kConverged, 0, kStart},
        Ending{"BudgetRunsOut", kStart, kRhs, 1e-5f, 10, Stop::kMaxIterations, 10, {}},
        Ending{"NoBudget", kStart, kRhs, 1e-5f, 0, Stop::kMaxIterations, 0, kStart},
        // Float32 levels off near 1e-6 here: restarts stop once they no longer halve it.
        Ending{"BelowTheFloat32Floor", kStart, kRhs, 1e-9f, 500, Stop::kStalled, -1, {}},
        // Finite values whose squares overflow: x keeps its start.
        Ending{"ResidualOverflows", kStart, Floats(kN * kN, 1e20f), 1e-5f, 100, Stop::kNonFinite, 0, kStart},
        Ending{"NaNInTheRightHandSide", kStart, With(kRhs, 5, std::nanf("")), 1e-5f, 100, Stop::kNonFinite, 0,
               kStart},
        Ending{"InfiniteStartValues", With(kStart, 9, kInf), Exact(With(kStart, 9, 0.0f)), 1e-5f, 100,
               Stop::kConverged, 0, With(kStart, 9, 0.0f)},
        // Symmetric and indefinite: the first direction has p.Ap = 0 or < 0,
        // or the sixth has p.Ap < 0 (as conjugate gradients in double find),
        // long before the budget.
        Ending{"ZeroCurvature", kZero, With(kZero, kMiddle, 1.0f), 1e-5f, 100, Stop::kNotPositiveDefinite, 1, kZero,
               WithDiagonal({{kMiddle, 0.0f}})},
        Ending{"IndefiniteAtOnce", kStart, kRhs, 1e-5f, 100, Stop::kNotPositiveDefinite, 1, kStart,
               Shifted(4.5f)},
        Ending{"IndefiniteAfterFiveSteps", kStart, kRhs, 1e-5f, 100, Stop::kNotPositiveDefinite, 6, {},
               Shifted(0.5f)},
        // The first iteration overflows: p.Ap infinite (the step is not
        // taken), or a step so long (p.Ap nearly 0 on an indefinite diagonal)
        // that x' is finite and r' is not. x stays the start, the last iterate
        // with a finite residual.
        Ending{"CurvatureOverflows", kZero, With(kZero, 0, 1e10f), 1e-5f, 100, Stop::kNonFinite, 1, kZero,
               WithDiagonal({{0, 1e30f}})},
        Ending{"StepOverflows", kZero, With(With(kZero, 0, 1.0f), kMiddle, 1.0f), 1e-5f, 100, Stop::kNonFinite, 1,
               kZero, WithDiagonal({{0, 1e-20f}, {kMiddle, 0.0f}})}),
    [](const ::testing::TestParamInfo<Ending>& info) { return info.param.name; });

// The host's decision between batches, on its own: |b|^2 = 1, tolerance^2 =
// 1e-10, ten iterations left unless a case says otherwise.
struct Decision {
    const char* name;
    BatchOutcome outcome;
    std::optional<Stop> stop;
};
void PrintTo(const Decision& d, std::ostream* out) { *out << d.name; }

BatchOutcome After(int batches, int ran, float before, float residual) {
    BatchOutcome o;
    o.residual = residual, o.rhsNorm = 1.0f, o.tolerance2 = 1e-10f, o.iterationsLeft = 10;
    o.batchesRun = batches, o.lastBatchRan = ran, o.residualBefore = before;
    return o;
}

template <typename Change>
BatchOutcome With(BatchOutcome o, Change change) {
    change(o);
    return o;
}

const Decision kDecisions[] = {
    {"BeforeAnyBatch", After(0, 0, 0.0f, 1.0f), std::nullopt},
    // The first batch may have started just above the tolerance: not judged.
    {"FirstBatchBarelyGained", After(1, 40, 1.0f, 0.9f), std::nullopt},
    {"FirstBatchRanNothing", After(1, 0, 1.0f, 1.0f), Stop::kStalled},
    {"RestartHalvedTwice", After(2, 3, 1.0f, 0.25f), std::nullopt},
    {"RestartGainedLess", After(2, 3, 1.0f, 0.2501f), Stop::kStalled},
    {"BelowTheTolerance", After(3, 0, 1e-10f, 1e-10f), Stop::kConverged},
    {"BudgetSpent", With(After(2, 3, 1.0f, 0.1f), [](BatchOutcome& o) { o.iterationsLeft = 0; }),
     Stop::kMaxIterations},
    {"BudgetSpentAndConverged", With(After(1, 10, 1.0f, 0.0f), [](BatchOutcome& o) { o.iterationsLeft = 0; }),
     Stop::kConverged},
    {"RecursiveResidualWentNonFinite",
     With(After(1, 1, 1.0f, 0.0f), [](BatchOutcome& o) { o.wentNonFinite = true; }), Stop::kNonFinite},
    {"TrueResidualNaN", After(1, 1, 1.0f, std::nanf("")), Stop::kNonFinite},
    {"NoCurvature", With(After(1, 5, 1.0f, 0.9f), [](BatchOutcome& o) { o.notPositiveDefinite = true; }),
     Stop::kNotPositiveDefinite},
    // x solves the system as asked, however the batch ended.
    {"NoCurvatureButConverged",
     With(After(1, 5, 1.0f, 0.0f), [](BatchOutcome& o) { o.notPositiveDefinite = true; }), Stop::kConverged},
    {"RightHandSideOverflowed", With(After(0, 0, 0.0f, 0.0f), [](BatchOutcome& o) { o.rhsNorm = kInf; }),
     Stop::kNonFinite},
};

class StopDecisionTest : public ::testing::TestWithParam<Decision> {};

TEST_P(StopDecisionTest, FollowsTheRules) { EXPECT_EQ(StopAfter(GetParam().outcome), GetParam().stop); }

INSTANTIATE_TEST_SUITE_P(Cases, StopDecisionTest, ::testing::ValuesIn(kDecisions),
                         [](const ::testing::TestParamInfo<Decision>& info) { return info.param.name; });

// The refined solve, to double accuracy. Poisson on an even grid as a plain
// band matrix (its diagonals read back) and on an odd one as a grid operator
// (its stencil in double), against conjugate gradients in double.
struct Refined {
    const char* name;
    int w, h;
    bool gridOperator;
};

class RefinedSolveTest : public LinalgTest, public ::testing::WithParamInterface<Refined> {
protected:
    static std::unique_ptr<CgSolver> SolverFor(std::unique_ptr<BandMatrix> matrix, int w, int h) {
        auto solver = CgSolver::Create(std::move(matrix), std::make_unique<PackedVector>(w, h, 0),
                                       std::make_unique<PackedVector>(w, h, 0));
        solver->SetPreconditioner(CgSolver::Preconditioner::kJacobi);
        return solver;
    }
};

double RelativeError(const Doubles& x, const Doubles& exact) {
    double error = 0.0, size = 0.0;
    for (size_t i = 0; i < x.size(); ++i) error += (x[i] - exact[i]) * (x[i] - exact[i]), size += exact[i] * exact[i];
    return std::sqrt(error / size);
}

TEST_P(RefinedSolveTest, ReachesDoubleAccuracyInTheStepsItsLooseTolerancePredicts) {
    const Refined& c = GetParam();
    const HostBand a = host::Diffusion(c.w, c.h, [](double, double) { return 1.0; });
    std::unique_ptr<BandMatrix> matrix(c.gridOperator ? MakeDiffusionOperator(c.w, c.h, [](int, int) { return 1.0; })
                                                      : std::unique_ptr<GridOperator>());
    if (!matrix) matrix.reset(Upload(a));
    auto solver = SolverFor(std::move(matrix), c.w, c.h);
    const Doubles b(static_cast<size_t>(a.N()), 1.0);
    Doubles x;
    const RefinedSolveReport report = solver->SolveRefined(b, x, 1e-13, 20000);
    const Doubles exact = host::Pcg(a, b, Doubles(b.size(), 0.0), 1e-15, 100000, true).x;
    EXPECT_EQ(report.stop, Stop::kConverged);
    EXPECT_LT(RelativeError(x, exact), 1e-9);
    EXPECT_LE(host::RelativeResidual(a, b, x), 1e-13);
    EXPECT_NEAR(report.relativeResidual, host::RelativeResidual(a, b, x), 1e-14);  // double's rounding
    // Each step gains about the loose tolerance's factor.
    const int predicted =
        static_cast<int>(std::ceil(std::log(1e-13) / std::log(CgSolver::kRefinementStepTolerance)));
    EXPECT_GE(report.steps, predicted);
    EXPECT_LE(report.steps, predicted + 2);
}

INSTANTIATE_TEST_SUITE_P(Grids, RefinedSolveTest,
                         ::testing::Values(Refined{"BandMatrix64x64", 64, 64, false},
                                           Refined{"GridOperator63x47", 63, 47, true}),
                         [](const ::testing::TestParamInfo<Refined>& info) { return info.param.name; });

using RefinedStopTest = RefinedSolveTest;

// A Poisson matrix shifted to 1e-10 of singular in double. Its float copy on
// the GPU rounds the centre up, by up to 1.2e-7, which float32 solves well;
// the lowest mode of the double matrix is a thousand times weaker than the
// float one, so no correction ever gets it right.
TEST_F(RefinedStopTest, StopsHonestlyWhenFloatCorrectionsNoLongerHelp) {
    int n = 16;
    double centre = 0.0;
    for (;; ++n) {  // a grid whose centre rounds up in float
        centre = 4.0 * std::cos(M_PI / (n + 1)) + 1e-10;
        if (static_cast<double>(static_cast<float>(centre)) > centre) break;
    }
    std::unique_ptr<GridOperator> matrix = GridOperatorBuilder(n, n)
                                               .Tap(0, 0, centre)
                                               .Tap(1, 0, -1.0)
                                               .Tap(-1, 0, -1.0)
                                               .Tap(0, 1, -1.0)
                                               .Tap(0, -1, -1.0)
                                               .Build();
    const GridStencil stencil = matrix->Stencil();
    auto solver = SolverFor(std::move(matrix), n, n);
    const Doubles b = ToDoubles(Quarters(static_cast<size_t>(n * n), 5));
    Doubles x, r(b.size());
    const RefinedSolveReport report = solver->SolveRefined(b, x, 1e-10, 20000);
    EXPECT_EQ(report.stop, Stop::kStalled);
    stencil.Residual(b.data(), x.data(), r.data());
    EXPECT_NEAR(report.relativeResidual, std::sqrt(Dot(r, r) / Dot(b, b)), 1e-12);
    EXPECT_GT(report.relativeResidual, 1e-10);
}

// b = 0 has x = 0 at once; a b that is not finite stops before any work; a
// step that does not halve the residual stalls (one iteration on a b of the
// smoothest and the roughest grid functions, which steepest descent barely
// reduces).
TEST_F(RefinedStopTest, AZeroOrNonFiniteRightHandSideOrAStepGainingTooLittle) {
    const HostBand a = Poisson(8);
    auto solver = SolverFor(std::unique_ptr<BandMatrix>(Upload(a)), 8, 8);
    Doubles b(64, 0.0), x(64, 3.0);
    RefinedSolveReport report = solver->SolveRefined(b, x, 1e-10, 100);
    EXPECT_EQ(report.stop, Stop::kConverged);
    EXPECT_EQ(report.steps, 0);
    EXPECT_EQ(report.relativeResidual, 0.0);
    EXPECT_EQ(x, Doubles(64, 0.0));
    b[5] = std::numeric_limits<double>::quiet_NaN();
    x.assign(64, 3.0);
    report = solver->SolveRefined(b, x, 1e-10, 100);
    EXPECT_EQ(report.stop, Stop::kNonFinite);
    EXPECT_EQ(report.steps, 0);
    EXPECT_EQ(x, Doubles(64, 3.0));
    for (size_t n = 0; n < b.size(); ++n) b[n] = (n % 8 + n / 8) % 2 == 0 ? 1.0 : 0.0;
    x.clear();
    ASSERT_GT(host::RelativeResidual(a, b, host::Cg(a, b, Doubles(64, 0.0), 1)), 0.5);
    EXPECT_EQ(solver->SolveRefined(b, x, 1e-10, 1).stop, Stop::kStalled);
}

}  // namespace
}  // namespace lt
