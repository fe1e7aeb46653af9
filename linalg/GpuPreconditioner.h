#pragma once

/// \file
/// The interface every preconditioner of a tolerance solve implements.

class GpuVector;

/// A preconditioner M of a tolerance solve, applied once per iteration. The
/// iteration stays conjugate gradients, so M must be symmetric positive
/// definite; the identity needs no object (the solve uses r itself).
//
/// Apply also runs in iterations the GPU skips once the solve has stopped:
/// its draws then do nothing while its host-side bookkeeping (texture
/// exchanges) goes on. So nothing one Apply reads may have been drawn by an
/// earlier one: what it needs besides r it made when it was built.
class GpuPreconditioner {
public:
    virtual ~GpuPreconditioner() = default;  ///< Frees what the preconditioner made.
    /// z = M^-1 r for packed vectors r, z of the matrix's grid, z distinct from r, in GPU
    /// passes only (no read-back, no GL object made): M symmetric positive definite.
    virtual void Apply(GpuVector* r, GpuVector* z) = 0;
};
