#pragma once

#include <memory>
#include <vector>

// The demo's simulation frame on the CPU, for comparison with the framework:
// the explicit wave step (edges clamped), two conjugate-gradient iterations
// warm-started from the last solution (the same recurrences as CgSolver,
// including its zero steps for zero denominators), the shift of the time
// levels. Single thread, float data.
namespace perf {

// The scene's wave pre-factor: p of the explicit stencil, and e of the
// system matrix (1 + 4e on the diagonal, -e off it).
float SceneWaveFactor();

class CpuFrame {
public:
    virtual ~CpuFrame() = default;
    virtual void Step() = 0;
    virtual void SetState(const std::vector<float>& current, const std::vector<float>& last,
                          const std::vector<float>& solution) = 0;
    virtual std::vector<float> Current() const = 0;
};

// Plain loops written for speed: the matrix applied as its stencil, no
// matrix stored, each CG sweep fused with the inner product that follows it.
std::unique_ptr<CpuFrame> MakePlainFrame(int width, int height);

// Eigen: row-major sparse matrices for the explicit step and the system, and
// Eigen's own conjugate gradient (identity preconditioner, two iterations,
// warm-started from the previous solution).
std::unique_ptr<CpuFrame> MakeEigenFrame(int width, int height);

}  // namespace perf
