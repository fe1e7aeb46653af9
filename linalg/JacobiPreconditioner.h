#pragma once

#include "linalg/GpuPreconditioner.h"

class BandMatrix;
class GpuVector;
class PackedVector;

// The diagonal preconditioner of a band matrix: z = D^-1 r, D the matrix's
// main diagonal (key N). The reciprocals are formed once, in double on the host, from the
// diagonal as it is at construction: build a new preconditioner after
// changing the matrix.
//
// A positive definite matrix has a positive diagonal. A matrix that is
// unusable, has no main diagonal (or stores it twice), or holds an entry on
// it that is not positive and finite (or whose reciprocal is not) is refused
// with one line on standard error, and the preconditioner is unusable.
class JacobiPreconditioner : public GpuPreconditioner {
public:
    explicit JacobiPreconditioner(BandMatrix* matrix);
    ~JacobiPreconditioner() override;

    JacobiPreconditioner(const JacobiPreconditioner&) = delete;
    JacobiPreconditioner& operator=(const JacobiPreconditioner&) = delete;

    bool IsUsable() const { return m_pInverse != nullptr; }
    // z = D^-1 r in one pass; r and z are packed vectors of the matrix's grid
    // (z may be r).
    void Apply(GpuVector* r, GpuVector* z) override;

private:
    PackedVector* m_pInverse = nullptr;
};
