// The framework on the GL: vector kernels and reductions on packed vectors
// of a W x W grid (a (W/2) x (W/2) texture, the solver's layout; the kernels
// are the same programs for both layouts, so an unpacked vector of W/2 costs
// the same), the band product, the solver and the pieces of the demo's frame.
// The whole frame runs in PeerBench.cpp, beside the CPU peers.
#include <memory>

#include "BenchSupport.h"
#include "GpuFrame.h"
#include "app/WaveSurface.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/GpuScalar.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

using bench::FrameworkFramebuffer;
using bench::TimeGl;

struct Operands {
    explicit Operands(int grid) : a(grid, grid, 0), b(grid, grid, 0), dst(grid, grid, 0) {
        FrameworkFramebuffer bound;
        a.Fill(1.0f);
        b.Fill(0.5f);
        dst.Fill(0.0f);
        c.SetValue(0.25f);
    }
    long long Texels() { return static_cast<long long>(a.Size()) / 4; }

    PackedVector a, b, dst;
    GpuScalar c;
};

int Grid(const benchmark::State& state) { return static_cast<int>(state.range(0)); }

void BM_Fill(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Fill(v.Texels()), [&] { v.dst.Fill(2.0f); });
}

void BM_CopyFrom(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Copy(v.Texels()), [&] { v.dst.CopyFrom(&v.a); });
}

void BM_Scale(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Scale(v.Texels()), [&] { v.a.Scale(1.0f); });
}

void BM_Combine(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Combine(v.Texels()), [&] { v.a.Combine(&v.b, &v.dst, 1.0f, 2.0f); });
}

void BM_CombineSub(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Combine(v.Texels()), [&] { v.a.CombineSub(&v.b, &v.dst, 1.0f, 2.0f); });
}

void BM_CombineOp(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Combine(v.Texels()), [&] { v.a.CombineOp(2, &v.b, &v.dst, 1.0f, 2.0f); });
}

void BM_MulAddScalar(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::MulScalar(v.Texels()), [&] { v.a.MulAddScalar(&v.b, &v.dst, 1.0f, &v.c); });
}

void BM_MulSubScalar(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    TimeGl(state, perf::MulScalar(v.Texels()), [&] { v.a.MulSubScalar(&v.b, &v.dst, 1.0f, &v.c); });
}

void BM_Dot(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    const int side = Grid(state) / 2;
    TimeGl(state, perf::Reduction(side, side, 2), [&] { v.a.Dot(&v.b, &v.c); });
}

void BM_DotValue(benchmark::State& state) {
    Operands v(Grid(state));
    FrameworkFramebuffer bound;
    const int side = Grid(state) / 2;
    float value = 0.0f;
    TimeGl(state, perf::Reduction(side, side, 2), [&] { value = v.a.DotValue(&v.b); });
    benchmark::DoNotOptimize(value);
}

void BM_ScalarSafeDivide(benchmark::State& state) {
    GpuScalar a, b, dst;
    a.SetValue(3.0f);
    b.SetValue(2.0f);
    FrameworkFramebuffer bound;
    TimeGl(state, perf::ScalarPass(2), [&] { a.SafeDivide(&b, &dst, 1.0f, 1.0f); });
}

// A frame's objects in the rippling state, for the benchmarks that take
// pieces of the frame.
std::unique_ptr<perf::GpuFrame> RipplingFrame(int grid) {
    auto frame = std::make_unique<perf::GpuFrame>(grid, grid);
    const perf::WaterState water = perf::RipplingWater(grid, grid);
    frame->SetState(water.current, water.last, water.solution);
    return frame;
}

void BM_BandProduct(benchmark::State& state) {
    const int grid = Grid(state);
    WaveSystemMatrix matrix(grid, grid, perf::kWaveSpeed, perf::kTimeStep, perf::kSpacing, perf::kSpacing);
    Operands v(grid);
    FrameworkFramebuffer bound;
    TimeGl(state, perf::WaveBandProduct(grid, grid, false),
           [&] { matrix.MultiplyVector(0, &v.a, nullptr, &v.dst); });
}

void BM_CgIteration(benchmark::State& state) {
    const int grid = Grid(state);
    auto frame = RipplingFrame(grid);
    FrameworkFramebuffer bound;
    frame->Solver()->Solve(0);  // r, p and rho from the current x
    TimeGl(state, perf::CgIteration(grid, grid), [&] { frame->Solver()->Iterate(); });
}

void BM_Solve2(benchmark::State& state) {
    const int grid = Grid(state);
    auto frame = RipplingFrame(grid);
    FrameworkFramebuffer bound;
    TimeGl(state, perf::CgSolve(grid, grid, 2), [&] { frame->Solver()->Solve(2); });
}

void BM_WaveStep(benchmark::State& state) {
    const int grid = Grid(state);
    auto frame = RipplingFrame(grid);
    FrameworkFramebuffer bound;
    TimeGl(state, perf::WaveStep(grid, grid),
           [&] { frame->Wave()->Step(frame->HeightLast(), frame->HeightCurrent()); });
}

void BM_Pack(benchmark::State& state) {
    const int grid = Grid(state);
    auto frame = RipplingFrame(grid);
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Pack(grid, grid), [&] { frame->RightHandSide()->PackFrom(frame->Wave()); });
}

void BM_Unpack(benchmark::State& state) {
    const int grid = Grid(state);
    auto frame = RipplingFrame(grid);
    FrameworkFramebuffer bound;
    TimeGl(state, perf::Unpack(grid, grid), [&] { frame->Solution()->UnpackInto(frame->HeightCurrent()); });
}


}  // namespace

BENCHMARK(BM_Fill)->Apply(bench::GridSizes);
BENCHMARK(BM_CopyFrom)->Apply(bench::GridSizes);
BENCHMARK(BM_Scale)->Apply(bench::GridSizes);
BENCHMARK(BM_Combine)->Apply(bench::GridSizes);
BENCHMARK(BM_CombineSub)->Apply(bench::GridSizes);
BENCHMARK(BM_CombineOp)->Apply(bench::GridSizes);
BENCHMARK(BM_MulAddScalar)->Apply(bench::GridSizes);
BENCHMARK(BM_MulSubScalar)->Apply(bench::GridSizes);
BENCHMARK(BM_Dot)->Apply(bench::GridSizes);
BENCHMARK(BM_DotValue)->Apply(bench::GridSizes);
BENCHMARK(BM_ScalarSafeDivide)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BandProduct)->Apply(bench::GridSizes);
BENCHMARK(BM_CgIteration)->Apply(bench::GridSizes);
BENCHMARK(BM_Solve2)->Apply(bench::GridSizes);
BENCHMARK(BM_WaveStep)->Apply(bench::GridSizes);
BENCHMARK(BM_Pack)->Apply(bench::GridSizes);
BENCHMARK(BM_Unpack)->Apply(bench::GridSizes);
