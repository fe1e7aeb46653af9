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
// 6 x 6, 10 x 18) reduce through the folds of any size; odd grids leave
// padding in their textures.
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
                         ::testing::Values(Shape{kW, kH}, Shape{24, 24}, Shape{12, 12}, Shape{20, 36}, Shape{13, 11},
                                           Shape{31, 7}),
                         ShapeName);

// No iterations leave x; a zero system from a zero start stays exactly zero,
// as every residual, step and direction is 0 (nothing may become NaN by 0/0).
TEST_F(SolverTest, NonPositiveCountsLeaveXAndAZeroSystemStaysZero) {
    auto solver = MakeSolver(system, x0, b);
    EXPECT_EQ(solver->Solve(0), 0);
    EXPECT_EQ(solver->Solve(-3), 0);
    EXPECT_TRUE(Near(Values(*x), x0));
    const Floats zero(kN, 0.0f);
    auto zeroSolver = MakeSolver(system, zero, zero);
    zeroSolver->Solve(5);
    EXPECT_TRUE(Near(Values(*x), zero));
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

}  // namespace
}  // namespace lt
