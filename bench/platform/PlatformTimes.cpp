// The demo's frame and a 256 x 256 solve to a tolerance, timed the same way
// by the desktop build (OpenGL 2.0, here llvmpipe) and the browser build
// (WebGL 2, here SwiftShader), so that the two can be set side by side.
// Google Benchmark has no browser build; this tool times by hand and prints
// one JSON object:
//
//   zentor_platform_times [--frames=N] [--solves=N]
//
// The frame is the demo's: the simulation step at 512 x 512 (wave step,
// packing, Solve(2), unpacking) and the lighting pass into an 800 x 600
// target, as the window would get it. A batch of frames ends when one texel
// of the picture is back on the host: the work is done, not just queued.
// The solve is the benchmarks' (bench/ToleranceBench.cpp): Poisson, the
// rough right-hand side, 1e-5, from x = 0 until x is back on the host, on
// the path the driver takes (the GPU skips where it renders conditionally)
// and on the read-back path.
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "SceneWater.h"
#include "app/Scene.h"
#include "app/SurfaceRenderer.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/HeadlessContext.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"
#include "support/HostReference.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kGrid = 512, kWindowWidth = 800, kWindowHeight = 600;
constexpr int kSolveGrid = 256;
constexpr float kTolerance = 1e-5f;

double Milliseconds(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int Option(int argc, char** argv, const char* name, int fallback) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return std::atoi(argv[i] + length + 1);
    return fallback;
}

// The window's picture, as a texture the framework framebuffer draws into.
class Picture {
public:
    Picture() {
        TextureDesc desc;
        desc.width = kWindowWidth;
        desc.height = kWindowHeight;
        desc.internalFormat = GL_RGBA8;
        slot_ = g_resourcePool->AcquireTexture(desc, texture_);
    }
    ~Picture() { g_resourcePool->ReleaseTexture(slot_); }
    void Attach() const { AttachPassTarget(texture_); }
    // Waits for everything drawn so far: one texel back on the host.
    void Wait() const {
        Attach();
        unsigned char texel[4];
        glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel);
    }

private:
    GLuint texture_ = 0;
    int slot_ = -1;
};

// Median milliseconds a frame over `batches` batches of `frames` frames.
double FrameTime(int frames, int batches) {
    auto water = perf::RipplingSimulation(kGrid, kGrid);
    g_pHeightCurrent = water->current;
    g_pLightingProgram = CreateLightingProgram(kGrid, kGrid);
    g_iWindowWidth = kWindowWidth;
    g_iWindowHeight = kWindowHeight;
    FrameworkFramebufferScope framebuffer;
    const double time = [&] {
        Picture picture;
        const auto frame = [&] {
            water->Step(perf::kIterationsPerFrame);
            picture.Attach();
            DrawSurface();
        };
        for (int i = 0; i < 5; ++i) frame();  // programs compiled, pool grown
        picture.Wait();
        std::vector<double> perFrame;
        for (int batch = 0; batch < batches; ++batch) {
            const Clock::time_point start = Clock::now();
            for (int i = 0; i < frames; ++i) frame();
            picture.Wait();
            perFrame.push_back(Milliseconds(start) / frames);
        }
        return Median(perFrame);
    }();
    delete g_pLightingProgram;
    g_pLightingProgram = nullptr;
    g_pHeightCurrent = nullptr;
    return time;
}

struct SolveTimes {
    double driverPathMs = 0, readBackMs = 0;
    CgSolver::SolveReport driverPath, readBack;
    double trueResidual = 0;
};

std::vector<float> RoughRightHandSide(size_t count) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> draw(-6, 6);
    std::vector<float> values(count);
    for (float& v : values) v = static_cast<float>(draw(rng)) * 0.25f;
    return values;
}

SolveTimes SolveTime(int solves) {
    const host::Band band = host::Diffusion(kSolveGrid, kSolveGrid, [](double, double) { return 1.0; });
    const std::vector<float> b = RoughRightHandSide(static_cast<size_t>(band.N())), zero(b.size(), 0.0f);
    std::vector<float> x(b.size());
    FrameworkFramebufferScope framebuffer;
    auto* matrix = new BandMatrix(kSolveGrid, kSolveGrid);
    std::vector<int> keys;
    for (int offset : band.offsets) keys.push_back(band.N() + offset);
    matrix->SetDiagonals(keys.data(), static_cast<int>(keys.size()));
    for (size_t k = 0; k < keys.size(); ++k)
        matrix->GetDiagonal(keys[k])->SetData(band.diagonals[k].data(), band.diagonals[k].size());
    auto* solution = new PackedVector(kSolveGrid, kSolveGrid, 0);
    auto* rhs = new PackedVector(kSolveGrid, kSolveGrid, 0);
    rhs->SetData(b.data(), b.size());
    CgSolver solver(matrix, solution, rhs, 0);

    solution->SetData(zero.data(), zero.size());
    const int needed = solver.SolveTo(kTolerance, 16 * kSolveGrid).iterations;
    const int budget = needed + needed / 4 + 10;
    SolveTimes times;
    for (auto check : {CgSolver::ConvergenceCheck::kAuto, CgSolver::ConvergenceCheck::kReadBack}) {
        std::vector<double> ms;
        CgSolver::SolveReport report;
        for (int i = 0; i < solves; ++i) {
            solution->SetData(zero.data(), zero.size());
            solution->GetData(x.data(), x.size());  // the upload done before the clock starts
            const Clock::time_point start = Clock::now();
            report = solver.SolveTo(kTolerance, budget, check);
            solution->GetData(x.data(), x.size());
            ms.push_back(Milliseconds(start));
        }
        (check == CgSolver::ConvergenceCheck::kAuto ? times.driverPathMs : times.readBackMs) = Median(ms);
        (check == CgSolver::ConvergenceCheck::kAuto ? times.driverPath : times.readBack) = report;
    }
    times.trueResidual = host::RelativeResidual(band, std::vector<double>(b.begin(), b.end()),
                                                std::vector<double>(x.begin(), x.end()));
    return times;
}

std::string Escaped(const char* text) {
    std::string out;
    for (const char* c = text ? text : "?"; *c; ++c) {
        if (*c == '"' || *c == '\\') out += '\\';
        out += *c;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = Option(argc, argv, "--frames", 20), solves = Option(argc, argv, "--solves", 3);
    HeadlessContext context;
    if (!context.Open() || !InitFramework()) return 1;
    const double frameMs = FrameTime(frames, 3);
    const SolveTimes solve = SolveTime(solves);
    const char* threads = std::getenv("LP_NUM_THREADS");
    std::printf(
        "{\"renderer\": \"%s\", \"version\": \"%s\", \"lp_num_threads\": \"%s\", \"frame_grid\": %d, "
        "\"frames_per_batch\": %d, \"frame_ms\": %.3f, \"solve_grid\": %d, \"tolerance\": %g, \"solves\": %d, "
        "\"solve_ms\": %.2f, \"solve_skipped_on_gpu\": %s, \"solve_iterations\": %d, \"solve_read_backs\": %d, "
        "\"solve_read_back_ms\": %.2f, \"solve_read_back_iterations\": %d, \"solve_read_back_read_backs\": %d, "
        "\"relative_residual\": %.3g, \"true_residual\": %.3g}\n",
        Escaped(reinterpret_cast<const char*>(glGetString(GL_RENDERER))).c_str(),
        Escaped(reinterpret_cast<const char*>(glGetString(GL_VERSION))).c_str(), threads ? threads : "unset", kGrid,
        frames, frameMs, kSolveGrid, static_cast<double>(kTolerance), solves, solve.driverPathMs,
        solve.driverPath.skippedOnGpu ? "true" : "false", solve.driverPath.iterations, solve.driverPath.readBacks,
        solve.readBackMs, solve.readBack.iterations, solve.readBack.readBacks,
        static_cast<double>(solve.readBack.relativeResidual), solve.trueResidual);
    ShutdownFramework();
    return 0;
}
