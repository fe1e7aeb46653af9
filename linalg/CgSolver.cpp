#include "linalg/CgSolver.h"

#include <cstdio>
#include <string>
#include <utility>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/BandMatrix.h"
#include "linalg/GpuScalar.h"
#include "linalg/JacobiPreconditioner.h"
#include "linalg/KernelSupport.h"
#include "linalg/MultigridPreconditioner.h"
#include "linalg/PackedVector.h"
#include "linalg/ToleranceSolve.h"
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
int CgSolver::s_iSolverInstances = 0;

void CgSolver::CreatePrograms() {
    if (s_iSolverInstances++ > 0) return;
    s_pFiniteStartProgram = kernel::Build(kPassThroughVertexSource, kFiniteStartSource, {{"g_sVector", 0}}, {});
    // A driver with one draw buffer updates x and r in two passes instead.
    if (kernel::TwoRenderTargets())
        s_pUpdateProgram = kernel::Build(kPassThroughVertexSource, kUpdateSource,
                                         {{"g_sX", 0}, {"g_sP", 1}, {"g_sR", 2}, {"g_sQ", 3}, {"g_sAlpha", 4}}, {});
}

void CgSolver::ReleasePrograms() {
    if (--s_iSolverInstances > 0) return;
    kernel::Delete(s_pFiniteStartProgram);
    kernel::Delete(s_pUpdateProgram);
}

CgSolver::CgSolver(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout)
    : m_pMatrix(matrix),
      m_pX(x),
      m_pB(b),
      m_iWidth(b != nullptr ? b->Width() : 0),
      m_iHeight(b != nullptr ? b->Height() : 0),
      m_refusal(RefusalFor(matrix, x, b, layout)) {
    if (!m_refusal.empty()) {
        Refuse("CgSolver", "%s; every solve will be refused", m_refusal.c_str());
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

// Two unique_ptrs holding one vector as x and b would free it twice: one of
// them lets go first.
std::unique_ptr<CgSolver> CgSolver::Create(std::unique_ptr<BandMatrix> matrix, std::unique_ptr<GpuVector> x,
                                           std::unique_ptr<GpuVector> b) {
    const char* const call = "CgSolver::Create";
    if (x != nullptr && x == b) {
        b.release();
        Refuse(call, "x and b are the same vector; no solver made");
        return nullptr;
    }
    const std::string refusal = RefusalFor(matrix.get(), x.get(), b.get(), 0);
    if (!refusal.empty()) {
        Refuse(call, "%s; no solver made", refusal.c_str());
        return nullptr;
    }
    return std::unique_ptr<CgSolver>(new CgSolver(matrix.release(), x.release(), b.release(), 0));
}

// The band products address their operands in the packed layout; anything
// else would silently compute a wrong answer.
std::string CgSolver::RefusalFor(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout) {
    if (matrix == nullptr || x == nullptr || b == nullptr) return "the matrix, x or b is null";
    if (x == b) return "x and b are the same vector";
    if (!matrix->IsUsable()) return "the matrix's grid cannot hold packed diagonals";
    if (layout != 0 || dynamic_cast<PackedVector*>(x) == nullptr || dynamic_cast<PackedVector*>(b) == nullptr)
        return "band matrix products need packed vectors and working layout 0";
    if (!x->IsUsable() || !b->IsUsable()) return "x or b has no texture of the running framework";
    const int w = matrix->Width(), h = matrix->Height();
    if (x->Width() != w || x->Height() != h || b->Width() != w || b->Height() != h) {
        char sizes[160];
        std::snprintf(sizes, sizeof sizes, " (x %dx%d, b %dx%d, the matrix %dx%d)", x->Width(), x->Height(),
                      b->Width(), b->Height(), w, h);
        return std::string("x and b must have the matrix's grid size") + sizes;
    }
    return {};
}

// Owns what it was given, each object once, even when it refused to solve.
CgSolver::~CgSolver() {
    m_pToleranceSolve.reset();
    m_pPreconditioner.reset();
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
    if (m_refusal.empty()) ReleasePrograms();
}

bool CgSolver::CheckSolvable(const char* call) const {
    if (!m_refusal.empty()) return Refuse(call, "%s; nothing solved.", m_refusal.c_str());
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
    TextureDesc shape;
    m_pX->GetTextureDesc(&shape);
    const GLuint x = m_pX->AcquireTarget(), r = m_pR->AcquireTarget();
    if (!kernel::DrawIntoTwoTargets(s_pUpdateProgram, shape, x, r,
                                    {m_pX->Texture(), m_pP->Texture(), m_pR->Texture(), m_pQ->Texture(),
                                     m_pAlpha->Texture()})) {
        m_pX->ReleaseTarget();
        m_pR->ReleaseTarget();
        Refuse("CgSolver::Solve", "the driver cannot allocate a scratch texture; x and r keep this step's start");
        return;
    }
    m_pX->CommitTarget();
    m_pR->CommitTarget();
}

void CgSolver::DropNonFiniteStart() {
    if (!m_pX->AttachScratchTarget("CgSolver::Solve")) return;
    s_pFiniteStartProgram->Bind();
    kernel::BindTexture(GL_TEXTURE0, m_pX->Texture());
    GpuVector::DrawFullScreenPass();
    glBindTexture(GL_TEXTURE_2D, 0);
    s_pFiniteStartProgram->Unbind();
    m_pX->CommitTarget();
}

// Each preconditioner is a GpuPreconditioner that the tolerance solve applies
// as it is; a refused one leaves the previous choice.
bool CgSolver::SetPreconditioner(Preconditioner preconditioner) {
    const char* const call = "CgSolver::SetPreconditioner";
    if (!CheckSolvable(call)) return false;
    switch (preconditioner) {
        case Preconditioner::kNone:
            m_pPreconditioner.reset();
            return true;
        case Preconditioner::kJacobi: {
            auto jacobi = std::make_unique<JacobiPreconditioner>(m_pMatrix);
            if (!jacobi->IsUsable())
                return Refuse(call,
                              "Jacobi cannot use this matrix's diagonal; the previous preconditioner stays.");
            m_pPreconditioner = std::move(jacobi);
            return true;
        }
        case Preconditioner::kMultigrid: {
            auto multigrid = std::make_unique<MultigridPreconditioner>(m_pMatrix);
            if (!multigrid->IsUsable())
                return Refuse(call, "multigrid cannot use this matrix; the previous preconditioner stays.");
            m_pPreconditioner = std::move(multigrid);
            return true;
        }
    }
    return Refuse(call, "preconditioner %d is none this solver knows; the previous one stays.",
                  static_cast<int>(preconditioner));
}

CgWorkspace CgSolver::Workspace() const {
    return {m_pMatrix, m_pX, m_pB, m_pP, m_pQ, m_pR, m_pRho, m_pAlpha, m_pBeta, m_pPAp, m_pRhoNew};
}

SolveReport CgSolver::SolveTo(float tolerance, int maxIterations, ConvergenceCheck check) {
    const char* const call = "CgSolver::SolveTo";
    if (!CheckSolvable(call) || !ToleranceSolve::Accepts(call, tolerance, maxIterations)) return {};
    FrameworkFramebufferScope framebuffer;
    if (!m_pToleranceSolve) m_pToleranceSolve = std::make_unique<ToleranceSolve>(Workspace());
    return m_pToleranceSolve->Run(m_pPreconditioner.get(), tolerance, maxIterations, check);
}
