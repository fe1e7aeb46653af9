#include "linalg/CgSolver.h"

#include <cstdio>
#include <utility>

#include "linalg/BandMatrix.h"
#include "linalg/GpuScalar.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

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

CgSolver::CgSolver(BandMatrix* matrix, GpuVector* x, GpuVector* b, int layout)
    : m_pMatrix(matrix),
      m_pX(x),
      m_pB(b),
      m_iWidth(b->Width()),
      m_iHeight(b->Height()),
      // The band products address their operands in the packed layout;
      // anything else would silently compute a wrong answer.
      m_bPackedOperands(layout == 0 && dynamic_cast<PackedVector*>(x) != nullptr &&
                        dynamic_cast<PackedVector*>(b) != nullptr) {
    m_pP = MakeWorkingVector(layout, m_iWidth, m_iHeight);
    m_pQ = MakeWorkingVector(layout, m_iWidth, m_iHeight);
    m_pR = MakeWorkingVector(layout, m_iWidth, m_iHeight);
    m_pRho = MakeZeroScalar();
    m_pAlpha = MakeZeroScalar();
    m_pBeta = MakeZeroScalar();
    m_pPAp = MakeZeroScalar();
    m_pRhoNew = MakeZeroScalar();
}

CgSolver::~CgSolver() {
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
}

int CgSolver::Solve(int iterations) {
    if (!m_bPackedOperands) {
        std::printf(
            "CgSolver: band matrix products need packed vectors and working layout 0; nothing solved.\n");
        return 0;
    }
    m_pMatrix->MultiplyVector(2, m_pX, m_pB, m_pR);  // r = A x - b
    m_pR->Scale(-1.0f);                              // r = b - A x
    m_pP->CopyFrom(m_pR);
    m_pR->Dot(m_pR, m_pRho);
    if (iterations <= 0) return 0;
    for (int i = 0; i < iterations; ++i) Iterate();
    return iterations;
}

// Zero denominators give zero steps through SafeDivide, so once the residual
// vanishes further iterations leave x where it is.
void CgSolver::Iterate() {
    if (!m_bPackedOperands) return;
    m_pMatrix->MultiplyVector(0, m_pP, nullptr, m_pQ);  // q = A p
    m_pP->Dot(m_pQ, m_pPAp);
    m_pRho->SafeDivide(m_pPAp, m_pAlpha, 1.0f, 1.0f);  // alpha = rho / pAp
    m_pX->MulAddScalar(m_pP, m_pX, 1.0f, m_pAlpha);    // x += alpha p
    m_pR->MulSubScalar(m_pQ, m_pR, 1.0f, m_pAlpha);    // r -= alpha q
    m_pR->Dot(m_pR, m_pRhoNew);
    m_pRhoNew->SafeDivide(m_pRho, m_pBeta, 1.0f, 1.0f);  // beta = rhoNew / rho
    m_pR->MulAddScalar(m_pP, m_pP, 1.0f, m_pBeta);       // p = r + beta p
    std::swap(m_pRho, m_pRhoNew);
}
