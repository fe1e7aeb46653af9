// Runs the demo's simulation frame for a profiler: warm-up frames first, then
// the frames to look at, each inside ProfiledFrame (the function to restrict
// a profiler's collection to, as with callgrind's
// --toggle-collect=ProfiledFrame). A buffer swap before and after the
// profiled frames marks them off for a GL call tracer.
//
//   zentor_profile_frame [--frames=N] [--warmup=N] [--grid=N]   (grid 512: the scene's)
#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GlContext.h"
#include "SceneWater.h"
#include "gpu/Framework.h"

namespace {

WaterSimulation* g_water = nullptr;

void RunFrame() {
    g_water->Step(perf::kIterationsPerFrame);
    glFinish();
}

}  // namespace

extern "C" __attribute__((noinline)) void ProfiledFrame() { RunFrame(); }

int main(int argc, char** argv) {
    int frames = 1, warmup = 5, grid = 512;
    if (!perf::OpenGlWindow(&argc, argv, 64, 64, "zentor profile")) return 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--frames=", 9) == 0) frames = std::atoi(argv[i] + 9);
        if (std::strncmp(argv[i], "--warmup=", 9) == 0) warmup = std::atoi(argv[i] + 9);
        if (std::strncmp(argv[i], "--grid=", 7) == 0) grid = std::atoi(argv[i] + 7);
    }
    if (!InitFramework()) return 2;
    {
        auto water = perf::RipplingSimulation(grid, grid);
        g_water = water.get();
        for (int i = 0; i < warmup; ++i) RunFrame();
        glutSwapBuffers();
        for (int i = 0; i < frames; ++i) ProfiledFrame();
        glutSwapBuffers();
    }
    std::printf("%d profiled frame(s) at %dx%d on %s\n", frames, grid, grid, perf::GlRenderer());
    ShutdownFramework();
    return 0;
}
