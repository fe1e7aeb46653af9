// The framework on the GL: vector kernels and reductions on packed vectors
// of a W x W grid (a (W/2) x (W/2) texture, the solver's layout; the kernels
// are the same programs for both layouts, so an unpacked vector of W/2 costs
// the same), the band product, the solver and the pieces of the demo's frame.
// The whole frame runs in PeerBench.cpp, beside the CPU peers.
#include "BenchSupport.h"
#include "SceneWater.h"
#include "app/WaveSurface.h"
#include "gpu/Framework.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/GpuScalar.h"
#include "linalg/MultigridPreconditioner.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

using bench::TimeGl;

int Grid(const benchmark::State& state) { return static_cast<int>(state.range(0)); }

struct Operands {
    explicit Operands(int grid) : grid(grid), a(grid, grid, 0), b(grid, grid, 0), dst(grid, grid, 0) {
        a.Fill(1.0f);
        b.Fill(0.5f);
        dst.Fill(0.0f);
        c.SetValue(0.25f);
    }
    long long Texels() const { return static_cast<long long>(grid / 2) * (grid / 2); }

    int grid;
    FrameworkFramebufferScope bound;  // for the operands' set-up and every timed call
    PackedVector a, b, dst;
    GpuScalar c;
};

using VectorOp = void (*)(Operands&);

void Elementwise(const char* name, perf::Work (*model)(long long), VectorOp op) {
    benchmark::RegisterBenchmark(name, [=](benchmark::State& state) {
        Operands v(Grid(state));
        TimeGl(state, model(v.Texels()), [&] { op(v); });
    })->Apply(bench::GridSizes);
}

void Reduction(const char* name, VectorOp op) {
    benchmark::RegisterBenchmark(name, [=](benchmark::State& state) {
        Operands v(Grid(state));
        TimeGl(state, perf::Reduction(v.grid / 2, v.grid / 2, 2), [&] { op(v); });
    })->Apply(bench::GridSizes);
}

// Pieces of the demo's frame, on its objects in the rippling state.
using WaterOp = void (*)(WaterSimulation&);

void FramePiece(const char* name, perf::Work (*model)(int, int), WaterOp op, WaterOp prepare = nullptr) {
    benchmark::RegisterBenchmark(name, [=](benchmark::State& state) {
        const int grid = Grid(state);
        auto water = perf::RipplingSimulation(grid, grid);
        FrameworkFramebufferScope bound;
        if (prepare != nullptr) prepare(*water);
        TimeGl(state, model(grid, grid), [&] { op(*water); });
    })->Apply(bench::GridSizes);
}

void BM_BandProduct(benchmark::State& state) {
    const int grid = Grid(state);
    const WaveParameters& wave = perf::kSceneWave;
    WaveSystemMatrix matrix(grid, grid, wave.speed, wave.timeStep, wave.spacingX, wave.spacingY);
    Operands v(grid);
    TimeGl(state, perf::WaveBandProduct(grid, grid, false),
           [&] { matrix.MultiplyVector(0, &v.a, nullptr, &v.dst); });
}

// One application of the multigrid preconditioner to the wave system, the
// work it reports beside its time: what one preconditioned iteration adds.
void BM_MultigridCycle(benchmark::State& state) {
    const int grid = Grid(state);
    const WaveParameters& wave = perf::kSceneWave;
    WaveSystemMatrix matrix(grid, grid, wave.speed, wave.timeStep, wave.spacingX, wave.spacingY);
    Operands v(grid);
    MultigridPreconditioner multigrid(&matrix);
    const MultigridPreconditioner::Work cycle = multigrid.CycleWork();
    perf::Work work;
    work.passes = cycle.passes;
    work.fragments = cycle.fragments;
    work.texelsRead = cycle.texelsRead;
    work.texelsWritten = cycle.texelsWritten;
    TimeGl(state, work, [&] { multigrid.Apply(&v.a, &v.dst); });
}

void BM_ScalarSafeDivide(benchmark::State& state) {
    GpuScalar a, b, dst;
    FrameworkFramebufferScope bound;
    a.SetValue(3.0f);
    b.SetValue(2.0f);
    TimeGl(state, perf::ScalarPass(2), [&] { a.SafeDivide(&b, &dst, 1.0f, 1.0f); });
}

// In the order the report lists them.
int Register() {
    Elementwise("BM_Fill", perf::Fill, [](Operands& v) { v.dst.Fill(2.0f); });
    Elementwise("BM_CopyFrom", perf::Copy, [](Operands& v) { v.dst.CopyFrom(&v.a); });
    Elementwise("BM_Scale", perf::Scale, [](Operands& v) { v.a.Scale(1.0f); });
    Elementwise("BM_Combine", perf::Combine, [](Operands& v) { v.a.Combine(&v.b, &v.dst, 1.0f, 2.0f); });
    Elementwise("BM_CombineSub", perf::Combine,
                [](Operands& v) { v.a.CombineSub(&v.b, &v.dst, 1.0f, 2.0f); });
    Elementwise("BM_CombineOp", perf::Combine,
                [](Operands& v) { v.a.CombineOp(2, &v.b, &v.dst, 1.0f, 2.0f); });
    Elementwise("BM_MulAddScalar", perf::MulScalar,
                [](Operands& v) { v.a.MulAddScalar(&v.b, &v.dst, 1.0f, &v.c); });
    Elementwise("BM_MulSubScalar", perf::MulScalar,
                [](Operands& v) { v.a.MulSubScalar(&v.b, &v.dst, 1.0f, &v.c); });
    Reduction("BM_Dot", [](Operands& v) { v.a.Dot(&v.b, &v.c); });
    Reduction("BM_DotValue", [](Operands& v) { benchmark::DoNotOptimize(v.a.DotValue(&v.b)); });
    benchmark::RegisterBenchmark("BM_ScalarSafeDivide", BM_ScalarSafeDivide)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_BandProduct", BM_BandProduct)->Apply(bench::GridSizes);
    benchmark::RegisterBenchmark("BM_MultigridCycle", BM_MultigridCycle)->Apply(bench::GridSizes);
    FramePiece(
        "BM_CgIteration", perf::CgIteration, [](WaterSimulation& w) { w.solver->Iterate(); },
        [](WaterSimulation& w) { w.solver->Solve(0); });  // r, p and rho from the current x
    FramePiece(
        "BM_Solve2", [](int w, int h) { return perf::CgSolve(w, h, 2); },
        [](WaterSimulation& w) { w.solver->Solve(2); });
    FramePiece("BM_WaveStep", perf::WaveStep, [](WaterSimulation& w) { w.wave->Step(w.last, w.current); });
    FramePiece("BM_Pack", perf::Pack, [](WaterSimulation& w) { w.rightHandSide->PackFrom(w.wave); });
    FramePiece("BM_Unpack", perf::Unpack, [](WaterSimulation& w) { w.solution->UnpackInto(w.current); });
    return 0;
}

[[maybe_unused]] const int g_registered = Register();

}  // namespace
