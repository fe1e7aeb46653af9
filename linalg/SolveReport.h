#pragma once

/// \file
/// What a solve to a tolerance is asked and what it reports. CgSolver gives
/// them their public names (CgSolver::ConvergenceCheck, CgSolver::Stop,
/// CgSolver::SolveReport); the tolerance solve that fills them in lives below
/// it and uses them too.

#include <limits>

/// kAuto lets the GPU skip the iterations past convergence where the driver
/// renders conditionally; kReadBack always reads a test back every
/// kConvergenceReadBackInterval iterations instead.
enum class ConvergenceCheck { kAuto, kReadBack };

/// Each wait of the read-back path drains the pipeline, a fraction of an
/// iteration on a GPU that runs behind the host; past convergence, up to this
/// many - 1 issued iterations run frozen, once. Eight keeps both to a few
/// percent of a solve of a hundred iterations or more.
constexpr int kConvergenceReadBackInterval = 8;

/// Why a solve ended.
enum class SolveStop {
    kConverged,      ///< ||b - A x|| <= tolerance * ||b||
    kMaxIterations,  ///< the iteration budget ran out first
    kStalled,        ///< restarting from x no longer halves the residual: float32 gets no closer
    kNonFinite,      ///< b, A x, a residual or p.Ap is not finite; x holds the last finite iterate
    /// A direction p with p.Ap <= 0: the matrix is not positive definite (or
    /// float32 could not tell). x holds the last iterate before that step.
    kNotPositiveDefinite,
    kRefused,  ///< nothing was solved; the refusal handler was told why
};

/// What a solve to double accuracy reports. Its corrections are float solves
/// on the GPU; its residuals and its x are in double on the host.
struct RefinedSolveReport {
    SolveStop stop = SolveStop::kRefused;  ///< why the solve ended
    int steps = 0;                         ///< corrections solved on the GPU
    int iterations = 0;                    ///< GPU iterations over every step
    /// ||b - A x|| / ||b|| for the x returned, in double (0 for b = 0).
    double relativeResidual = std::numeric_limits<double>::quiet_NaN();
    /// The residual met the tolerance.
    bool Converged() const { return stop == SolveStop::kConverged; }
};

/// What a solve to a tolerance on the GPU reports.
struct SolveReport {
    SolveStop stop = SolveStop::kRefused;  ///< why the solve ended
    int iterations = 0;                    ///< conjugate-gradient iterations that ran
    /// ||b - A x|| / ||b|| for the x returned, formed on the GPU in float
    /// (0 for b = 0, which makes x = 0).
    float relativeResidual = std::numeric_limits<float>::quiet_NaN();
    bool skippedOnGpu = false;  ///< the conditional path: no read-back inside the loop
    int readBacks = 0;          ///< times the host waited for a value from the GPU
    /// The residual met the tolerance.
    bool Converged() const { return stop == SolveStop::kConverged; }
};
