#pragma once

#include <GL/glew.h>
#include <benchmark/benchmark.h>

#include "WorkModel.h"

namespace bench {

// Grid sizes (W = H) every size-dependent benchmark runs at.
void GridSizes(benchmark::internal::Benchmark* b);

// Rounds run before the clock starts: the driver compiles a shader variant
// at the first draw of each program and the pool grows to what the operation
// needs at once.
constexpr int kWarmupRounds = 3;

// The work counters: per iteration, and the effective bytes per second.
void ReportWork(benchmark::State& state, const perf::Work& work);

// Times `op` with the GL pipeline drained before the clock reads: the work
// is done, not just queued.
template <typename Op>
void TimeGl(benchmark::State& state, const perf::Work& work, Op&& op) {
    for (int i = 0; i < kWarmupRounds; ++i) op();
    glFinish();
    for (auto _ : state) {
        op();
        glFinish();
    }
    ReportWork(state, work);
}

// The framework framebuffer bound for the scope, as the demo's
// render-to-texture bracket binds it.
class FrameworkFramebuffer {
public:
    FrameworkFramebuffer();
    ~FrameworkFramebuffer();
    FrameworkFramebuffer(const FrameworkFramebuffer&) = delete;
    FrameworkFramebuffer& operator=(const FrameworkFramebuffer&) = delete;
};

}  // namespace bench
