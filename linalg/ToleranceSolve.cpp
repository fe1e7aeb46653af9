#include "linalg/ToleranceSolve.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/BandMatrix.h"
#include "linalg/ConvergenceGate.h"
#include "linalg/GpuPreconditioner.h"
#include "linalg/GpuScalar.h"
#include "linalg/KernelSupport.h"
#include "linalg/PackedVector.h"

namespace {

// The start: non-finite values of x become 0, so that a right-hand side that
// once held a NaN does not poison every later warm start; and x = 0 for
// b = 0, the exact solution, which no relative residual could otherwise reach.
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

// The curvature p.Ap of a step conjugate gradients can take: positive and
// finite. A matrix that is not positive definite shows itself by a direction
// with p.Ap <= 0; an overflowing product by one that is not finite.
const char* const kCurvatureSource = R"(bool Curving(float pAp)
{
return pAp > 0.0 && pAp <= 3.4028235e38;
}
)";

// The update, into x's next value and r. Iterations the host issues past the
// stop (where it cannot skip them) leave both as they are, and so does a
// step without curvature.
const char* const kGatedUpdateSource = R"(uniform sampler2D g_sX;
uniform sampler2D g_sP;
uniform sampler2D g_sR;
uniform sampler2D g_sQ;
uniform sampler2D g_sAlpha;
uniform sampler2D g_sResidual;
uniform sampler2D g_sRhsNorm;
uniform sampler2D g_sPAp;
uniform float g_fTolerance2;
void main(void)
{
vec2 here = gl_TexCoord[0].xy;
vec4 x = texture2D(g_sX, here);
vec4 r = texture2D(g_sR, here);
if (Running(texture2D(g_sResidual, vec2(0.5)).x, texture2D(g_sRhsNorm, vec2(0.5)).x, g_fTolerance2) &&
    Curving(texture2D(g_sPAp, vec2(0.5)).x)) {
float alpha = texture2D(g_sAlpha, here).x;
x = x + alpha * texture2D(g_sP, here);
r = r - alpha * texture2D(g_sQ, here);
}
gl_FragData[0] = x;
gl_FragData[1] = r;
}
)";

// |r|^2 for the next test, or a mark that fails it for good: -1 where the
// running solve met p.Ap <= 0, -2 where p.Ap was not finite. Such a step left
// r as it was, so |r|^2 still says running, and p too (the direction pass
// keeps it under a mark), so every iteration issued after it meets the same
// p.Ap and writes the same mark. Once the solve stops for any other
// reason, |r|^2 says so and passes through, whatever p.Ap becomes.
const char* const kKeepResidualSource = R"(uniform sampler2D g_sSquare;
uniform sampler2D g_sRhsNorm;
uniform sampler2D g_sPAp;
uniform float g_fTolerance2;
void main(void)
{
float rr = texture2D(g_sSquare, vec2(0.5)).x;
float pAp = texture2D(g_sPAp, vec2(0.5)).x;
bool broken = Running(rr, texture2D(g_sRhsNorm, vec2(0.5)).x, g_fTolerance2) && !Curving(pAp);
gl_FragColor = vec4(broken ? (pAp <= 0.0 ? -1.0 : -2.0) : rr);
}
)";

// p = z + beta p, and x takes the step's value, in one pass. A residual
// gone non-finite writes neither: x keeps the last finite iterate. Under a
// mark the step was not taken (x' is x) and p stays, to meet the same p.Ap
// again: p's new texture must hold it, as a discarded fragment would leave
// the scratch texture's stale values there.
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
vec4 p = texture2D(g_sP, here);
gl_FragData[0] = rr >= 0.0 ? texture2D(g_sZ, here) + texture2D(g_sBeta, here).x * p : p;
gl_FragData[1] = texture2D(g_sXNext, here);
} else {
discard;
}
}
)";

// What the keep pass writes for a broken step, read back after the loop.
constexpr float kNotPositiveDefiniteMark = -1.0f;
constexpr float kCurvatureOverflowMark = -2.0f;

TextureDesc ShapeOf(GpuVector* vector) {
    TextureDesc desc;
    vector->GetTextureDesc(&desc);
    return desc;
}

GpuScalar* MakeZeroScalar() {
    GpuScalar* scalar = new GpuScalar();
    scalar->SetValue(0.0f);
    return scalar;
}

}  // namespace

ShaderProgram* ToleranceSolve::s_pStartProgram = nullptr;
ShaderProgram* ToleranceSolve::s_pGatedUpdateProgram = nullptr;
ShaderProgram* ToleranceSolve::s_pDirectionProgram = nullptr;
ShaderProgram* ToleranceSolve::s_pKeepResidualProgram = nullptr;
int ToleranceSolve::s_iGatedToleranceLocation = -1;
int ToleranceSolve::s_iKeepToleranceLocation = -1;
int ToleranceSolve::s_iInstances = 0;

void ToleranceSolve::CreatePrograms() {
    if (s_iInstances++ > 0) return;
    const char* const vertex = kPassThroughVertexSource;
    s_pStartProgram = kernel::Build(vertex, kStartSource, {{"g_sVector", 0}, {"g_sRhsNorm", 1}}, {});
    const std::string tests = std::string(ConvergenceGate::kRunningSource) + kCurvatureSource;
    s_pGatedUpdateProgram = kernel::Build(vertex, (tests + kGatedUpdateSource).c_str(),
                                          {{"g_sX", 0},
                                           {"g_sP", 1},
                                           {"g_sR", 2},
                                           {"g_sQ", 3},
                                           {"g_sAlpha", 4},
                                           {"g_sResidual", 5},
                                           {"g_sRhsNorm", 6},
                                           {"g_sPAp", 7}},
                                          {{"g_fTolerance2", &s_iGatedToleranceLocation}});
    s_pKeepResidualProgram = kernel::Build(vertex, (tests + kKeepResidualSource).c_str(),
                                           {{"g_sSquare", 0}, {"g_sRhsNorm", 1}, {"g_sPAp", 2}},
                                           {{"g_fTolerance2", &s_iKeepToleranceLocation}});
    s_pDirectionProgram =
        kernel::Build(vertex, kDirectionSource,
                      {{"g_sZ", 0}, {"g_sP", 1}, {"g_sBeta", 2}, {"g_sXNext", 3}, {"g_sResidual", 4}}, {});
}

void ToleranceSolve::ReleasePrograms() {
    if (--s_iInstances > 0) return;
    kernel::Delete(s_pStartProgram);
    kernel::Delete(s_pGatedUpdateProgram);
    kernel::Delete(s_pDirectionProgram);
    kernel::Delete(s_pKeepResidualProgram);
}

ToleranceSolve::ToleranceSolve(const CgWorkspace& work)
    : m_work(work),
      m_pXNext(new PackedVector(work.b->Width(), work.b->Height(), 0)),
      m_pResidual(MakeZeroScalar()),
      m_pSquare(MakeZeroScalar()),
      m_pRhsNorm(MakeZeroScalar()),
      m_pGate(new ConvergenceGate()) {
    CreatePrograms();
}

ToleranceSolve::~ToleranceSolve() {
    ReleasePrograms();
    delete m_pGate;
    delete m_pRhsNorm;
    delete m_pSquare;
    delete m_pResidual;
    delete m_pZ;
    delete m_pXNext;
}

bool ToleranceSolve::Accepts(const char* call, float tolerance, int maxIterations) {
    if (!(tolerance >= 0.0f) || !std::isfinite(tolerance))
        return Refuse(call, "the tolerance %g is not finite and >= 0; nothing solved.",
                      static_cast<double>(tolerance));
    if (maxIterations < 0)
        return Refuse(call, "the iteration budget %d is negative; nothing solved.", maxIterations);
    if (!kernel::TwoRenderTargets())
        return Refuse(call,
                      "the driver has one draw buffer and a tolerance solve writes two targets per pass; "
                      "nothing solved.");
    return true;
}

// A restart that does not halve the true residual has met float32's floor:
// the recursive residual still falls, the true one no longer follows. The
// first batch is not judged so, unless it ran nothing: it may have started
// just above the tolerance.
// An x that meets the tolerance is converged even where the batch ended
// without curvature: it solves the system as asked.
std::optional<SolveStop> StopAfter(const BatchOutcome& o) {
    if (o.wentNonFinite || !std::isfinite(o.residual) || !std::isfinite(o.rhsNorm))
        return SolveStop::kNonFinite;
    if (!ConvergenceGate::Running(o.residual, o.rhsNorm, o.tolerance2)) return SolveStop::kConverged;
    if (o.notPositiveDefinite) return SolveStop::kNotPositiveDefinite;
    if (o.iterationsLeft <= 0) return SolveStop::kMaxIterations;
    const bool judged = o.batchesRun > 1 || (o.batchesRun == 1 && o.lastBatchRan == 0);
    if (judged && o.residual > 0.25f * o.residualBefore) return SolveStop::kStalled;
    return std::nullopt;
}

SolveReport ToleranceSolve::Run(GpuPreconditioner* preconditioner, float tolerance, int maxIterations,
                                ConvergenceCheck check) {
    SolveReport report;
    Prepare(preconditioner, maxIterations);
    m_fTolerance = tolerance;
    report.skippedOnGpu = check == ConvergenceCheck::kAuto && ConvergenceGate::DriverSkips();
    StartFrom();
    BatchOutcome outcome;
    outcome.tolerance2 = tolerance * tolerance;
    outcome.rhsNorm = ReadBack(m_pRhsNorm, report);
    while (true) {
        FormResidual();
        outcome.residual = ReadBack(m_pResidual, report);  // the true one, of x
        const float rhsNorm = outcome.rhsNorm;
        report.relativeResidual =
            rhsNorm > 0.0f ? std::sqrt(outcome.residual / rhsNorm) : std::sqrt(outcome.residual);
        outcome.iterationsLeft = maxIterations - report.iterations;
        if (const std::optional<SolveStop> stop = StopAfter(outcome)) {
            report.stop = *stop;
            return report;
        }
        outcome.residualBefore = outcome.residual;
        Restart();
        outcome.lastBatchRan = RunBatch(outcome.iterationsLeft, report.skippedOnGpu, report);
        ++outcome.batchesRun;
        report.iterations += outcome.lastBatchRan;
        const float recursive = ReadBack(m_pResidual, report);  // or the mark of a step without curvature
        outcome.notPositiveDefinite = recursive == kNotPositiveDefiniteMark;
        outcome.wentNonFinite = recursive == kCurvatureOverflowMark || !std::isfinite(recursive);
    }
}

// Made once, so that steady solves make no GL object; a larger budget adds
// queries, and the first preconditioned solve its z.
void ToleranceSolve::Prepare(GpuPreconditioner* preconditioner, int maxIterations) {
    m_pPreconditioner = preconditioner;
    if (preconditioner != nullptr && m_pZ == nullptr)
        m_pZ = new PackedVector(m_work.b->Width(), m_work.b->Height(), 0);
    m_pGate->Reserve(maxIterations);
}

void ToleranceSolve::StartFrom() {
    m_work.b->Dot(m_work.b, m_pRhsNorm);
    GpuVector* x = m_work.x;
    if (!x->AttachScratchTarget("CgSolver::SolveTo")) return;
    kernel::BindTexture(GL_TEXTURE0, x->Texture());
    kernel::BindTexture(GL_TEXTURE1, m_pRhsNorm->Texture());
    s_pStartProgram->Bind();
    GpuVector::DrawFullScreenPass();
    s_pStartProgram->Unbind();
    glActiveTexture(GL_TEXTURE0);
    x->CommitTarget();
}

// r = b - A x and |r|^2: the true residual of x, which decides whether the
// solve goes on.
void ToleranceSolve::FormResidual() {
    m_work.matrix->SubtractProduct(m_work.x, m_work.b, m_work.r);
    m_work.r->Dot(m_work.r, m_pResidual);
}

// The method from x, its residual formed, only where iterations follow: a
// preconditioner as costly as a multigrid cycle is not applied to the
// residual that ends the solve.
void ToleranceSolve::Restart() {
    GpuVector* z = Precondition();
    m_work.p->CopyFrom(z);
    m_work.r->Dot(z, m_work.rho);
}

float ToleranceSolve::ReadBack(GpuScalar* scalar, SolveReport& report) {
    ++report.readBacks;
    return scalar->GetValue();
}

// Up to budget iterations, each after its test. The GPU skips what follows a
// failed test where it can; otherwise the host looks every
// kConvergenceReadBackInterval iterations, and what it issued past the stop is frozen.
int ToleranceSolve::RunBatch(int budget, bool skipOnGpu, SolveReport& report) {
    m_pGate->SetTolerance(m_fTolerance);
    for (auto [program, location] : {std::pair{s_pGatedUpdateProgram, s_iGatedToleranceLocation},
                                     std::pair{s_pKeepResidualProgram, s_iKeepToleranceLocation}}) {
        program->Bind();
        glUniform1f(location, m_fTolerance * m_fTolerance);
        program->Unbind();
    }
    int issued = 0;
    for (; issued < budget; ++issued) {
        m_pGate->Test(issued, m_pResidual, m_pRhsNorm);
        if (!skipOnGpu && issued > 0 && issued % kConvergenceReadBackInterval == 0) {
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
void ToleranceSolve::RunGatedIteration() {
    CgWorkspace& w = m_work;
    w.matrix->MultiplyVector(0, w.p, nullptr, w.q);  // q = A p
    w.p->Dot(w.q, w.pAp);
    w.rho->SafeDivide(w.pAp, w.alpha, 1.0f, 1.0f);    // alpha = rho / pAp
    StepSolutionAndResidual();                        // x' = x + alpha p, r -= alpha q
    GpuVector* z = Precondition();                    // z = M^-1 r
    w.r->Dot(z, w.rhoNew);                            // rhoNew = r.z
    KeepResidualOrMark(z, w.rhoNew);                  // |r|^2 for the next test, or a mark
    w.rhoNew->SafeDivide(w.rho, w.beta, 1.0f, 1.0f);  // beta = rhoNew / rho
    StepDirectionAndAccept(z);                        // p = z + beta p, x = x'
    std::swap(w.rho, w.rhoNew);
}

// x' goes to a vector of its own, in place: x is only written once the
// step's residual is known to be finite.
void ToleranceSolve::StepSolutionAndResidual() {
    const CgWorkspace& w = m_work;
    if (!kernel::DrawIntoTwoTargets(
            s_pGatedUpdateProgram, ShapeOf(w.x), m_pXNext->Texture(), w.r->AcquireTarget(),
            {w.x->Texture(), w.p->Texture(), w.r->Texture(), w.q->Texture(), w.alpha->Texture(),
             m_pResidual->Texture(), m_pRhsNorm->Texture(), w.pAp->Texture()})) {
        w.r->ReleaseTarget();
        Refuse("CgSolver::SolveTo", "the driver cannot allocate a scratch texture; the step is not taken");
        return;
    }
    w.r->CommitTarget();
}

GpuVector* ToleranceSolve::Precondition() {
    if (m_pPreconditioner == nullptr) return m_work.r;
    m_pPreconditioner->Apply(m_work.r, m_pZ);
    return m_pZ;
}

// |r|^2 into a texture no exchange moves, where the next test reads it:
// unpreconditioned, it is r.z, copied in one fragment; a step without
// curvature leaves a mark there instead.
void ToleranceSolve::KeepResidualOrMark(GpuVector* z, GpuScalar* rz) {
    GpuScalar* square = rz;
    if (z != m_work.r) {
        m_work.r->Dot(m_work.r, m_pSquare);
        square = m_pSquare;
    }
    glViewport(0, 0, 1, 1);
    AttachPassTarget(m_pResidual->Texture());
    kernel::BindTexture(GL_TEXTURE0, square->Texture());
    kernel::BindTexture(GL_TEXTURE1, m_pRhsNorm->Texture());
    kernel::BindTexture(GL_TEXTURE2, m_work.pAp->Texture());
    s_pKeepResidualProgram->Bind();
    kernel::DrawSingleFragment();
    s_pKeepResidualProgram->Unbind();
    glActiveTexture(GL_TEXTURE0);
}

void ToleranceSolve::StepDirectionAndAccept(GpuVector* z) {
    const CgWorkspace& w = m_work;
    if (!kernel::DrawIntoTwoTargets(
            s_pDirectionProgram, ShapeOf(w.p), w.p->AcquireTarget(), w.x->Texture(),
            {z->Texture(), w.p->Texture(), w.beta->Texture(), m_pXNext->Texture(), m_pResidual->Texture()})) {
        w.p->ReleaseTarget();
        Refuse("CgSolver::SolveTo", "the driver cannot allocate a scratch texture; the step is not taken");
        return;
    }
    w.p->CommitTarget();
}
