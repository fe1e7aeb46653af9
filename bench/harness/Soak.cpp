// A long run of the demo's displayed frame with random drops on: nothing may
// grow (GL objects, pool entries, heap in use, resident memory), the
// framework's and the demo's own code may not allocate, and every height must
// stay finite. Exits 1 on the first finding.
//
//   zentor_soak FRAMES [--checks=N]
//
// The first tenth of the frames (at most 200) warms up; the state after it is
// the baseline. GL objects, pool entries and our allocations must not change
// at all. The heap in use and resident memory get allowances for the GL
// driver and the C library: llvmpipe allocates and frees megabytes of scene
// data every frame, and the C heap's extent (hence resident memory) creeps up
// with the fragmentation that leaves until it settles (on Mesa 22 with glibc
// 2.36: about 11 MiB over the first 10000 frames, flat for 10000 after)
// without an allocation being lost. Anything of ours that leaked a texture's
// worth a frame would cross the allowances within a few dozen frames.
#include <GL/glew.h>

#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AllocationCounter.h"
#include "GlContext.h"
#include "GlObjectCounter.h"
#include "GpuFrame.h"
#include "ProcessStats.h"
#include "app/FrameLoop.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"

namespace {

constexpr long long kHeapAllowance = 16 * 1024 * 1024;   // bytes
constexpr long long kResidentAllowanceKiB = 128 * 1024;  // KiB

struct Snapshot {
    int frame = 0;
    int textures = 0;
    int framebuffers = 0;
    long long liveGlObjects = 0;
    long long heap = 0;
    long long residentKiB = 0;
    long long ourAllocations = 0;
    bool finite = true;
    float maxHeight = 0.0f;
};

// Call with allocation counting paused: the snapshot reads the heights back.
Snapshot Take(int frame) {
    Snapshot s;
    s.ourAllocations = perf::AllocationCounter::Report().ours;
    s.frame = frame;
    s.textures = perf::PoolTextures();
    s.framebuffers = perf::PoolFramebuffers();
    const perf::GlObjectCounts counts = perf::GlObjectCounter::Counts();
    s.liveGlObjects = counts.created - counts.deleted;
    s.heap = perf::HeapInUse();
    s.residentKiB = perf::ResidentKiB();
    const std::vector<float> heights = perf::ReadUnpacked(g_pHeightCurrent);
    s.finite = perf::AllFinite(heights);
    s.maxHeight = perf::MaxAbs(heights);
    return s;
}

void Print(const Snapshot& s) {
    std::printf("frame %7d: pool textures %d, framebuffers %d, live GL objects %+lld, our allocations %lld, "
                "heap %lld KiB, resident %lld KiB, max |height| %.4g%s\n",
                s.frame, s.textures, s.framebuffers, s.liveGlObjects, s.ourAllocations, s.heap / 1024,
                s.residentKiB, static_cast<double>(s.maxHeight), s.finite ? "" : ", NOT FINITE");
    std::fflush(stdout);
}

// Empty when s is no bigger than the baseline; the finding otherwise.
const char* Growth(const Snapshot& base, const Snapshot& s) {
    if (!s.finite) return "a height is not finite";
    if (s.textures != base.textures) return "the pool's texture count changed";
    if (s.framebuffers != base.framebuffers) return "the pool's framebuffer count changed";
    if (s.liveGlObjects != base.liveGlObjects) return "GL objects were created or deleted";
    if (s.ourAllocations != 0) return "the framework's or the demo's code allocated";
    if (s.heap - base.heap > kHeapAllowance) return "the heap in use grew";
    if (s.residentKiB - base.residentKiB > kResidentAllowanceKiB) return "resident memory grew";
    return nullptr;
}

// One turn of the demo's main loop: the window's pending events, then the
// displayed frame. Events left unread would pile up in the X client library.
void Frame() {
    glutMainLoopEvent();
    Display();
}

}  // namespace

int main(int argc, char** argv) {
    if (!perf::OpenGlWindow(&argc, argv, g_iWindowWidth, g_iWindowHeight, g_strTitle)) return 2;
    if (argc < 2 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: %s FRAMES [--checks=N]\n", argv[0]);
        return 2;
    }
    const int frames = std::atoi(argv[1]);
    int checks = 10;
    for (int i = 2; i < argc; ++i)
        if (std::strncmp(argv[i], "--checks=", 9) == 0) checks = std::max(1, std::atoi(argv[i] + 9));
    const int warmup = std::min(200, std::max(1, frames / 10));

    InitScene();
    perf::GlObjectCounter::Install();
    perf::AllocationCounter::Install();
    g_bRandomDrops = true;
    glutDisplayFunc(Display);
    for (int i = 0; i < warmup; ++i) Frame();
    perf::AllocationCounter::Start();
    perf::AllocationCounter::Pause();
    const Snapshot base = Take(warmup);
    Print(base);

    const int interval = std::max(1, (frames - warmup) / checks);
    int frame = warmup;
    const char* finding = nullptr;
    while (frame < frames && finding == nullptr) {
        const int until = std::min(frames, frame + interval);
        perf::AllocationCounter::Resume();
        for (; frame < until; ++frame) Frame();
        perf::AllocationCounter::Pause();
        const Snapshot s = Take(frame);
        Print(s);
        finding = Growth(base, s);
    }
    std::printf("GL_RENDERER %s\n", perf::GlRenderer());
    if (finding != nullptr) {
        std::printf("soak FAILED at frame %d: %s\n", frame, finding);
        for (const std::string& site : perf::AllocationCounter::Report().sites)
            std::printf("  allocation site %s\n", site.c_str());
        return 1;
    }
    const Snapshot end = Take(frame);
    std::printf("soak passed: %d frames, nothing grew, every height finite; over %d frames after the warm-up "
                "the heap in use moved %+lld KiB and resident memory %+lld KiB (%.2f KiB a frame)\n",
                frames, frames - warmup, (end.heap - base.heap) / 1024, end.residentKiB - base.residentKiB,
                static_cast<double>(end.residentKiB - base.residentKiB) / std::max(1, frames - warmup));
    DestroyScene();
    return 0;
}
