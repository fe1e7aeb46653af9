#pragma once

class GpuVector;

class GpuPreconditioner {
public:
    virtual ~GpuPreconditioner() = default;
    // z = M^-1 r for packed vectors r, z of the matrix's grid, z distinct from r, in GPU
    // passes only (no read-back, no GL object made): M symmetric positive definite.
    virtual void Apply(GpuVector* r, GpuVector* z) = 0;
};
