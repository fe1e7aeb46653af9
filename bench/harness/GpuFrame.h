#pragma once

#include <vector>

class CgSolver;
class PackedVector;
class UnpackedVector;
class WaveSurface;

// The demo's simulation objects at any grid size, built and stepped exactly
// as the scene does at its fixed 512 x 512 (a test holds the two against
// each other at 512). Needs the framework initialised; destroy it before
// ShutdownFramework.
namespace perf {

// The scene's wave settings.
constexpr float kWaveSpeed = 1.0f;
constexpr float kTimeStep = 0.3f;
constexpr float kSpacing = 1.0f;
constexpr int kIterationsPerFrame = 2;

class GpuFrame {
public:
    // width a multiple of 4, height even: the packed layout's terms.
    GpuFrame(int width, int height);
    ~GpuFrame();
    GpuFrame(const GpuFrame&) = delete;
    GpuFrame& operator=(const GpuFrame&) = delete;

    // One simulation frame, the same sequence as the scene's SimulationStep,
    // bracketed by the framework framebuffer like it.
    void Step();

    // Host values of the height fields (row-major, one float per grid point)
    // and of the solver's warm start; both read and write need no bracket.
    void SetState(const std::vector<float>& current, const std::vector<float>& last,
                  const std::vector<float>& solution);
    std::vector<float> Current();
    std::vector<float> Last();

    int Width() const { return width_; }
    int Height() const { return height_; }
    WaveSurface* Wave() { return wave_; }
    PackedVector* Solution() { return solution_; }
    PackedVector* RightHandSide() { return rightHandSide_; }
    CgSolver* Solver() { return solver_; }
    UnpackedVector* HeightLast() { return last_; }
    UnpackedVector* HeightCurrent() { return current_; }

private:
    int width_;
    int height_;
    WaveSurface* wave_ = nullptr;
    PackedVector* solution_ = nullptr;
    PackedVector* rightHandSide_ = nullptr;
    CgSolver* solver_ = nullptr;  // owns the matrix, solution and right-hand side
    UnpackedVector* last_ = nullptr;
    UnpackedVector* current_ = nullptr;
};

// Packed element order equals the grid's row-major order, so a packed
// solution takes the same host vector as an unpacked field.
std::vector<float> ReadUnpacked(UnpackedVector* vector);
std::vector<float> ReadPacked(PackedVector* vector);

}  // namespace perf

namespace perf {

// A state of the water to start a measured run from: heights of order one
// everywhere (no value drifts towards the denormal range, which would slow
// the CPU peers for reasons of no interest here), a few drops on top, at rest
// (last equal to current) and warm-started (solution equal to current).
struct WaterState {
    std::vector<float> current, last, solution;
};
WaterState RipplingWater(int width, int height);

}  // namespace perf
