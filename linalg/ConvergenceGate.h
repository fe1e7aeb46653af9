#pragma once

#include <GL/glew.h>

#include "gpu/FragmentQueries.h"

class GpuScalar;
class ShaderProgram;

// Decides on the GPU, before each iteration of a tolerance solve, whether the
// solve goes on: a one-fragment test pass survives while the squared residual
// rr exceeds tolerance^2 * bb (bb = |b|^2) and is finite, and a query per
// iteration (FragmentQueries) says whether it survived. Where the driver renders
// conditionally, the iteration after a test is drawn only if the test
// survived, so the GPU stops by itself and the host needs no value until the
// loop is over. Once a test fails, every later one fails too: the skipped
// iterations leave rr as it was. Elsewhere the host waits for a test every
// few iterations, and the passes of the solver apply the same test (Running,
// kRunningSource) so that iterations issued past the stop change nothing.
class ConvergenceGate {
public:
    ConvergenceGate();
    ~ConvergenceGate();

    ConvergenceGate(const ConvergenceGate&) = delete;
    ConvergenceGate& operator=(const ConvergenceGate&) = delete;

    // GL 3.0 conditional rendering, or GL_NV_conditional_render.
    static bool DriverSkips();

    // Makes the queries of that many iterations now, so that the loop makes
    // no GL object.
    void Reserve(int iterations);
    void SetTolerance(float tolerance);
    // The test of iteration i against the squared norms held by the scalars.
    void Test(int i, GpuScalar* residual, GpuScalar* rhsNorm);
    // Draws between these two happen only if the test of iteration i survived.
    void BeginSkippable(int i);
    void EndSkippable();
    // Waits for the test of iteration i: whether iteration i runs.
    bool Passed(int i);
    // How many of iterations 0..issued-1 ran: tests survive up to the stop
    // and fail from there on, so the first failure is found by bisection.
    int Passes(int issued);

    // GLSL: bool Running(float rr, float bb, float tolerance2), the test itself.
    static const char* const kRunningSource;
    // The same test on the host, in the same float arithmetic.
    static bool Running(float rr, float bb, float tolerance2);

private:
    FragmentQueries m_queries;
    GpuScalar* m_pTarget;  // the test fragment's destination; nothing reads it
    ShaderProgram* m_pTestProgram = nullptr;
    GLint m_iToleranceLocation = -1;
};
