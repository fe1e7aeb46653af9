#include "linalg/JacobiPreconditioner.h"

#include <cmath>
#include <vector>

#include "gpu/Framework.h"
#include "linalg/BandMatrix.h"
#include "linalg/PackedVector.h"

namespace {

constexpr const char* kCall = "JacobiPreconditioner";

// The main diagonal's entries; empty, after saying why, when there is no
// one diagonal to read.
std::vector<float> MainDiagonal(BandMatrix* matrix) {
    if (matrix == nullptr || !matrix->IsUsable()) {
        Refuse(kCall, "the matrix is null or its grid cannot hold packed diagonals");
        return {};
    }
    const int n = matrix->Width() * matrix->Height();
    int copies = 0;
    for (int index = 0; index < matrix->NumDiagonals(); ++index) copies += matrix->KeyAt(index) == n;
    if (copies != 1) {
        Refuse(kCall, copies == 0 ? "the matrix has no main diagonal (key %d)"
                                  : "the matrix stores its main diagonal (key %d) more than once", n);
        return {};
    }
    std::vector<float> values(static_cast<size_t>(n));
    if (!matrix->GetDiagonal(n)->GetData(values.data(), values.size())) return {};
    return values;
}

}  // namespace

JacobiPreconditioner::JacobiPreconditioner(BandMatrix* matrix) {
    const std::vector<float> diagonal = MainDiagonal(matrix);
    if (diagonal.empty()) return;
    std::vector<float> inverse(diagonal.size());
    for (size_t i = 0; i < diagonal.size(); ++i) {
        inverse[i] = static_cast<float>(1.0 / static_cast<double>(diagonal[i]));
        if (!(diagonal[i] > 0.0f) || !std::isfinite(diagonal[i]) || !std::isfinite(inverse[i])) {
            Refuse(kCall, "main diagonal entry %zu is %g; Jacobi needs every entry positive and finite", i,
                   static_cast<double>(diagonal[i]));
            return;
        }
    }
    m_pInverse = new PackedVector(matrix->Width(), matrix->Height(), 0);
    if (!m_pInverse->SetData(inverse.data(), inverse.size())) {
        delete m_pInverse;
        m_pInverse = nullptr;
    }
}

JacobiPreconditioner::~JacobiPreconditioner() { delete m_pInverse; }

void JacobiPreconditioner::Apply(GpuVector* r, GpuVector* z) {
    if (m_pInverse == nullptr) {
        Refuse("JacobiPreconditioner::Apply", "the preconditioner was refused; nothing applied");
        return;
    }
    m_pInverse->MulShifted(r, z, 1.0f, 0, 0);  // the unshifted diagonal product: z = D^-1 (.) r
}
