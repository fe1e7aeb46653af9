// The demo's simulation frame three ways, registered size by size so that
// each size's framework frame and its two CPU peers run back to back: on a
// shared machine the ratios of neighbours in time are what can be trusted.
#include <memory>
#include <utility>

#include "BenchSupport.h"
#include "CpuPeers.h"
#include "SceneWater.h"

namespace {

void BM_Frame(benchmark::State& state) {
    const int grid = static_cast<int>(state.range(0));
    auto water = perf::RipplingSimulation(grid, grid);
    bench::TimeGl(state, perf::SimulationFrame(grid, grid), [&] { water->Step(perf::kIterationsPerFrame); });
}

template <std::unique_ptr<perf::CpuFrame> (*Make)(int, int)>
void BM_CpuFrame(benchmark::State& state) {
    const int grid = static_cast<int>(state.range(0));
    const perf::WaterState water = perf::RipplingWater(grid, grid);
    const std::unique_ptr<perf::CpuFrame> frame = Make(grid, grid);
    frame->SetState(water.current, water.last, water.solution);
    for (int i = 0; i < bench::kWarmupRounds; ++i) frame->Step();
    for (auto _ : state) frame->Step();
}

// Frames are timed three times over and summarised by their median.
int Register() {
    for (int size : bench::kGridSizes) {
        for (auto [name, function] :
             {std::pair{"BM_Frame", BM_Frame}, std::pair{"BM_PlainFrame", BM_CpuFrame<perf::MakePlainFrame>},
              std::pair{"BM_EigenFrame", BM_CpuFrame<perf::MakeEigenFrame>}})
            benchmark::RegisterBenchmark(name, function)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Repetitions(3);
    }
    return 0;
}

[[maybe_unused]] const int g_registered = Register();

}  // namespace
