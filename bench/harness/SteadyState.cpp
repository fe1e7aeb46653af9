// Steady state of the demo's frame: after a warm-up, a run of frames must
// create no GL object, read nothing back and allocate nothing on the heap in
// the framework's or the demo's own code. Prints the figures, and writes them
// as JSON when asked to.
//
//   zentor_steady_state [--frames=N] [--warmup=N] [--json=PATH]
#include <GL/glew.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "AllocationCounter.h"
#include "GlContext.h"
#include "GlObjectCounter.h"
#include "ProcessStats.h"
#include "app/FrameLoop.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"

namespace {

struct Run {
    std::string name;
    int frames = 0;
    double seconds = 0.0;
    perf::GlObjectCounts gl;
    perf::AllocationReport heap;
    int texturesBefore = 0, texturesAfter = 0;
    int framebuffersBefore = 0, framebuffersAfter = 0;

    bool Clean() const {
        return gl.created == 0 && gl.deleted == 0 && gl.readBacks == 0 && heap.ours == 0 &&
               texturesBefore == texturesAfter && framebuffersBefore == framebuffersAfter;
    }
};

Run Measure(const char* name, int warmup, int frames, const std::function<void()>& frame) {
    for (int i = 0; i < warmup; ++i) frame();
    glFinish();
    Run run;
    run.name = name;
    run.frames = frames;
    run.texturesBefore = perf::PoolTextures();
    run.framebuffersBefore = perf::PoolFramebuffers();
    const perf::GlObjectCounts start = perf::GlObjectCounter::Counts();
    const auto began = std::chrono::steady_clock::now();
    perf::AllocationCounter::Start();
    for (int i = 0; i < frames; ++i) frame();
    glFinish();
    perf::AllocationCounter::Pause();
    run.heap = perf::AllocationCounter::Report();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.gl = perf::GlObjectCounter::Counts() - start;
    run.texturesAfter = perf::PoolTextures();
    run.framebuffersAfter = perf::PoolFramebuffers();
    return run;
}

void Print(const Run& run) {
    std::printf("%s: %d frames in %.2f s\n", run.name.c_str(), run.frames, run.seconds);
    std::printf("  GL objects created %lld, deleted %lld; read-backs %lld; passes %lld (%.1f a frame)\n",
                run.gl.created, run.gl.deleted, run.gl.readBacks, run.gl.passes,
                static_cast<double>(run.gl.passes) / run.frames);
    std::printf("  pool textures %d -> %d, framebuffers %d -> %d\n", run.texturesBefore, run.texturesAfter,
                run.framebuffersBefore, run.framebuffersAfter);
    std::printf("  heap allocations: our code %lld (%lld bytes), libraries %lld (%lld bytes)\n", run.heap.ours,
                run.heap.bytesOurs, run.heap.others, run.heap.bytesOthers);
    for (size_t i = 0; i < run.heap.sites.size() && i < 8; ++i)
        std::printf("    %s\n", run.heap.sites[i].c_str());
    std::printf("  %s\n", run.Clean() ? "steady" : "NOT STEADY");
}

void WriteJson(FILE* out, const Run& run, bool last) {
    std::fprintf(out,
                 "    {\"name\": \"%s\", \"frames\": %d, \"seconds\": %.3f, \"gl_objects_created\": %lld, "
                 "\"gl_objects_deleted\": %lld, \"read_backs\": %lld, \"passes\": %lld, "
                 "\"pool_textures_before\": %d, \"pool_textures_after\": %d, "
                 "\"pool_framebuffers_before\": %d, \"pool_framebuffers_after\": %d, "
                 "\"allocations_ours\": %lld, \"bytes_ours\": %lld, \"allocations_libraries\": %lld, "
                 "\"bytes_libraries\": %lld, \"sites\": [",
                 run.name.c_str(), run.frames, run.seconds, run.gl.created, run.gl.deleted, run.gl.readBacks,
                 run.gl.passes, run.texturesBefore, run.texturesAfter, run.framebuffersBefore,
                 run.framebuffersAfter, run.heap.ours, run.heap.bytesOurs, run.heap.others,
                 run.heap.bytesOthers);
    for (size_t i = 0; i < run.heap.sites.size() && i < 8; ++i)
        std::fprintf(out, "%s\"%s\"", i ? ", " : "", run.heap.sites[i].c_str());
    std::fprintf(out, "]}%s\n", last ? "" : ",");
}

int IntOption(const char* argument, const char* name, int fallback) {
    const size_t length = std::strlen(name);
    return std::strncmp(argument, name, length) == 0 ? std::atoi(argument + length) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 1000, warmup = 20;
    const char* json = nullptr;
    if (!perf::OpenGlWindow(&argc, argv, g_iWindowWidth, g_iWindowHeight, g_strTitle)) return 2;
    for (int i = 1; i < argc; ++i) {
        frames = IntOption(argv[i], "--frames=", frames);
        warmup = IntOption(argv[i], "--warmup=", warmup);
        if (std::strncmp(argv[i], "--json=", 7) == 0) json = argv[i] + 7;
    }
    InitScene();
    perf::GlObjectCounter::Install();
    perf::AllocationCounter::Install();

    // The simulation alone, then the whole displayed frame as the main loop
    // runs it (drawing, random drops, swap, title), drops on.
    const Run simulation = Measure("simulation frame", warmup, frames, SimulationStep);
    g_bRandomDrops = true;
    const Run display = Measure("displayed frame with random drops", warmup, frames, Display);
    Print(simulation);
    Print(display);
    std::printf("GL_RENDERER %s\n", perf::GlRenderer());

    if (json != nullptr) {
        FILE* out = std::fopen(json, "w");
        if (out == nullptr) {
            std::perror(json);
            return 2;
        }
        std::fprintf(out, "{\n  \"renderer\": \"%s\",\n  \"runs\": [\n", perf::GlRenderer());
        WriteJson(out, simulation, false);
        WriteJson(out, display, true);
        std::fprintf(out, "  ]\n}\n");
        std::fclose(out);
    }
    const bool steady = simulation.Clean() && display.Clean();
    DestroyScene();
    return steady ? 0 : 1;
}
