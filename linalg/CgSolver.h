#pragma once

class BandMatrix;
class GpuScalar;
class GpuVector;
class ShaderProgram;

// Conjugate gradients for a symmetric positive definite band matrix, entirely
// on the GPU: the method's scalars live in 1x1 textures that the vector
// kernels sample, so a solve never reads anything back and never waits. It
// runs a fixed number of iterations from whatever x holds, which warm-starts a
// system solved again every frame.
//
// The solver owns the matrix, x and b. Band products work on packed vectors:
// x and b must be distinct packed vectors of the matrix's grid and the working
// layout 0 (packed). Any other combination is refused: one line on standard
// error at construction and at every Solve, which leaves x untouched.
//
// A solve first sets non-finite values of x to 0, so that a right-hand side
// that once held a NaN or an infinity does not poison every later warm start.
class CgSolver {
public:
    // layout 0: packed working vectors; layout 1: unpacked.
    CgSolver(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout);
    ~CgSolver();

    CgSolver(const CgSolver&) = delete;
    CgSolver& operator=(const CgSolver&) = delete;

    // Returns the number of iterations run: 0 when not positive or refused.
    int Solve(int iterations);
    void Iterate();

private:
    const char* RefusalFor(int layout) const;
    bool CheckSolvable(const char* call) const;
    void RunIteration();
    void DropNonFiniteStart();
    void UpdateSolutionAndResidual();

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

    static void CreatePrograms();
    static void ReleasePrograms();
    static ShaderProgram* s_pFiniteStartProgram;
    static ShaderProgram* s_pUpdateProgram;  // x += alpha p and r -= alpha q, into two targets
    static int s_iSolverInstances;
};
