// The benchmarks report passes and fragments from the work model, not from
// a measurement; here the model meets real counts (glBegin calls and an
// occlusion query) for every operation the benchmarks time.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GpuFrame.h"
#include "PassCounter.h"
#include "WorkModel.h"
#include "app/Scene.h"
#include "app/WaveSurface.h"
#include "app/Window.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/GpuScalar.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

struct Case {
    std::string name;
    perf::Work expected;
    std::function<void()> run;
};

void ExpectCounts(const Case& c) {
    SCOPED_TRACE(c.name);
    c.run();  // the first round may grow the pool; counts are the same either way
    PassCounter counter;
    c.run();
    const PassCounter::Counts counts = counter.Take();
    EXPECT_EQ(counts.passes, c.expected.passes);
    EXPECT_EQ(counts.fragments, c.expected.fragments);
}

class WorkModelTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { BeginRenderToTexture(); }
    void TearDown() override {
        EndRenderToTexture();
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }
};

TEST_P(WorkModelTest, KernelsAndReductionsMatchRealCounts) {
    const int grid = GetParam();
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
    for (const Case& c : cases) ExpectCounts(c);
}

// Reductions of oblong textures take the one-directional folds too.
TEST_P(WorkModelTest, OblongReductionsMatchRealCounts) {
    const int grid = GetParam();
    UnpackedVector wide(grid, grid / 4, 0), tall(grid / 4, grid, 0);
    GpuScalar result;
    wide.Fill(1.0f);
    tall.Fill(1.0f);
    ExpectCounts({"wide", perf::Reduction(grid, grid / 4, 1), [&] { wide.Dot(&wide, &result); }});
    ExpectCounts({"tall", perf::Reduction(grid / 4, grid, 1), [&] { tall.Sum(&result); }});
}

TEST_P(WorkModelTest, SolverAndFramePiecesMatchRealCounts) {
    const int grid = GetParam();
    EndRenderToTexture();
    perf::GpuFrame frame(grid, grid);
    const perf::WaterState water = perf::RipplingWater(grid, grid);
    frame.SetState(water.current, water.last, water.solution);
    BeginRenderToTexture();
    WaveSystemMatrix matrix(grid, grid, perf::kWaveSpeed, perf::kTimeStep, perf::kSpacing, perf::kSpacing);
    PackedVector x(grid, grid, 0), y(grid, grid, 0);
    x.Fill(1.0f);
    const std::vector<Case> cases = {
        {"BandProduct", perf::WaveBandProduct(grid, grid, false),
         [&] { matrix.MultiplyVector(0, &x, nullptr, &y); }},
        {"BandProductCorrected", perf::WaveBandProduct(grid, grid, true),
         [&] { matrix.MultiplyVector(2, &x, &x, &y); }},
        {"CgIteration", perf::CgIteration(grid, grid), [&] { frame.Solver()->Iterate(); }},
        {"Solve2", perf::CgSolve(grid, grid, 2), [&] { frame.Solver()->Solve(2); }},
        {"WaveStep", perf::WaveStep(grid, grid),
         [&] { frame.Wave()->Step(frame.HeightLast(), frame.HeightCurrent()); }},
        {"Pack", perf::Pack(grid, grid), [&] { frame.RightHandSide()->PackFrom(frame.Wave()); }},
        {"Unpack", perf::Unpack(grid, grid), [&] { frame.Solution()->UnpackInto(frame.HeightCurrent()); }},
    };
    for (const Case& c : cases) ExpectCounts(c);
    EndRenderToTexture();
    ExpectCounts({"Frame", perf::SimulationFrame(grid, grid), [&] { frame.Step(); }});
    BeginRenderToTexture();
}

INSTANTIATE_TEST_SUITE_P(Grids, WorkModelTest, ::testing::Values(64, 256),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

TEST(SceneWorkModelTest, SceneFrameMatchesRealCounts) {
    ExpectCounts({"SimulationStep", perf::SimulationFrame(g_iGridWidth, g_iGridHeight), SimulationStep});
}

}  // namespace
