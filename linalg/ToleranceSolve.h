#pragma once

#include <optional>

#include "linalg/SolveReport.h"

class BandMatrix;
class ConvergenceGate;
class GpuPreconditioner;
class GpuScalar;
class GpuVector;
class ShaderProgram;

// The objects of a conjugate-gradient solver that a tolerance solve borrows:
// the system and the solver's working vectors and scalars, all of the grid
// and layout the solver checked.
struct CgWorkspace {
    BandMatrix* matrix;
    GpuVector* x;
    GpuVector* b;
    GpuVector* p;
    GpuVector* q;
    GpuVector* r;
    GpuScalar* rho;
    GpuScalar* alpha;
    GpuScalar* beta;
    GpuScalar* pAp;
    GpuScalar* rhoNew;
};

// What the host knows between two batches of iterations, once it has formed
// the true residual of x.
struct BatchOutcome {
    float residual = 0.0f;             // |b - A x|^2 of the x held now
    float rhsNorm = 0.0f;              // |b|^2
    float tolerance2 = 0.0f;           // tolerance^2
    int iterationsLeft = 0;            // of the budget
    int batchesRun = 0;                // 0 before the first
    int lastBatchRan = 0;              // iterations the last batch ran
    float residualBefore = 0.0f;       // the true |r|^2 the last batch started from
    bool wentNonFinite = false;        // the last batch's recursive residual, or a p.Ap, was not finite
    bool notPositiveDefinite = false;  // the last batch met p.Ap <= 0
};

// Whether the solve ends here and why; nothing while it should go on.
std::optional<SolveStop> StopAfter(const BatchOutcome& outcome);

// Conjugate gradients until ||b - A x|| <= tolerance * ||b||, optionally
// preconditioned, on a workspace it borrows. Before every iteration a test
// on the GPU decides whether it runs (ConvergenceGate); the host reads values
// back only before and after a batch of iterations, or every
// kConvergenceReadBackInterval iterations where the driver cannot skip. When
// the recursively updated residual says converged, the true one is formed
// from x and the method restarts from x if it is still too large.
//
// Its vectors, scalars, queries and programs are made at construction (z by
// the first preconditioned solve, more queries by a larger budget), so that
// steady solves make no GL object.
class ToleranceSolve {
public:
    explicit ToleranceSolve(const CgWorkspace& work);
    ~ToleranceSolve();

    ToleranceSolve(const ToleranceSolve&) = delete;
    ToleranceSolve& operator=(const ToleranceSolve&) = delete;

    // Refuses, naming call, a tolerance that is not finite and >= 0, a
    // negative budget, or a driver with fewer than two draw buffers.
    static bool Accepts(const char* call, float tolerance, int maxIterations);

    // From whatever x holds; preconditioner null for none. The framework
    // framebuffer must be bound and the arguments accepted.
    SolveReport Run(GpuPreconditioner* preconditioner, float tolerance, int maxIterations,
                    ConvergenceCheck check);

private:
    void Prepare(GpuPreconditioner* preconditioner, int maxIterations);
    void StartFrom();
    void FormResidual();
    void Restart();
    int RunBatch(int budget, bool skipOnGpu, SolveReport& report);
    void RunGatedIteration();
    void StepSolutionAndResidual();
    GpuVector* Precondition();
    void KeepResidualOrMark(GpuVector* z, GpuScalar* rz);
    void StepDirectionAndAccept(GpuVector* z);
    static float ReadBack(GpuScalar* scalar, SolveReport& report);

    static void CreatePrograms();
    static void ReleasePrograms();

    CgWorkspace m_work;  // rho and rhoNew trade places every iteration, as in the solver
    GpuPreconditioner* m_pPreconditioner = nullptr;  // of the running solve; not owned
    float m_fTolerance = 0.0f;

    // Everything read after a loop whose iterations the GPU may have skipped
    // is written in place, never swapped: x itself, |r|^2 and |b|^2.
    GpuVector* m_pXNext;        // the step's x, accepted into x once its residual is finite
    GpuVector* m_pZ = nullptr;  // preconditioned residual, made by the first preconditioned solve
    GpuScalar* m_pResidual;     // |r|^2 of the last iteration that ran, or its mark
    GpuScalar* m_pSquare;       // |r|^2 before the mark, where z is not r
    GpuScalar* m_pRhsNorm;      // |b|^2
    ConvergenceGate* m_pGate;

    static ShaderProgram* s_pStartProgram;
    static ShaderProgram* s_pGatedUpdateProgram;
    static ShaderProgram* s_pDirectionProgram;
    static ShaderProgram* s_pKeepResidualProgram;
    static int s_iGatedToleranceLocation;
    static int s_iKeepToleranceLocation;
    static int s_iInstances;
};
