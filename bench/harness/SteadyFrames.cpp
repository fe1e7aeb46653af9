// The demo's displayed frame (simulation, drawing, random drops, buffer swap,
// title) run after a warm-up, as long as asked. A steady frame creates no GL
// object, reads nothing back and allocates nothing on the heap in the
// framework's or the demo's code, and the pool keeps its entries; over the
// run the heap in use and resident memory stay within allowances and every
// height stays finite. Checked at checkpoints; exits 1 at the first finding.
//
//   zentor_steady_frames [--frames=N] [--checks=N] [--json=PATH]
//
// The allowances are for the GL driver and the C library: llvmpipe allocates
// and frees megabytes of scene data every frame, and the C heap's extent
// (hence resident memory) creeps up with the fragmentation that leaves until
// it settles (Mesa 22, glibc 2.36: about 11 MiB over the first 10000 frames,
// flat for 10000 after) without an allocation being lost. Our own resources
// are held exactly; a leak of a texture's worth a frame would cross the
// allowances within a few dozen frames.
#include <GL/glew.h>

#include <GL/freeglut.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "GlContext.h"
#include "app/FrameLoop.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "linalg/UnpackedVector.h"
#include "support/GlCallCounter.h"

namespace {

constexpr long long kHeapAllowanceKiB = 16 * 1024;
constexpr long long kResidentAllowanceKiB = 128 * 1024;

struct Checkpoint {
    int frame = 0;
    size_t textures = 0, framebuffers = 0;
    long long heapKiB = 0, residentKiB = 0;
    float maxHeight = 0.0f;  // NaN once a height is not finite
};

// What the measured frames did, all checkpoints together.
struct Totals {
    long created = 0, deleted = 0, readBacks = 0, passes = 0;
    perf::AllocationReport heap;

    void Add(const GlCallCounts& c) {
        created += c.genTextures + c.texImage2D + c.genFramebuffers + c.createShader + c.createProgram +
                   c.linkProgram;
        deleted += c.deleteTextures + c.deleteFramebuffers + c.deleteShader + c.deleteProgram;
        readBacks += c.readPixels + c.getTexImage;
        passes += c.begin;
    }
};

long long ResidentKiB() {
    long long pages = 0, resident = 0;
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return -1;
    const int read = std::fscanf(file, "%lld %lld", &pages, &resident);
    std::fclose(file);
    return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

float MaxAbsHeight() {
    std::vector<float> heights(static_cast<size_t>(g_pHeightCurrent->Size()));
    FrameworkFramebufferScope framebuffer;
    g_pHeightCurrent->GetData(heights.data(), heights.size());
    float largest = 0.0f;
    for (float height : heights) {
        if (!std::isfinite(height)) return NAN;
        largest = std::fmax(largest, std::fabs(height));
    }
    return largest;
}

// Reads the heights back: call with counting off.
Checkpoint Take(int frame) {
    Checkpoint c;
    c.frame = frame;
    c.textures = g_resourcePool->Textures().size();
    c.framebuffers = g_resourcePool->Framebuffers().size();
    c.heapKiB = static_cast<long long>(mallinfo2().uordblks) / 1024;
    c.residentKiB = ResidentKiB();
    c.maxHeight = MaxAbsHeight();
    return c;
}

void Print(const Checkpoint& c) {
    std::printf(
        "frame %7d: pool textures %zu, framebuffers %zu, heap %lld KiB, resident %lld KiB, "
        "max |height| %.4g\n",
        c.frame, c.textures, c.framebuffers, c.heapKiB, c.residentKiB, static_cast<double>(c.maxHeight));
    std::fflush(stdout);
}

const char* Finding(const Checkpoint& base, const Checkpoint& now, const Totals& totals) {
    if (!std::isfinite(now.maxHeight)) return "a height is not finite";
    if (totals.created != 0 || totals.deleted != 0) return "GL objects were created or deleted";
    if (totals.readBacks != 0) return "something was read back";
    if (totals.heap.ours != 0) return "the framework's or the demo's code allocated";
    if (now.textures != base.textures || now.framebuffers != base.framebuffers)
        return "the pool's entries changed";
    if (now.heapKiB - base.heapKiB > kHeapAllowanceKiB) return "the heap in use grew";
    if (now.residentKiB - base.residentKiB > kResidentAllowanceKiB) return "resident memory grew";
    return nullptr;
}

void WriteJson(const char* path, int frames, int warmup, const Totals& t,
               const std::vector<Checkpoint>& checkpoints, const char* finding) {
    FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        std::perror(path);
        return;
    }
    std::fprintf(out,
                 "{\"renderer\": \"%s\", \"frames\": %d, \"warmup\": %d, \"finding\": \"%s\", "
                 "\"gl_created\": %ld, \"gl_deleted\": %ld, \"read_backs\": %ld, \"passes\": %ld, "
                 "\"allocations_ours\": %lld, \"allocations_libraries\": %lld, \"bytes_libraries\": %lld,\n"
                 " \"sites\": [",
                 perf::GlRenderer(), frames, warmup, finding ? finding : "", t.created, t.deleted,
                 t.readBacks, t.passes, t.heap.ours, t.heap.others, t.heap.bytesOthers);
    for (size_t i = 0; i < t.heap.sites.size() && i < 8; ++i)
        std::fprintf(out, "%s\"%s\"", i ? ", " : "", t.heap.sites[i].c_str());
    std::fprintf(out, "],\n \"checkpoints\": [");
    for (size_t i = 0; i < checkpoints.size(); ++i)
        std::fprintf(out, "%s\n  [%d, %zu, %zu, %lld, %lld]", i ? "," : "", checkpoints[i].frame,
                     checkpoints[i].textures, checkpoints[i].framebuffers, checkpoints[i].heapKiB,
                     checkpoints[i].residentKiB);
    std::fprintf(out, "]}\n");
    std::fclose(out);
}

int IntOption(const char* argument, const char* name, int fallback) {
    const size_t length = std::strlen(name);
    return std::strncmp(argument, name, length) == 0 ? std::max(1, std::atoi(argument + length)) : fallback;
}

// One turn of the demo's main loop: pending window events (left unread they
// pile up in the X client library), then the displayed frame.
void Frame() {
    glutMainLoopEvent();
    Display();
}

}  // namespace

int main(int argc, char** argv) {
    if (!perf::OpenGlWindow(&argc, argv, g_iWindowWidth, g_iWindowHeight, g_strTitle)) return 2;
    int frames = 1000, checks = 10;
    const char* json = nullptr;
    for (int i = 1; i < argc; ++i) {
        frames = IntOption(argv[i], "--frames=", frames);
        checks = IntOption(argv[i], "--checks=", checks);
        if (std::strncmp(argv[i], "--json=", 7) == 0) json = argv[i] + 7;
    }
    const int warmup = std::min(200, std::max(20, frames / 10));
    InitScene();
    perf::AllocationCounter::Install();
    g_bRandomDrops = true;
    glutDisplayFunc(Display);
    for (int i = 0; i < warmup; ++i) Frame();

    std::vector<Checkpoint> checkpoints = {Take(0)};
    Print(checkpoints[0]);
    Totals totals;
    perf::AllocationCounter::Start();
    perf::AllocationCounter::Pause();
    const char* finding = nullptr;
    for (int frame = 0; frame < frames && finding == nullptr;) {
        const int until = std::min(frames, frame + std::max(1, frames / checks));
        GlCallCounter gl;
        perf::AllocationCounter::Resume();
        for (; frame < until; ++frame) Frame();
        perf::AllocationCounter::Pause();
        totals.Add(gl.Counts());
        totals.heap = perf::AllocationCounter::Report();
        checkpoints.push_back(Take(frame));
        Print(checkpoints.back());
        finding = Finding(checkpoints.front(), checkpoints.back(), totals);
    }
    const int measured = checkpoints.back().frame;
    std::printf(
        "%d frames after %d of warm-up on %s: GL objects created %ld, deleted %ld, read-backs %ld, "
        "%.1f passes a frame; heap allocations by our code %lld, by libraries %lld (%.0f a frame)\n",
        measured, warmup, perf::GlRenderer(), totals.created, totals.deleted, totals.readBacks,
        static_cast<double>(totals.passes) / measured, totals.heap.ours, totals.heap.others,
        static_cast<double>(totals.heap.others) / measured);
    for (size_t i = 0; i < totals.heap.sites.size() && i < 8; ++i)
        std::printf("  allocation site %s\n", totals.heap.sites[i].c_str());
    std::printf(finding ? "NOT STEADY at frame %d: %s\n" : "steady: %d frames, nothing grew%s\n", measured,
                finding ? finding : "");
    if (json != nullptr) WriteJson(json, measured, warmup, totals, checkpoints, finding);
    DestroyScene();
    return finding ? 1 : 0;
}
