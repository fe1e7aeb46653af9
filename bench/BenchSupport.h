#pragma once

#include <GL/glew.h>
#include <benchmark/benchmark.h>

#include "WorkModel.h"

namespace bench {

// Grid sides W (W x W points) every size-dependent benchmark runs at.
constexpr int kGridSizes[] = {128, 256, 512, 1024, 2048};

inline void GridSizes(benchmark::internal::Benchmark* b) {
    for (int size : kGridSizes) b->Arg(size);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

// Rounds run before the clock starts: the driver compiles a shader variant
// at the first draw of each program and the pool grows to what the operation
// needs at once.
constexpr int kWarmupRounds = 3;

// Times `op` with the GL pipeline drained before the clock reads: the work
// is done, not just queued. Reports the work model's counts per iteration
// and the effective bytes per second.
template <typename Op>
void TimeGl(benchmark::State& state, const perf::Work& work, Op&& op) {
    for (int i = 0; i < kWarmupRounds; ++i) op();
    glFinish();
    for (auto _ : state) {
        op();
        glFinish();
    }
    state.counters["passes"] = static_cast<double>(work.passes);
    state.counters["fragments"] = static_cast<double>(work.fragments);
    state.counters["texels_read"] = static_cast<double>(work.texelsRead);
    state.counters["texels_written"] = static_cast<double>(work.texelsWritten);
    state.SetBytesProcessed(state.iterations() * work.Bytes());
}

// GPU objects that benchmarks keep from one to the next because they take
// long to prepare; main drops them before it shuts the framework down.
void ReleaseKeptGpuObjects();

}  // namespace bench
