// The multigrid preconditioner against its maths in double on the host: the
// coarse operators against a Galerkin product of explicit matrices, one
// cycle on the GPU against a cycle written here from the hierarchy's
// operators and bounds, and the cycle's symmetry.
#include <algorithm>
#include <cmath>

#include "linalg/GridOperatorBuilder.h"
#include "linalg/GridStencil.h"
#include "linalg/LinalgTestSupport.h"
#include "linalg/MultigridHierarchy.h"
#include "linalg/MultigridPreconditioner.h"

namespace lt {
namespace {

// A hundredfold jump across a diagonal line and a smooth variation elsewhere.
double Jumping(double x, double y) { return (x + y > 1.0 ? 100.0 : 1.0) * (1.0 + 0.5 * x * y); }

GridStencil StencilOf(const HostBand& band) {
    GridStencil stencil;
    std::string reason;
    std::vector<long long> offsets(band.offsets.begin(), band.offsets.end());
    EXPECT_TRUE(StencilOfBand(band.w, band.h, offsets, band.diagonals, &stencil, &reason)) << reason;
    return stencil;
}

TEST(CoarseOperatorTest, IsTheGalerkinProductOfExplicitMatrices) {
    for (const Shape shape : {Shape{10, 8}, Shape{9, 7}}) {
        const GridStencil fine = StencilOf(host::Diffusion(shape.w, shape.h, Jumping));
        const GridStencil coarse = CoarseOperator(fine);
        const int w = shape.w / 2, h = shape.h / 2, n = shape.w * shape.h;
        ASSERT_EQ(coarse.Width(), w);
        ASSERT_EQ(coarse.Height(), h);
        Doubles a(static_cast<size_t>(n * n), 0.0);
        for (int y = 0; y < shape.h; ++y)
            for (int x = 0; x < shape.w; ++x)
                for (int tap = 0; tap < fine.NumTaps(); ++tap) {
                    const StencilOffset& o = fine.Offset(tap);
                    if (fine.Reaches(tap, x, y))
                        a[static_cast<size_t>((y * shape.w + x) * n + (y + o.dy) * shape.w + x + o.dx)] =
                            fine.At(tap, x, y);
                }
        const auto p = [&](int f, int c) { return Hat(f % shape.w, c % w) * Hat(f / shape.w, c / w); };
        for (int row = 0; row < w * h; ++row)
            for (int column = 0; column < w * h; ++column) {
                double expected = 0.0;
                for (int f = 0; f < n; ++f)
                    for (int g = 0; g < n; ++g)
                        expected += p(f, row) * a[static_cast<size_t>(f * n + g)] * p(g, column) / 4;
                const int dx = column % w - row % w, dy = column / w - row / w;
                const double actual = std::abs(dx) <= 1 && std::abs(dy) <= 1
                                          ? coarse.At(coarse.FindTap(dx, dy), row % w, row / w)
                                          : 0.0;
                EXPECT_NEAR(actual, expected, 1e-10) << shape << " entry " << row << ", " << column;
            }
    }
}

// Grids halve while they have more than 64 points and both sides are at
// least 4; the finest is smoothed twice, those between once, and the
// coarsest, unless its at most 256 points are solved directly, eight times.
TEST(MultigridHierarchyTest, HalvesAsFarAsItsRulesAllow) {
    const std::pair<Shape, std::string> cases[] = {{{64, 32}, "64x32:2 32x16:1 16x8:1 8x4 direct"},
                                                   {{9, 7}, "9x7 direct"},
                                                   {{4, 40}, "4x40:2 2x20 direct"},
                                                   {{256, 1}, "256x1 direct"},
                                                   {{130, 3}, "130x3:8"}};
    for (const auto& [shape, expected] : cases) {
        MultigridHierarchy hierarchy;
        std::string reason, levels;
        ASSERT_TRUE(hierarchy.Build(StencilOf(host::Diffusion(shape.w, shape.h, Jumping)), &reason)) << reason;
        for (int l = 0; l < hierarchy.Levels(); ++l) {
            const GridStencil& a = hierarchy.Operator(l);
            levels += std::to_string(a.Width()) + "x" + std::to_string(a.Height());
            const bool last = l + 1 == hierarchy.Levels();
            if (last && hierarchy.DirectCoarsest())
                levels += " direct";
            else
                levels += ":" + std::to_string(hierarchy.Steps(l).size()) + (last ? "" : " ");
        }
        EXPECT_EQ(levels, expected);
    }
}

double MaxMagnitude(const Doubles& v) {
    double largest = 0;
    for (double e : v) largest = std::max(largest, std::fabs(e));
    return largest;
}

class MultigridCycleTest : public LinalgParamTest<Shape> {};

// 64 x 32 takes the transfers of whole texels down to its coarsest grid, 64
// x 33 too with an odd row left over; 44 x 36, 28 x 20 and 45 x 37 (widths
// not multiples of 8) those of single channels, the last two with texels
// straddling grid rows and padding after the last element. 130 x 3 is too
// thin to halve and too large to invert: its one grid is only smoothed.
TEST_P(MultigridCycleTest, OneCycleFollowsTheCycleInDouble) {
    const Shape s = GetParam();
    const HostBand band = host::Diffusion(s.w, s.h, Jumping);
    std::unique_ptr<BandMatrix> matrix(Upload(band));
    MultigridPreconditioner preconditioner(matrix.get());
    ASSERT_TRUE(preconditioner.IsUsable());
    const Floats r = Quarters(static_cast<size_t>(band.N()), 11);
    auto vr = Make<PackedVector>(s.w, s.h, r);
    PackedVector z(s.w, s.h, 0);
    preconditioner.Apply(vr.get(), &z);
    const Doubles expected = HostCycle(preconditioner.Hierarchy()).Apply(ToDoubles(r));
    EXPECT_TRUE(Near(Values(z), expected, 1e-5 * MaxMagnitude(expected)));
}

INSTANTIATE_TEST_SUITE_P(Grids, MultigridCycleTest,
                         ::testing::Values(Shape{64, 32}, Shape{64, 33}, Shape{44, 36}, Shape{28, 20},
                                           Shape{45, 37}, Shape{130, 3}),
                         ShapeName);

// <u, M v> = <M u, v>: what conjugate gradients needs of a preconditioner,
// to float rounding. A grid operator gives its stencil: nothing is read back.
// Its entries times 4 and Rebuild make M^-1 r a quarter, exactly.
TEST_F(LinalgTest, MultigridCycleIsSymmetricAndFollowsTheMatrix) {
    const int w = 48, h = 40;
    std::unique_ptr<GridOperator> matrix =
        MakeDiffusionOperator(w, h, [&](int x, int y) { return Jumping((x + 0.5) / w, (y + 0.5) / h); });
    const GlCallCounter calls;
    MultigridPreconditioner preconditioner(matrix.get());
    EXPECT_EQ(calls.Counts().readPixels, 0);
    const Floats u = Quarters(w * h, 21), v = Quarters(w * h, 22);
    auto vu = Make<PackedVector>(w, h, u), vv = Make<PackedVector>(w, h, v);
    PackedVector mu(w, h, 0), mv(w, h, 0);
    preconditioner.Apply(vu.get(), &mu);
    preconditioner.Apply(vv.get(), &mv);
    const Doubles du = ToDoubles(u), dv = ToDoubles(v), dmu = ToDoubles(Values(mu)),
                  dmv = ToDoubles(Values(mv));
    EXPECT_NEAR(Dot(du, dmv), Dot(dmu, dv), 1e-6 * std::sqrt(Dot(du, du) * Dot(dmv, dmv)));
    EXPECT_GT(Dot(du, dmu), 0.0);

    GridStencil scaled = matrix->Stencil();
    for (int tap = 0; tap < scaled.NumTaps(); ++tap) {
        Doubles c = scaled.Coefficients(tap);
        for (double& e : c) e *= 4;
        scaled.SetCoefficients(tap, c);
    }
    ASSERT_TRUE(matrix->SetStencil(scaled));
    ASSERT_TRUE(preconditioner.Rebuild());
    preconditioner.Apply(vu.get(), &mu);
    Doubles quarter = dmu;
    for (double& e : quarter) e /= 4;
    EXPECT_TRUE(Near(Values(mu), quarter));
}

}  // namespace
}  // namespace lt
