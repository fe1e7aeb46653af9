#pragma once

#include <limits>
#include <optional>

class BandMatrix;
class ConvergenceGate;
class GpuScalar;
class GpuVector;
class JacobiPreconditioner;
class ShaderProgram;

// Conjugate gradients for a symmetric positive definite band matrix, entirely
// on the GPU: the method's scalars live in 1x1 textures that the vector
// kernels sample, so no iteration reads anything back or waits.
//
// Solve runs a fixed number of iterations from whatever x holds, which
// warm-starts a system solved again every frame. SolveTo runs until the
// residual is small enough, optionally preconditioned, and reports what it
// did; it reads a few values back before and after its loop, never inside it
// where the driver renders conditionally.
//
// The solver owns the matrix, x and b. Band products work on packed vectors:
// x and b must be distinct packed vectors of the matrix's grid and the working
// layout 0 (packed). Any other combination is refused: one line on standard
// error at construction and at every solve, which leaves x untouched.
//
// A solve first sets non-finite values of x to 0, so that a right-hand side
// that once held a NaN or an infinity does not poison every later warm start.
class CgSolver {
public:
    enum class Preconditioner { kNone, kJacobi };
    // kAuto lets the GPU skip the iterations past convergence where the driver
    // renders conditionally; kReadBack always reads a test back every
    // kReadBackInterval iterations instead.
    enum class ConvergenceCheck { kAuto, kReadBack };
    enum class Stop {
        kConverged,      // ||b - A x|| <= tolerance * ||b||
        kMaxIterations,  // the iteration budget ran out first
        kStalled,        // restarting from x no longer halves the residual: float32 gets no closer
        kNonFinite,      // b, A x or a residual is not finite; x holds the last finite iterate
        kRefused,        // nothing was solved; standard error says why
    };
    struct SolveReport {
        Stop stop = Stop::kRefused;
        int iterations = 0;
        // ||b - A x|| / ||b|| for the x returned, formed on the GPU in float
        // (0 for b = 0, which makes x = 0).
        float relativeResidual = std::numeric_limits<float>::quiet_NaN();
        bool skippedOnGpu = false;  // the conditional path: no read-back inside the loop
        int readBacks = 0;          // times the host waited for a value from the GPU
        bool Converged() const { return stop == Stop::kConverged; }
    };
    // Each wait of the fallback drains the pipeline, a fraction of an
    // iteration on a GPU that runs behind the host; past convergence, up to
    // this many - 1 issued iterations run frozen, once. Eight keeps both to a
    // few percent of a solve of a hundred iterations or more.
    static constexpr int kReadBackInterval = 8;

    // layout 0: packed working vectors; layout 1: unpacked.
    CgSolver(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout);
    ~CgSolver();

    CgSolver(const CgSolver&) = delete;
    CgSolver& operator=(const CgSolver&) = delete;

    // Returns the number of iterations run: 0 when not positive or refused.
    int Solve(int iterations);
    void Iterate();

    // Until ||b - A x|| <= tolerance * ||b|| (tolerance finite and >= 0) or
    // maxIterations (>= 0) iterations, from whatever x holds. When the
    // recursively updated residual says converged, the true one is formed
    // from x; if it is still too large the method restarts from x with the
    // iterations left. Where the GPU skips, the host still issues every
    // iteration of the budget, at a small cost each: give a budget near what
    // the system needs. Refused, with x untouched, for other arguments or a
    // driver with fewer than two draw buffers.
    SolveReport SolveTo(float tolerance, int maxIterations, ConvergenceCheck check = ConvergenceCheck::kAuto);

    // For SolveTo; Solve never preconditions. Jacobi takes the matrix's main
    // diagonal as it is now: set it again after changing the matrix. Refused
    // (false, the previous choice kept) when the diagonal cannot serve.
    bool SetPreconditioner(Preconditioner preconditioner);

private:
    const char* RefusalFor(int layout) const;
    bool CheckSolvable(const char* call) const;
    bool CheckToleranceSolve(const char* call, float tolerance, int maxIterations) const;
    void RunIteration();
    void DropNonFiniteStart();
    void UpdateSolutionAndResidual();

    static std::optional<Stop> StopFor(float residual, float rhsNorm, float tolerance2, float previous,
                                       bool wentNonFinite, int iterationsLeft);
    void PrepareToleranceSolve(int maxIterations);
    void StartFrom();
    void Restart();
    int RunBatch(int budget, bool skipOnGpu, SolveReport& report);
    void RunGatedIteration();
    void StepSolutionAndResidual();
    GpuVector* Precondition();
    void KeepResidualNorm(GpuVector* z, GpuScalar* rz);
    void StepDirectionAndAccept(GpuVector* z);
    float ReadBack(GpuScalar* scalar, SolveReport& report);

    BandMatrix* m_pMatrix;
    GpuVector* m_pX;
    GpuVector* m_pB;
    GpuVector* m_pP = nullptr;
    GpuVector* m_pQ = nullptr;
    GpuVector* m_pR = nullptr;
    GpuScalar* m_pRho = nullptr;
    GpuScalar* m_pAlpha = nullptr;
    GpuScalar* m_pBeta = nullptr;
    GpuScalar* m_pPAp = nullptr;
    GpuScalar* m_pRhoNew = nullptr;
    int m_iWidth;
    int m_iHeight;
    const char* m_pRefusal;  // why every solve is refused; null when it can solve

    // What only tolerance solves use, made by the first one. Everything read
    // after a loop whose iterations the GPU may have skipped is written in
    // place, never swapped: x itself, |r|^2 and |b|^2.
    GpuVector* m_pXNext = nullptr;  // the step's x, accepted into x once its residual is finite
    GpuVector* m_pZ = nullptr;      // preconditioned residual
    GpuScalar* m_pResidual = nullptr;  // |r|^2 of the last iteration that ran
    GpuScalar* m_pRhsNorm = nullptr;   // |b|^2
    ConvergenceGate* m_pGate = nullptr;
    JacobiPreconditioner* m_pJacobi = nullptr;
    float m_fTolerance = 0.0f;

    static void CreatePrograms();
    static void ReleasePrograms();
    static void CreateTolerancePrograms();
    static void ReleaseTolerancePrograms();
    static ShaderProgram* s_pFiniteStartProgram;
    static ShaderProgram* s_pUpdateProgram;  // x += alpha p and r -= alpha q, into two targets
    static ShaderProgram* s_pStartProgram;
    static ShaderProgram* s_pGatedUpdateProgram;
    static ShaderProgram* s_pDirectionProgram;
    static ShaderProgram* s_pCopyScalarProgram;
    static int s_iGatedToleranceLocation;
    static int s_iSolverInstances;
    static int s_iToleranceSolvers;
};
