#pragma once

#include <GL/glew.h>
#include <benchmark/benchmark.h>

#include <chrono>

#include "CpuPeers.h"
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

// The iterations of one solve and the wall time each took, in seconds.
inline void SetIterations(benchmark::State& state, int iterations) {
    state.counters["cg_iterations"] = iterations;
    state.counters["seconds_per_iteration"] = benchmark::Counter(
        iterations, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// An Eigen peer's set-up (the preconditioner, or the factorisation) and its
// solve to the tolerance, timed together as the benchmark's time and apart in
// two counters, with how the solve ended. Eigen allocates its work vectors in
// every solve: part of its time to solution, as ours are part of our set-up.
inline void TimePeerSolve(benchmark::State& state, perf::CpuToleranceSolve& peer, double tolerance) {
    using Clock = std::chrono::steady_clock;
    int iterations = 0;
    std::chrono::duration<double> setup{0}, solve{0};
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        peer.Setup();
        const Clock::time_point set = Clock::now();
        iterations = peer.Solve(static_cast<float>(tolerance));
        solve += Clock::now() - set;
        setup += set - start;
    }
    if (peer.Iterative()) SetIterations(state, iterations);
    state.counters["setup_seconds"] = setup.count() / static_cast<double>(state.iterations());
    state.counters["solve_seconds"] = solve.count() / static_cast<double>(state.iterations());
    state.counters["true_residual"] = peer.TrueResidual();
    state.counters["tolerance"] = tolerance;
    state.SetLabel(peer.Converged()   ? "converged"
                   : peer.Iterative() ? "max iterations"
                                      : "above the tolerance");
}

// GPU objects that benchmarks keep from one to the next because they take
// long to prepare; main drops them before it shuts the framework down.
void ReleaseKeptGpuObjects();

}  // namespace bench
