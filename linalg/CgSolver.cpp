#include "linalg/CgSolver.h"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/BandMatrix.h"
#include "linalg/ConvergenceGate.h"
#include "linalg/GpuScalar.h"
#include "linalg/JacobiPreconditioner.h"
#include "linalg/KernelSupport.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

// Non-finite values become 0: a NaN fails every comparison, an infinity
// exceeds the largest float. A warm start poisoned by a non-finite right-hand
// side would otherwise keep every later solve NaN.
const char* const kFiniteStartSource = R"(uniform sampler2D g_sVector;
void main(void)
{
vec4 v = texture2D(g_sVector, gl_TexCoord[0].xy);
const float largest = 3.4028235e38;
gl_FragColor = vec4(abs(v.r) <= largest ? v.r : 0.0, abs(v.g) <= largest ? v.g : 0.0,
                    abs(v.b) <= largest ? v.b : 0.0, abs(v.a) <= largest ? v.a : 0.0);
}
)";

// Both updates of an iteration read alpha once and write two targets.
const char* const kUpdateSource = R"(uniform sampler2D g_sX;
uniform sampler2D g_sP;
uniform sampler2D g_sR;
uniform sampler2D g_sQ;
uniform sampler2D g_sAlpha;
void main(void)
{
vec2 here = gl_TexCoord[0].xy;
float alpha = texture2D(g_sAlpha, here).x;
gl_FragData[0] = texture2D(g_sX, here) + alpha * texture2D(g_sP, here);
gl_FragData[1] = texture2D(g_sR, here) - alpha * texture2D(g_sQ, here);
}
)";

// A tolerance solve's start: also x = 0 for b = 0, the exact solution,
// which no relative residual could otherwise reach.
const char* const kStartSource = R"(uniform sampler2D g_sVector;
uniform sampler2D g_sRhsNorm;
void main(void)
{
vec4 v = texture2D(g_sVector, gl_TexCoord[0].xy);
const float largest = 3.4028235e38;
vec4 finite = vec4(abs(v.r) <= largest ? v.r : 0.0, abs(v.g) <= largest ? v.g : 0.0,
                   abs(v.b) <= largest ? v.b : 0.0, abs(v.a) <= largest ? v.a : 0.0);
gl_FragColor = texture2D(g_sRhsNorm, vec2(0.5)).x != 0.0 ? finite : vec4(0.0);
}
)";

// The update of a tolerance solve, into x's next value and r. Iterations
// the host issues past the stop (where it cannot skip them) leave both as
// they are.
const char* const kGatedUpdateSource = R"(uniform sampler2D g_sX;
uniform sampler2D g_sP;
uniform sampler2D g_sR;
uniform sampler2D g_sQ;
uniform sampler2D g_sAlpha;
uniform sampler2D g_sResidual;
uniform sampler2D g_sRhsNorm;
uniform float g_fTolerance2;
void main(void)
{
vec2 here = gl_TexCoord[0].xy;
vec4 x = texture2D(g_sX, here);
vec4 r = texture2D(g_sR, here);
if (Running(texture2D(g_sResidual, vec2(0.5)).x, texture2D(g_sRhsNorm, vec2(0.5)).x, g_fTolerance2)) {
float alpha = texture2D(g_sAlpha, here).x;
x = x + alpha * texture2D(g_sP, here);
r = r - alpha * texture2D(g_sQ, here);
}
gl_FragData[0] = x;
gl_FragData[1] = r;
}
)";

// p = z + beta p, and x takes the step's value, in one pass. A residual
// gone non-finite writes neither: x keeps the last finite iterate.
const char* const kDirectionSource = R"(uniform sampler2D g_sZ;
uniform sampler2D g_sP;
uniform sampler2D g_sBeta;
uniform sampler2D g_sXNext;
uniform sampler2D g_sResidual;
void main(void)
{
vec2 here = gl_TexCoord[0].xy;
float rr = texture2D(g_sResidual, vec2(0.5)).x;
if (rr <= 3.4028235e38) {
gl_FragData[0] = texture2D(g_sZ, here) + texture2D(g_sBeta, here).x * texture2D(g_sP, here);
gl_FragData[1] = texture2D(g_sXNext, here);
} else {
discard;
}
}
)";

const char* const kCopyScalarSource = R"(uniform sampler2D g_sScalar;
void main(void)
{
gl_FragColor = texture2D(g_sScalar, vec2(0.5));
}
)";

const GLenum kTwoTargets[] = {GL_COLOR_ATTACHMENT0_EXT, GL_COLOR_ATTACHMENT1_EXT};

// One pass of program over shape's texels into two targets, inputs bound to
// units 0, 1, ... in order.
void DrawIntoTwoTargets(ShaderProgram* program, GpuVector* shape, GLuint first, GLuint second,
                        std::initializer_list<GLuint> inputs) {
    TextureDesc desc;
    shape->GetTextureDesc(&desc);
    glViewport(0, 0, desc.width, desc.height);
    AttachPassTarget(first);
    AttachPassTarget(second, GL_COLOR_ATTACHMENT1_EXT);
    glDrawBuffers(2, kTwoTargets);
    GLenum unit = GL_TEXTURE0;
    for (GLuint input : inputs) kernel::BindTexture(unit++, input);
    program->Bind();
    GpuVector::DrawFullScreenPass();
    program->Unbind();
    glActiveTexture(GL_TEXTURE0);
    glDrawBuffers(1, kTwoTargets);
    AttachPassTarget(0, GL_COLOR_ATTACHMENT1_EXT);
}

bool TwoRenderTargets() {
    GLint buffers = 0;
    glGetIntegerv(GL_MAX_DRAW_BUFFERS, &buffers);
    return buffers >= 2;
}

GpuVector* MakeWorkingVector(int layout, int width, int height) {
    if (layout == 1) return new UnpackedVector(width, height, 0);
    return new PackedVector(width, height, 0);
}

GpuScalar* MakeZeroScalar() {
    GpuScalar* scalar = new GpuScalar();
    scalar->SetValue(0.0f);
    return scalar;
}

template <typename T>
void Destroy(T*& object) {
    delete object;
    object = nullptr;
}

}  // namespace

ShaderProgram* CgSolver::s_pFiniteStartProgram = nullptr;
ShaderProgram* CgSolver::s_pUpdateProgram = nullptr;
ShaderProgram* CgSolver::s_pStartProgram = nullptr;
ShaderProgram* CgSolver::s_pGatedUpdateProgram = nullptr;
ShaderProgram* CgSolver::s_pDirectionProgram = nullptr;
ShaderProgram* CgSolver::s_pCopyScalarProgram = nullptr;
int CgSolver::s_iGatedToleranceLocation = -1;
int CgSolver::s_iSolverInstances = 0;
int CgSolver::s_iToleranceSolvers = 0;

void CgSolver::CreatePrograms() {
    if (s_iSolverInstances++ > 0) return;
    s_pFiniteStartProgram = kernel::Build(kPassThroughVertexSource, kFiniteStartSource, {{"g_sVector", 0}}, {});
    // A driver with one draw buffer updates x and r in two passes instead.
    if (TwoRenderTargets())
        s_pUpdateProgram = kernel::Build(kPassThroughVertexSource, kUpdateSource,
                                         {{"g_sX", 0}, {"g_sP", 1}, {"g_sR", 2}, {"g_sQ", 3}, {"g_sAlpha", 4}}, {});
}

void CgSolver::ReleasePrograms() {
    if (--s_iSolverInstances > 0) return;
    kernel::Delete(s_pFiniteStartProgram);
    kernel::Delete(s_pUpdateProgram);
}

void CgSolver::CreateTolerancePrograms() {
    if (s_iToleranceSolvers++ > 0) return;
    const char* const vertex = kPassThroughVertexSource;
    s_pStartProgram = kernel::Build(vertex, kStartSource, {{"g_sVector", 0}, {"g_sRhsNorm", 1}}, {});
    const std::string gatedUpdate = std::string(ConvergenceGate::kRunningSource) + kGatedUpdateSource;
    s_pGatedUpdateProgram = kernel::Build(vertex, gatedUpdate.c_str(),
                                          {{"g_sX", 0}, {"g_sP", 1}, {"g_sR", 2}, {"g_sQ", 3}, {"g_sAlpha", 4},
                                           {"g_sResidual", 5}, {"g_sRhsNorm", 6}},
                                          {{"g_fTolerance2", &s_iGatedToleranceLocation}});
    s_pDirectionProgram = kernel::Build(
        vertex, kDirectionSource, {{"g_sZ", 0}, {"g_sP", 1}, {"g_sBeta", 2}, {"g_sXNext", 3}, {"g_sResidual", 4}}, {});
    s_pCopyScalarProgram = kernel::Build(vertex, kCopyScalarSource, {{"g_sScalar", 0}}, {});
}

void CgSolver::ReleaseTolerancePrograms() {
    if (--s_iToleranceSolvers > 0) return;
    kernel::Delete(s_pStartProgram);
    kernel::Delete(s_pGatedUpdateProgram);
    kernel::Delete(s_pDirectionProgram);
    kernel::Delete(s_pCopyScalarProgram);
}

CgSolver::CgSolver(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout)
    : m_pMatrix(matrix),
      m_pX(x),
      m_pB(b),
      m_iWidth(b != nullptr ? b->Width() : 0),
      m_iHeight(b != nullptr ? b->Height() : 0),
      m_pRefusal(RefusalFor(layout)) {
    if (m_pRefusal != nullptr) {
        Refuse("CgSolver", "%s; every solve will be refused", m_pRefusal);
        return;
    }
    m_pP = MakeWorkingVector(layout, m_iWidth, m_iHeight);
    m_pQ = MakeWorkingVector(layout, m_iWidth, m_iHeight);
    m_pR = MakeWorkingVector(layout, m_iWidth, m_iHeight);
    m_pRho = MakeZeroScalar();
    m_pAlpha = MakeZeroScalar();
    m_pBeta = MakeZeroScalar();
    m_pPAp = MakeZeroScalar();
    m_pRhoNew = MakeZeroScalar();
    CreatePrograms();
}

// The band products address their operands in the packed layout; anything
// else would silently compute a wrong answer.
const char* CgSolver::RefusalFor(int layout) const {
    if (m_pMatrix == nullptr || m_pX == nullptr || m_pB == nullptr) return "the matrix, x or b is null";
    if (m_pX == m_pB) return "x and b are the same vector";
    if (!m_pMatrix->IsUsable()) return "the matrix's grid cannot hold packed diagonals";
    if (layout != 0 || dynamic_cast<PackedVector*>(m_pX) == nullptr || dynamic_cast<PackedVector*>(m_pB) == nullptr)
        return "band matrix products need packed vectors and working layout 0";
    if (!m_pX->IsUsable() || !m_pB->IsUsable()) return "x or b has no texture of the running framework";
    if (m_pX->Width() != m_pMatrix->Width() || m_pX->Height() != m_pMatrix->Height() ||
        m_iWidth != m_pMatrix->Width() || m_iHeight != m_pMatrix->Height())
        return "x and b must have the matrix's grid size";
    return nullptr;
}

// Owns what it was given, each object once, even when it refused to solve.
CgSolver::~CgSolver() {
    if (m_pX == m_pB) m_pX = nullptr;
    Destroy(m_pB);
    Destroy(m_pP);
    Destroy(m_pQ);
    Destroy(m_pR);
    Destroy(m_pX);
    Destroy(m_pMatrix);
    Destroy(m_pRho);
    Destroy(m_pAlpha);
    Destroy(m_pBeta);
    Destroy(m_pPAp);
    Destroy(m_pRhoNew);
    if (m_pGate != nullptr) ReleaseTolerancePrograms();
    Destroy(m_pXNext);
    Destroy(m_pZ);
    Destroy(m_pResidual);
    Destroy(m_pRhsNorm);
    Destroy(m_pGate);
    Destroy(m_pJacobi);
    if (m_pRefusal == nullptr) ReleasePrograms();
}

bool CgSolver::CheckSolvable(const char* call) const {
    if (m_pRefusal != nullptr) return Refuse(call, "%s; nothing solved.", m_pRefusal);
    if (!m_pX->IsUsable() || !m_pB->IsUsable())
        return Refuse(call, "x or b has no texture of the running framework; nothing solved.");
    return true;
}

int CgSolver::Solve(int iterations) {
    if (!CheckSolvable("CgSolver::Solve")) return 0;
    FrameworkFramebufferScope framebuffer;
    DropNonFiniteStart();
    m_pMatrix->SubtractProduct(m_pX, m_pB, m_pR);  // r = b - A x
    m_pP->CopyFrom(m_pR);
    m_pR->Dot(m_pR, m_pRho);
    if (iterations <= 0) return 0;
    for (int i = 0; i < iterations; ++i) RunIteration();
    return iterations;
}

void CgSolver::Iterate() {
    if (!CheckSolvable("CgSolver::Iterate")) return;
    FrameworkFramebufferScope framebuffer;
    RunIteration();
}

// Zero denominators give zero steps through SafeDivide, so once the residual
// vanishes further iterations leave x where it is.
void CgSolver::RunIteration() {
    m_pMatrix->MultiplyVector(0, m_pP, nullptr, m_pQ);  // q = A p
    m_pP->Dot(m_pQ, m_pPAp);
    m_pRho->SafeDivide(m_pPAp, m_pAlpha, 1.0f, 1.0f);  // alpha = rho / pAp
    UpdateSolutionAndResidual();                       // x += alpha p, r -= alpha q
    m_pR->Dot(m_pR, m_pRhoNew);
    m_pRhoNew->SafeDivide(m_pRho, m_pBeta, 1.0f, 1.0f);  // beta = rhoNew / rho
    m_pR->MulAddScalar(m_pP, m_pP, 1.0f, m_pBeta);       // p = r + beta p
    std::swap(m_pRho, m_pRhoNew);
}

// One pass with two render targets: each fragment reads alpha, p and q once
// for both updates.
void CgSolver::UpdateSolutionAndResidual() {
    if (s_pUpdateProgram == nullptr) {
        m_pX->MulAddScalar(m_pP, m_pX, 1.0f, m_pAlpha);
        m_pR->MulSubScalar(m_pQ, m_pR, 1.0f, m_pAlpha);
        return;
    }
    const GLuint x = m_pX->AcquireTarget(), r = m_pR->AcquireTarget();
    DrawIntoTwoTargets(s_pUpdateProgram, m_pX, x, r,
                       {m_pX->Texture(), m_pP->Texture(), m_pR->Texture(), m_pQ->Texture(), m_pAlpha->Texture()});
    m_pX->CommitTarget();
    m_pR->CommitTarget();
}

void CgSolver::DropNonFiniteStart() {
    m_pX->AttachRenderTarget();
    s_pFiniteStartProgram->Bind();
    kernel::BindTexture(GL_TEXTURE0, m_pX->Texture());
    GpuVector::DrawFullScreenPass();
    glBindTexture(GL_TEXTURE_2D, 0);
    s_pFiniteStartProgram->Unbind();
    m_pX->CommitTarget();
}

bool CgSolver::CheckToleranceSolve(const char* call, float tolerance, int maxIterations) const {
    if (!(tolerance >= 0.0f) || !std::isfinite(tolerance))
        return Refuse(call, "the tolerance %g is not finite and >= 0; nothing solved.", static_cast<double>(tolerance));
    if (maxIterations < 0) return Refuse(call, "the iteration budget %d is negative; nothing solved.", maxIterations);
    if (!TwoRenderTargets())
        return Refuse(call, "the driver has one draw buffer and a tolerance solve writes two targets per pass; "
                            "nothing solved.");
    return true;
}

bool CgSolver::SetPreconditioner(Preconditioner preconditioner) {
    const char* const call = "CgSolver::SetPreconditioner";
    if (!CheckSolvable(call)) return false;
    if (preconditioner == Preconditioner::kNone) {
        Destroy(m_pJacobi);
        Destroy(m_pZ);
        return true;
    }
    auto* jacobi = new JacobiPreconditioner(m_pMatrix);
    if (!jacobi->IsUsable()) {
        delete jacobi;
        return Refuse(call, "Jacobi cannot use this matrix's diagonal; the previous preconditioner stays.");
    }
    Destroy(m_pJacobi);
    m_pJacobi = jacobi;
    if (m_pZ == nullptr) m_pZ = MakeWorkingVector(0, m_iWidth, m_iHeight);
    return true;
}

CgSolver::SolveReport CgSolver::SolveTo(float tolerance, int maxIterations, ConvergenceCheck check) {
    const char* const call = "CgSolver::SolveTo";
    SolveReport report;
    if (!CheckSolvable(call) || !CheckToleranceSolve(call, tolerance, maxIterations)) return report;
    FrameworkFramebufferScope framebuffer;
    PrepareToleranceSolve(maxIterations);
    m_fTolerance = tolerance;
    const float tolerance2 = tolerance * tolerance;
    report.skippedOnGpu = check == ConvergenceCheck::kAuto && ConvergenceGate::DriverSkips();
    StartFrom();
    const float rhsNorm = ReadBack(m_pRhsNorm, report);
    float previous = std::numeric_limits<float>::infinity();  // what the last batch has to halve
    bool wentNonFinite = false, restarting = false;
    while (true) {
        Restart();
        const float residual = ReadBack(m_pResidual, report);  // the true one, of x
        report.relativeResidual = rhsNorm > 0.0f ? std::sqrt(residual / rhsNorm) : std::sqrt(residual);
        const std::optional<Stop> stop =
            StopFor(residual, rhsNorm, tolerance2, previous, wentNonFinite, maxIterations - report.iterations);
        if (stop) {
            report.stop = *stop;
            return report;
        }
        const int ran = RunBatch(maxIterations - report.iterations, report.skippedOnGpu, report);
        report.iterations += ran;
        wentNonFinite = !std::isfinite(ReadBack(m_pResidual, report));  // the recursive one
        previous = restarting || ran == 0 ? residual : std::numeric_limits<float>::infinity();
        restarting = true;
    }
}

// A restart that does not halve the true residual has met float32's floor:
// the recursive residual still falls, the true one no longer follows. The
// first batch is not judged so: it may have started just above the
// tolerance.
std::optional<CgSolver::Stop> CgSolver::StopFor(float residual, float rhsNorm, float tolerance2, float previous,
                                                bool wentNonFinite, int iterationsLeft) {
    if (wentNonFinite || !std::isfinite(residual) || !std::isfinite(rhsNorm)) return Stop::kNonFinite;
    if (!ConvergenceGate::Running(residual, rhsNorm, tolerance2)) return Stop::kConverged;
    if (iterationsLeft <= 0) return Stop::kMaxIterations;
    if (residual > 0.25f * previous) return Stop::kStalled;
    return std::nullopt;
}

// Made once, by the first tolerance solve, so that steady solves make no GL
// object; a larger budget adds queries.
void CgSolver::PrepareToleranceSolve(int maxIterations) {
    if (m_pGate == nullptr) {
        CreateTolerancePrograms();
        m_pGate = new ConvergenceGate();
        m_pXNext = MakeWorkingVector(0, m_iWidth, m_iHeight);
        m_pResidual = MakeZeroScalar();
        m_pRhsNorm = MakeZeroScalar();
    }
    m_pGate->Reserve(maxIterations);
}

void CgSolver::StartFrom() {
    m_pB->Dot(m_pB, m_pRhsNorm);
    m_pX->AttachRenderTarget();
    kernel::BindTexture(GL_TEXTURE0, m_pX->Texture());
    kernel::BindTexture(GL_TEXTURE1, m_pRhsNorm->Texture());
    s_pStartProgram->Bind();
    GpuVector::DrawFullScreenPass();
    s_pStartProgram->Unbind();
    glActiveTexture(GL_TEXTURE0);
    m_pX->CommitTarget();
}

// The method from x: also how the true residual of x is formed.
void CgSolver::Restart() {
    m_pMatrix->SubtractProduct(m_pX, m_pB, m_pR);  // r = b - A x
    GpuVector* z = Precondition();
    m_pP->CopyFrom(z);
    m_pR->Dot(z, m_pRho);
    KeepResidualNorm(z, m_pRho);
}

float CgSolver::ReadBack(GpuScalar* scalar, SolveReport& report) {
    ++report.readBacks;
    return scalar->GetValue();
}

// Up to budget iterations, each after its test. The GPU skips what follows a
// failed test where it can; otherwise the host looks every
// kReadBackInterval iterations, and what it issued past the stop is frozen.
int CgSolver::RunBatch(int budget, bool skipOnGpu, SolveReport& report) {
    m_pGate->SetTolerance(m_fTolerance);
    s_pGatedUpdateProgram->Bind();
    glUniform1f(s_iGatedToleranceLocation, m_fTolerance * m_fTolerance);
    s_pGatedUpdateProgram->Unbind();
    int issued = 0;
    for (; issued < budget; ++issued) {
        m_pGate->Test(issued, m_pResidual, m_pRhsNorm);
        if (!skipOnGpu && issued > 0 && issued % kReadBackInterval == 0) {
            ++report.readBacks;
            if (!m_pGate->Passed(issued)) break;
        }
        if (skipOnGpu) m_pGate->BeginSkippable(issued);
        RunGatedIteration();
        if (skipOnGpu) m_pGate->EndSkippable();
    }
    ++report.readBacks;
    return m_pGate->Passes(issued);
}

// Preconditioned conjugate gradients. Scratch exchanges in an iteration the
// GPU skips leave stale textures in p, q, r, z and the step scalars; nothing
// reads them, since every later test fails too and the next solve starts
// afresh from x, whose texture no pass here exchanges.
void CgSolver::RunGatedIteration() {
    m_pMatrix->MultiplyVector(0, m_pP, nullptr, m_pQ);  // q = A p
    m_pP->Dot(m_pQ, m_pPAp);
    m_pRho->SafeDivide(m_pPAp, m_pAlpha, 1.0f, 1.0f);  // alpha = rho / pAp
    StepSolutionAndResidual();                         // x' = x + alpha p, r -= alpha q
    GpuVector* z = Precondition();                     // z = M^-1 r
    m_pR->Dot(z, m_pRhoNew);                           // rhoNew = r.z
    KeepResidualNorm(z, m_pRhoNew);                    // |r|^2, for the next test
    m_pRhoNew->SafeDivide(m_pRho, m_pBeta, 1.0f, 1.0f);  // beta = rhoNew / rho
    StepDirectionAndAccept(z);                           // p = z + beta p, x = x'
    std::swap(m_pRho, m_pRhoNew);
}

// x' goes to a vector of its own, in place: x is only written once the
// step's residual is known to be finite.
void CgSolver::StepSolutionAndResidual() {
    DrawIntoTwoTargets(s_pGatedUpdateProgram, m_pX, m_pXNext->Texture(), m_pR->AcquireTarget(),
                       {m_pX->Texture(), m_pP->Texture(), m_pR->Texture(), m_pQ->Texture(), m_pAlpha->Texture(),
                        m_pResidual->Texture(), m_pRhsNorm->Texture()});
    m_pR->CommitTarget();
}

GpuVector* CgSolver::Precondition() {
    if (m_pJacobi == nullptr) return m_pR;
    m_pJacobi->Apply(m_pR, m_pZ);
    return m_pZ;
}

// The test reads |r|^2 from a texture no exchange moves. Unpreconditioned,
// it is r.z, copied there in one fragment.
void CgSolver::KeepResidualNorm(GpuVector* z, GpuScalar* rz) {
    if (z != m_pR) {
        m_pR->Dot(m_pR, m_pResidual);
        return;
    }
    glViewport(0, 0, 1, 1);
    AttachPassTarget(m_pResidual->Texture());
    kernel::BindTexture(GL_TEXTURE0, rz->Texture());
    s_pCopyScalarProgram->Bind();
    kernel::DrawSingleFragment();
    s_pCopyScalarProgram->Unbind();
}

void CgSolver::StepDirectionAndAccept(GpuVector* z) {
    DrawIntoTwoTargets(s_pDirectionProgram, m_pP, m_pP->AcquireTarget(), m_pX->Texture(),
                       {z->Texture(), m_pP->Texture(), m_pBeta->Texture(), m_pXNext->Texture(),
                        m_pResidual->Texture()});
    m_pP->CommitTarget();
}
