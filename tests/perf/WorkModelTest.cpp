// The benchmarks report passes and fragments from the work model, not from
// a measurement; here the model meets real counts (glBegin calls and an
// occlusion query) for every operation the benchmarks time.
#include <functional>
#include <string>
#include <vector>

#include "SceneWater.h"
#include "WorkModel.h"
#include "app/WaveSurface.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/GpuScalar.h"
#include "linalg/MultigridPreconditioner.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

namespace {

struct Case {
    std::string name;
    perf::Work expected;
    std::function<void()> run;
};

// Nothing in the framework tests depth or stencil, so every fragment shaded
// passes the query.
void ExpectCounts(const Case& c) {
    SCOPED_TRACE(c.name);
    c.run();  // the first round may grow the pool; counts are the same either way
    GLuint query = 0;
    glGenQueries(1, &query);
    GlCallCounter calls;
    glBeginQuery(GL_SAMPLES_PASSED, query);
    c.run();
    glEndQuery(GL_SAMPLES_PASSED);
    GLuint64 fragments = 0;
    glGetQueryObjectui64v(query, GL_QUERY_RESULT, &fragments);
    glDeleteQueries(1, &query);
    EXPECT_EQ(calls.Counts().begin, c.expected.passes);
    EXPECT_EQ(static_cast<long long>(fragments), c.expected.fragments);
}

class WorkModelTest : public GlTest, public ::testing::WithParamInterface<int> {
protected:
    const int grid = GetParam();
    FrameworkFramebufferScope bound;
};

TEST_P(WorkModelTest, KernelsAndReductionsMatchRealCounts) {
    PackedVector a(grid, grid, 0), b(grid, grid, 0), dst(grid, grid, 0);
    GpuScalar c, d;
    a.Fill(1.0f);
    b.Fill(2.0f);
    c.SetValue(0.5f);
    d.SetValue(2.0f);
    const long long texels = static_cast<long long>(grid / 2) * (grid / 2);
    const int side = grid / 2;
    const std::vector<Case> cases = {
        {"Fill", perf::Fill(texels), [&] { dst.Fill(1.0f); }},
        {"CopyFrom", perf::Copy(texels), [&] { dst.CopyFrom(&a); }},
        {"Scale", perf::Scale(texels), [&] { a.Scale(1.0f); }},
        {"Combine", perf::Combine(texels), [&] { a.Combine(&b, &dst, 1.0f, 1.0f); }},
        {"CombineSub", perf::Combine(texels), [&] { a.CombineSub(&b, &dst, 1.0f, 1.0f); }},
        {"CombineOp", perf::Combine(texels), [&] { a.CombineOp(1, &b, &dst, 1.0f, 1.0f); }},
        {"MulAddScalar", perf::MulScalar(texels), [&] { a.MulAddScalar(&b, &dst, 1.0f, &c); }},
        {"MulSubScalar", perf::MulScalar(texels), [&] { a.MulSubScalar(&b, &dst, 1.0f, &c); }},
        {"Dot", perf::Reduction(side, side, 2), [&] { a.Dot(&b, &c); }},
        {"DotValue", perf::Reduction(side, side, 2), [&] { a.DotValue(&b); }},
        {"Sum", perf::Reduction(side, side, 1), [&] { a.Sum(&c); }},
        {"SafeDivide", perf::ScalarPass(2), [&] { c.SafeDivide(&d, &c, 1.0f, 1.0f); }},
    };
    for (const Case& k : cases) ExpectCounts(k);
}

// Reductions of oblong textures take the one-directional folds too.
TEST_P(WorkModelTest, OblongReductionsMatchRealCounts) {
    UnpackedVector wide(grid, grid / 4, 0), tall(grid / 4, grid, 0);
    GpuScalar result;
    wide.Fill(1.0f);
    tall.Fill(1.0f);
    ExpectCounts({"wide", perf::Reduction(grid, grid / 4, 1), [&] { wide.Dot(&wide, &result); }});
    ExpectCounts({"tall", perf::Reduction(grid / 4, grid, 1), [&] { tall.Sum(&result); }});
}

TEST_P(WorkModelTest, SolverAndFrameMatchRealCounts) {
    const auto water = perf::RipplingSimulation(grid, grid);
    WaterSimulation& w = *water;
    const WaveParameters& wave = perf::kSceneWave;
    WaveSystemMatrix matrix(grid, grid, wave.speed, wave.timeStep, wave.spacingX, wave.spacingY);
    PackedVector x(grid, grid, 0), y(grid, grid, 0);
    x.Fill(1.0f);
    // The cycle reports its own work; here its passes and fragments meet real ones.
    MultigridPreconditioner multigrid(&matrix);
    perf::Work cycle;
    cycle.passes = multigrid.CycleWork().passes;
    cycle.fragments = multigrid.CycleWork().fragments;
    const std::vector<Case> cases = {
        {"BandProduct", perf::WaveBandProduct(grid, grid, false),
         [&] { matrix.MultiplyVector(0, &x, nullptr, &y); }},
        {"BandProductCorrected", perf::WaveBandProduct(grid, grid, true),
         [&] { matrix.MultiplyVector(2, &x, &x, &y); }},
        {"CgIteration", perf::CgIteration(grid, grid), [&] { w.solver->Iterate(); }},
        {"MultigridCycle", cycle, [&] { multigrid.Apply(&x, &y); }},
        {"Solve2", perf::CgSolve(grid, grid, 2), [&] { w.solver->Solve(2); }},
        {"WaveStep", perf::WaveStep(grid, grid), [&] { w.wave->Step(w.last, w.current); }},
        {"Pack", perf::Pack(grid, grid), [&] { w.rightHandSide->PackFrom(w.wave); }},
        {"Unpack", perf::Unpack(grid, grid), [&] { w.solution->UnpackInto(w.current); }},
        {"Frame", perf::SimulationFrame(grid, grid), [&] { w.Step(perf::kIterationsPerFrame); }},
    };
    for (const Case& k : cases) ExpectCounts(k);
}

INSTANTIATE_TEST_SUITE_P(Grids, WorkModelTest, ::testing::Values(64, 256),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param);
                         });

}  // namespace
