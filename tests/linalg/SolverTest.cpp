// CgSolver against conjugate gradients in double on the host.
#include <algorithm>

#include "linalg/CgSolver.h"
#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

constexpr int kW = 32, kH = 16, kN = kW * kH;

// Symmetric, each diagonal entry 0.5 above its row's off-diagonal magnitudes:
// eigenvalues in [0.5, ~10], so tens of iterations, each moving x visibly.
// Offsets 1 and 3 are not multiples of 4; w crosses grid rows.
HostBand SpdMatrix(int w = kW, int h = kH) {
    const size_t n = static_cast<size_t>(w * h);
    HostBand a{w, h, {0}, {Floats(n, 0.5f)}};
    unsigned seed = 100;
    for (int d : {1, 3, w}) {
        Floats upper = Quarters(n, seed++), lower(n, 0.0f);
        std::fill(upper.end() - d, upper.end(), 0.0f);  // columns past the end
        for (size_t r = 0; r + static_cast<size_t>(d) < n; ++r) {
            lower[r + static_cast<size_t>(d)] = upper[r];
            a.diagonals[0][r] += std::fabs(upper[r]);
            a.diagonals[0][r + static_cast<size_t>(d)] += std::fabs(upper[r]);
        }
        a.offsets.insert(a.offsets.end(), {d, -d});
        a.diagonals.insert(a.diagonals.end(), {upper, lower});
    }
    return a;
}

class SolverTest : public LinalgTest {
protected:
    const HostBand system = SpdMatrix();
    const Floats x0 = Quarters(kN, 1), b = Quarters(kN, 2);
    GpuVector* x = nullptr;  // owned by the solver

    std::unique_ptr<CgSolver> MakeSolver(const HostBand& matrix, const Floats& start, const Floats& rhs) {
        x = Make<PackedVector>(matrix.w, matrix.h, start).release();
        return std::make_unique<CgSolver>(Upload(matrix), x, Make<PackedVector>(matrix.w, matrix.h, rhs).release(),
                                          0);
    }
    static double Scale(const Doubles& v) {
        double largest = 0;
        for (double e : v) largest = std::max(largest, std::fabs(e));
        return largest;
    }
};

class SolverShapeTest : public SolverTest, public ::testing::WithParamInterface<Shape> {};

// Grids whose packed textures have sides that are not powers of two (12 x 12,
// 6 x 6, 10 x 18) reduce through the folds of any size.
TEST_P(SolverShapeTest, IteratesFollowTheMethodInDouble) {
    const int w = GetParam().w, h = GetParam().h;
    const HostBand matrix = SpdMatrix(w, h);
    const Floats start = Quarters(w * h, 1), rhs = Quarters(w * h, 2);
    auto solver = MakeSolver(matrix, start, rhs);
    for (int iterations : {1, 2, 5, 20}) {
        x->SetData(start.data(), start.size());
        EXPECT_EQ(solver->Solve(iterations), iterations);
        const Doubles expected = host::Cg(matrix, ToDoubles(rhs), ToDoubles(start), iterations);
        EXPECT_TRUE(Near(Values(*x), expected, kSolverDrift * Scale(expected)))
            << iterations << " iterations";
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, SolverShapeTest,
                         ::testing::Values(Shape{kW, kH}, Shape{24, 24}, Shape{12, 12}, Shape{20, 36}), ShapeName);

// Float32 rounding leaves a floor near 2e-7 of the initial residual.
TEST_F(SolverTest, EnoughIterationsCutTheResidualByOrdersOfMagnitude) {
    auto solver = MakeSolver(system, Floats(kN, 0.0f), b);
    solver->Solve(40);
    Doubles r = system.Multiply(ToDoubles(Values(*x)));
    for (size_t i = 0; i < r.size(); ++i) r[i] -= b[i];
    EXPECT_LT(std::sqrt(Dot(r, r)), 1e-5 * std::sqrt(Dot(ToDoubles(b), ToDoubles(b))));
}

// r = b - x0 and A r = r, so the first step length is 1: x = b.
TEST_F(SolverTest, TheIdentityGivesTheRightHandSideAfterOneIteration) {
    auto solver = MakeSolver(HostBand{kW, kH, {0}, {Floats(kN, 1.0f)}}, x0, b);
    solver->Solve(1);
    EXPECT_TRUE(Near(Values(*x), b, kIdentityStep * (Scale(ToDoubles(x0)) + Scale(ToDoubles(b)))));
}

// Every residual, step and direction is 0: nothing may become NaN through 0/0.
TEST_F(SolverTest, AZeroRightHandSideFromAZeroStartStaysExactlyZero) {
    const Floats zero(kN, 0.0f);
    auto solver = MakeSolver(system, zero, zero);
    solver->Solve(5);
    EXPECT_TRUE(Near(Values(*x), zero));
}

TEST_F(SolverTest, NonPositiveIterationCountsReturnZeroAndLeaveX) {
    auto solver = MakeSolver(system, x0, b);
    EXPECT_EQ(solver->Solve(0), 0);
    EXPECT_EQ(solver->Solve(-3), 0);
    EXPECT_TRUE(Near(Values(*x), x0));
}

// The second solve starts from the first one's x with a fresh direction: two
// restarted runs, told apart from one continuous four-iteration run.
TEST_F(SolverTest, ASecondSolveContinuesFromTheFirstSolution) {
    auto solver = MakeSolver(system, x0, b);
    solver->Solve(2);
    solver->Solve(2);
    const Doubles bd = ToDoubles(b);
    const Doubles restarted = host::Cg(system, bd, host::Cg(system, bd, ToDoubles(x0), 2), 2);
    const double tolerance = kSolverDrift * Scale(restarted);
    ASSERT_FALSE(Near(Floats(restarted.begin(), restarted.end()), host::Cg(system, bd, ToDoubles(x0), 4),
                      10 * tolerance));
    EXPECT_TRUE(Near(Values(*x), restarted, tolerance));
}

// After the first solve has taken its textures from the pool, solving is pure
// GPU work; the solver owns matrix, x and b and gives every texture back.
TEST_F(SolverTest, LaterSolvesReadNothingBackAndCreateNoTexture) {
    const long used = UsedTextures();
    auto solver = MakeSolver(system, x0, b);
    solver->Solve(2);
    const size_t pool = PoolSize();
    GlCallCounter calls;
    solver->Solve(3);
    EXPECT_GT(calls.Counts().bindTexture, 0);
    EXPECT_EQ(calls.Counts().readPixels + calls.Counts().getTexImage, 0);
    EXPECT_EQ(calls.Counts().genTextures + calls.Counts().texImage2D + calls.Counts().genFramebuffers, 0);
    EXPECT_EQ(PoolSize(), pool);
    solver.reset();
    EXPECT_EQ(UsedTextures(), used);
}

struct Refused {
    const char* name;
    int layout;
    bool packedX, packedB;
};

class RefusedSolveTest : public SolverTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedSolveTest, PrintsWhyReturnsZeroAndLeavesX) {
    const Refused& c = GetParam();
    auto vector = [](bool packed, const Floats& v) -> GpuVector* {
        if (packed) return Make<PackedVector>(kW, kH, v).release();
        return Make<UnpackedVector>(kW, kH, v).release();
    };
    GpuVector* vx = vector(c.packedX, x0);
    CgSolver solver(Upload(system), vx, vector(c.packedB, b), c.layout);
    const GLuint texture = vx->Texture();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(solver.Solve(4), 0);
    solver.Iterate();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "CgSolver::Solve: band matrix products need packed vectors and working layout 0; nothing solved.\n"
              "CgSolver::Iterate: band matrix products need packed vectors and working layout 0; nothing solved.\n");
    EXPECT_EQ(vx->Texture(), texture);
    EXPECT_TRUE(Near(Values(*vx), x0));
}

INSTANTIATE_TEST_SUITE_P(Configurations, RefusedSolveTest,
                         ::testing::Values(Refused{"Layout1", 1, true, true},
                                           Refused{"UnpackedX", 0, false, true},
                                           Refused{"UnpackedB", 0, true, false}),
                         [](const ::testing::TestParamInfo<Refused>& info) { return info.param.name; });

}  // namespace
}  // namespace lt
