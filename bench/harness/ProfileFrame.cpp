// Runs the demo's simulation frame for a profiler: start-up and warm-up
// frames first, then the frames to look at, each inside ProfiledFrame (the
// function to restrict a profiler's collection to, as with callgrind's
// --toggle-collect=ProfiledFrame). The scene's own frame at 512 x 512, or
// the same frame rebuilt at another size. A buffer swap before and after the
// profiled frames marks them off for a GL call tracer.
//
//   zentor_profile_frame [--frames=N] [--warmup=N] [--grid=N]
#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GlContext.h"
#include "GpuFrame.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

perf::GpuFrame* g_rebuilt = nullptr;

void RunFrame() {
    if (g_rebuilt != nullptr)
        g_rebuilt->Step();
    else
        SimulationStep();
    glFinish();
}

}  // namespace

extern "C" __attribute__((noinline)) void ProfiledFrame() { RunFrame(); }

int main(int argc, char** argv) {
    int frames = 1, warmup = 5, grid = 0;
    if (!perf::OpenGlWindow(&argc, argv, 64, 64, "zentor profile")) return 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--frames=", 9) == 0) frames = std::atoi(argv[i] + 9);
        if (std::strncmp(argv[i], "--warmup=", 9) == 0) warmup = std::atoi(argv[i] + 9);
        if (std::strncmp(argv[i], "--grid=", 7) == 0) grid = std::atoi(argv[i] + 7);
    }
    InitScene();
    if (grid == g_iGridWidth) grid = 0;
    if (grid > 0) {
        g_rebuilt = new perf::GpuFrame(grid, grid);
        const perf::WaterState water = perf::RipplingWater(grid, grid);
        g_rebuilt->SetState(water.current, water.last, water.solution);
    } else {
        grid = g_iGridWidth;
        const perf::WaterState water = perf::RipplingWater(g_iGridWidth, g_iGridHeight);
        g_pHeightCurrent->SetData(water.current.data());
        g_pHeightLast->SetData(water.last.data());
        g_pSolution->SetData(water.solution.data());
    }
    for (int i = 0; i < warmup; ++i) RunFrame();
    glutSwapBuffers();
    for (int i = 0; i < frames; ++i) ProfiledFrame();
    glutSwapBuffers();
    std::printf("%d profiled frame(s) at %dx%d on %s\n", frames, grid, grid, perf::GlRenderer());
    delete g_rebuilt;
    DestroyScene();
    return 0;
}
