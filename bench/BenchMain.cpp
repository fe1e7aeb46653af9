// The benchmark executable: the headless GL context with the demo's scene
// built (the scene's frame is one of the benchmarks), then Google Benchmark.
#include <GL/glew.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "GlContext.h"
#include "app/Scene.h"
#include "app/Window.h"

namespace bench {

void GridSizes(benchmark::internal::Benchmark* b) {
    for (int size : {128, 256, 512, 1024, 2048}) b->Arg(size);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void ReportWork(benchmark::State& state, const perf::Work& work) {
    state.counters["passes"] = static_cast<double>(work.passes);
    state.counters["fragments"] = static_cast<double>(work.fragments);
    state.counters["texels_read"] = static_cast<double>(work.texelsRead);
    state.counters["texels_written"] = static_cast<double>(work.texelsWritten);
    state.SetBytesProcessed(state.iterations() * work.Bytes());
}

FrameworkFramebuffer::FrameworkFramebuffer() { BeginRenderToTexture(); }
FrameworkFramebuffer::~FrameworkFramebuffer() { EndRenderToTexture(); }

}  // namespace bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!perf::OpenHeadlessContext()) return 2;
    InitScene();
    benchmark::AddCustomContext("gl_renderer", perf::GlRenderer());
    benchmark::AddCustomContext("gl_version", perf::GlVersion());
    const char* threads = std::getenv("LP_NUM_THREADS");
    benchmark::AddCustomContext("lp_num_threads", threads ? threads : "unset");
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    DestroyScene();
    return 0;
}
