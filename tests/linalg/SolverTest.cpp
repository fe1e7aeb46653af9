#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "linalg/BandMatrix.h"
#include "linalg/BandTestSupport.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"
#include "support/GlCallCounter.h"

using namespace band_test;

namespace {

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

// The textbook method in double, restarted from x, with the same guards
// against a zero denominator that keep the GPU's version free of NaN.
std::vector<double> HostConjugateGradient(const HostBandMatrix& a, const std::vector<double>& b,
                                          std::vector<double> x, int iterations) {
    std::vector<double> r = a.Multiply(x);
    for (size_t i = 0; i < r.size(); ++i) r[i] = b[i] - r[i];
    std::vector<double> p = r;
    double rho = Dot(r, r);
    for (int k = 0; k < iterations; ++k) {
        const std::vector<double> q = a.Multiply(p);
        const double pq = Dot(p, q);
        const double alpha = pq != 0.0 ? rho / pq : 0.0;
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] += alpha * p[i];
            r[i] -= alpha * q[i];
        }
        const double rhoNew = Dot(r, r);
        const double beta = rho != 0.0 ? rhoNew / rho : 0.0;
        for (size_t i = 0; i < p.size(); ++i) p[i] = r[i] + beta * p[i];
        rho = rhoNew;
    }
    return x;
}

double ResidualNorm(const HostBandMatrix& a, const std::vector<double>& b, const std::vector<float>& x) {
    std::vector<double> r = a.Multiply(ToDouble(x));
    for (size_t i = 0; i < r.size(); ++i) r[i] -= b[i];
    return std::sqrt(Dot(r, r));
}

double MaxMagnitude(const std::vector<double>& values) {
    double largest = 0.0;
    for (double v : values) largest = std::max(largest, std::fabs(v));
    return largest;
}

// The solver owns matrix, x and b; the test keeps x to read the solution.
struct SolverUnderTest {
    std::unique_ptr<CgSolver> solver;
    GpuVector* x;
};

class SolverTest : public FrameworkTest {
protected:
    static constexpr int kW = 32, kH = 16, kN = kW * kH;

    // Symmetric, diagonally dominant by 0.4: its eigenvalues lie in
    // [0.4, ~12], so the method needs tens of iterations and every one of
    // the first twenty moves x visibly. Offsets 1 and 3 are not multiples of
    // 4 and 32 crosses grid rows.
    HostBandMatrix system = RandomSpdBandMatrix(kW, kH, {1, 3, kW}, 0.4, rng);
    std::vector<float> x0 = RandomValues(kN, rng), b = RandomValues(kN, rng);

    SolverUnderTest MakeSolver(const HostBandMatrix& matrix, const std::vector<float>& start,
                               const std::vector<float>& rightHandSide) {
        PackedVector* x = MakePacked(kW, kH, start).release();
        PackedVector* rhs = MakePacked(kW, kH, rightHandSide).release();
        return {std::make_unique<CgSolver>(matrix.Upload(), x, rhs, 0), x};
    }
};

// Float32 iterates drift from the double ones through the rounding of the
// two dot products per iteration (relative error about log2(N) * eps each)
// and of the updates. On this well-conditioned system the drift stays below
// 1e-5 of the solution's scale over twenty iterations (measured: under 1e-6),
// while a wrong step length or direction would move x by a good part of it.
TEST_F(SolverTest, IteratesFollowTheMethodInDouble) {
    SolverUnderTest solve = MakeSolver(system, x0, b);
    for (int iterations : {1, 2, 5, 20}) {
        SCOPED_TRACE(std::to_string(iterations) + " iterations");
        solve.x->SetData(x0.data());
        EXPECT_EQ(solve.solver->Solve(iterations), iterations);

        const std::vector<double> expected =
            HostConjugateGradient(system, ToDouble(b), ToDouble(x0), iterations);
        const std::vector<double> tolerance(kN, 1e-5 * MaxMagnitude(expected));
        EXPECT_TRUE(AllWithin(ReadValues(*solve.x), expected, tolerance));
    }
}

// Float32 rounding leaves a floor near 2e-7 of the initial residual, reached
// after about forty iterations here.
TEST_F(SolverTest, EnoughIterationsReduceTheResidualByOrdersOfMagnitude) {
    SolverUnderTest solve = MakeSolver(system, std::vector<float>(kN, 0.0f), b);
    const double initial = ResidualNorm(system, ToDouble(b), std::vector<float>(kN, 0.0f));
    solve.solver->Solve(40);
    EXPECT_LT(ResidualNorm(system, ToDouble(b), ReadValues(*solve.x)), 1e-5 * initial);
}

// r = b - x0 and q = A r = r, so the first step length is 1 and x = b up to
// the rounding of x0 + 1 * (b - x0): two roundings of the operands' scale.
// Further solves stay there.
TEST_F(SolverTest, TheIdentityGivesTheRightHandSideAfterOneIteration) {
    HostBandMatrix identity{kW, kH, {0}, {std::vector<float>(kN, 1.0f)}};
    SolverUnderTest solve = MakeSolver(identity, x0, b);
    std::vector<double> tolerance(kN);
    for (size_t i = 0; i < kN; ++i) tolerance[i] = 4.0 * kFloatEpsilon * (std::fabs(x0[i]) + std::fabs(b[i]));

    solve.solver->Solve(1);
    EXPECT_TRUE(AllWithin(ReadValues(*solve.x), ToDouble(b), tolerance));
    solve.solver->Solve(3);
    EXPECT_TRUE(AllWithin(ReadValues(*solve.x), ToDouble(b), tolerance));
}

// Every residual, step length and direction is 0, so nothing may turn into
// NaN through 0/0: x stays exactly 0.
TEST_F(SolverTest, AZeroRightHandSideFromAZeroStartStaysExactlyZero) {
    const std::vector<float> zero(kN, 0.0f);
    SolverUnderTest solve = MakeSolver(system, zero, zero);
    solve.solver->Solve(5);
    EXPECT_TRUE(SameValues(ReadValues(*solve.x), zero));
}

TEST_F(SolverTest, NonPositiveIterationCountsReturnZeroAndLeaveX) {
    SolverUnderTest solve = MakeSolver(system, x0, b);
    EXPECT_EQ(solve.solver->Solve(0), 0);
    EXPECT_EQ(solve.solver->Solve(-3), 0);
    EXPECT_TRUE(SameValues(ReadValues(*solve.x), x0));
}

// The second solve starts from the first one's x with a fresh direction, so
// it matches two restarted runs and not one continuous four-iteration run.
TEST_F(SolverTest, ASecondSolveContinuesFromTheFirstSolution) {
    SolverUnderTest solve = MakeSolver(system, x0, b);
    solve.solver->Solve(2);
    solve.solver->Solve(2);

    const std::vector<double> bd = ToDouble(b);
    const std::vector<double> restarted =
        HostConjugateGradient(system, bd, HostConjugateGradient(system, bd, ToDouble(x0), 2), 2);
    const std::vector<double> continuous = HostConjugateGradient(system, bd, ToDouble(x0), 4);
    const double tolerance = 1e-5 * MaxMagnitude(restarted);
    double restartEffect = 0.0;
    for (size_t i = 0; i < kN; ++i)
        restartEffect = std::max(restartEffect, std::fabs(restarted[i] - continuous[i]));
    ASSERT_GT(restartEffect, 10.0 * tolerance) << "this system cannot tell a restart from a continued run";

    EXPECT_TRUE(AllWithin(ReadValues(*solve.x), restarted, std::vector<double>(kN, tolerance)));
}

// After the first solve has taken its scratch textures from the pool, solving
// again is pure GPU work: nothing read back, no texture or framebuffer made,
// no texture storage allocated again, and the pool does not grow.
TEST_F(SolverTest, SolvesAfterTheFirstReadNothingBackAndCreateNoGlObject) {
    SolverUnderTest solve = MakeSolver(system, x0, b);
    solve.solver->Solve(2);
    const size_t poolTextures = g_resourcePool->Textures().size();

    GlCallCounter calls;
    solve.solver->Solve(2);
    solve.solver->Solve(3);
    const GlCallCounts counts = calls.Counts();

    EXPECT_GT(counts.bindTexture, 0) << "the counter saw no GL work at all";
    EXPECT_EQ(counts.readPixels, 0);
    EXPECT_EQ(counts.getTexImage, 0);
    EXPECT_EQ(counts.genTextures, 0);
    EXPECT_EQ(counts.texImage2D, 0);
    EXPECT_EQ(counts.genFramebuffers, 0);
    EXPECT_EQ(g_resourcePool->Textures().size(), poolTextures);
}

long UsedPoolTextures() {
    long used = 0;
    for (const TextureEntry& entry : g_resourcePool->Textures()) used += entry.used ? 1 : 0;
    return used;
}

// The solver owns matrix, x and b: destroying it gives back their textures
// as well as its own working vectors and scalars.
TEST_F(SolverTest, DestroyingTheSolverGivesBackEveryTextureItHeld) {
    const long usedBefore = UsedPoolTextures();
    SolverUnderTest solve = MakeSolver(system, x0, b);
    solve.solver->Solve(3);
    solve.solver.reset();
    EXPECT_EQ(UsedPoolTextures(), usedBefore);
}

// Band products address packed vectors only; anything else is refused with a
// message before any pass runs.
struct RefusedCase {
    const char* name;
    int layout;
    bool packedX;
    bool packedB;
};

class RefusedSolveTest : public SolverTest, public ::testing::WithParamInterface<RefusedCase> {
protected:
    static GpuVector* MakeVector(bool packed, const std::vector<float>& values) {
        GpuVector* vector = packed ? static_cast<GpuVector*>(new PackedVector(kW, kH, 0))
                                   : static_cast<GpuVector*>(new UnpackedVector(kW, kH, 0));
        vector->SetData(values.data());
        return vector;
    }
};

TEST_P(RefusedSolveTest, PrintsWhyAndLeavesXUntouched) {
    GpuVector* x = MakeVector(GetParam().packedX, x0);
    CgSolver solver(system.Upload(), x, MakeVector(GetParam().packedB, b), GetParam().layout);
    const GLuint texture = x->Texture();

    StdoutCapture solveOutput;
    EXPECT_EQ(solver.Solve(4), 0);
    EXPECT_EQ(solveOutput.Text(),
              "CgSolver: band matrix products need packed vectors and working layout 0; nothing solved.\n");
    StdoutCapture iterateOutput;
    solver.Iterate();
    EXPECT_EQ(iterateOutput.Text(), "");

    EXPECT_EQ(x->Texture(), texture);
    EXPECT_TRUE(SameValues(ReadValues(*x), x0));
}

INSTANTIATE_TEST_SUITE_P(Configurations, RefusedSolveTest,
                         ::testing::Values(RefusedCase{"UnpackedWorkingLayout", 1, true, true},
                                           RefusedCase{"UnpackedX", 0, false, true},
                                           RefusedCase{"UnpackedB", 0, true, false}),
                         [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

}  // namespace
