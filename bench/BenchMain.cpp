// The benchmark executable: the framework on the headless GL context, then
// Google Benchmark.
#include <GL/glew.h>
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "BenchSupport.h"
#include "GlContext.h"
#include "gpu/Framework.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!perf::OpenHeadlessContext() || !InitFramework()) return 2;
    benchmark::AddCustomContext("gl_renderer", perf::GlRenderer());
    benchmark::AddCustomContext("gl_version", perf::GlVersion());
    const char* threads = std::getenv("LP_NUM_THREADS");
    benchmark::AddCustomContext("lp_num_threads", threads ? threads : "unset");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::ReleaseKeptGpuObjects();
    ShutdownFramework();
    return 0;
}
