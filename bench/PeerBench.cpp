// The demo's simulation frame three ways, registered size by size so that
// each size's framework frame and its two CPU peers run back to back: on a
// shared machine the ratios of neighbours in time are what can be trusted.
#include <memory>

#include "BenchSupport.h"
#include "CpuPeers.h"
#include "GpuFrame.h"
#include "app/Scene.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

using bench::TimeGl;

void BM_Frame(benchmark::State& state) {
    const int grid = static_cast<int>(state.range(0));
    perf::GpuFrame frame(grid, grid);
    const perf::WaterState water = perf::RipplingWater(grid, grid);
    frame.SetState(water.current, water.last, water.solution);
    TimeGl(state, perf::SimulationFrame(grid, grid), [&] { frame.Step(); });
}

// The scene's own SimulationStep at its fixed size, from the same state: the
// rebuilt frame beside it must cost the same.
void BM_SceneFrame(benchmark::State& state) {
    const perf::WaterState water = perf::RipplingWater(g_iGridWidth, g_iGridHeight);
    g_pHeightCurrent->SetData(water.current.data());
    g_pHeightLast->SetData(water.last.data());
    g_pSolution->SetData(water.solution.data());
    TimeGl(state, perf::SimulationFrame(g_iGridWidth, g_iGridHeight), SimulationStep);
}

void TimeCpu(benchmark::State& state, std::unique_ptr<perf::CpuFrame> frame) {
    const int grid = static_cast<int>(state.range(0));
    const perf::WaterState water = perf::RipplingWater(grid, grid);
    frame->SetState(water.current, water.last, water.solution);
    for (int i = 0; i < bench::kWarmupRounds; ++i) frame->Step();
    for (auto _ : state) frame->Step();
}

void BM_PlainFrame(benchmark::State& state) {
    const int grid = static_cast<int>(state.range(0));
    TimeCpu(state, perf::MakePlainFrame(grid, grid));
}

void BM_EigenFrame(benchmark::State& state) {
    const int grid = static_cast<int>(state.range(0));
    TimeCpu(state, perf::MakeEigenFrame(grid, grid));
}

// Frames are timed three times over and summarised by their median.
void FrameSize(benchmark::internal::Benchmark* b, int size) {
    b->Arg(size)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(3);
}

int RegisterFrames() {
    for (int size : {128, 256, 512, 1024, 2048}) {
        FrameSize(benchmark::RegisterBenchmark("BM_Frame", BM_Frame), size);
        FrameSize(benchmark::RegisterBenchmark("BM_PlainFrame", BM_PlainFrame), size);
        FrameSize(benchmark::RegisterBenchmark("BM_EigenFrame", BM_EigenFrame), size);
        if (size == 512)
            benchmark::RegisterBenchmark("BM_SceneFrame", BM_SceneFrame)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Repetitions(3);
    }
    return 0;
}

[[maybe_unused]] const int g_registered = RegisterFrames();

}  // namespace
