#pragma once

/// \file
/// The unpacked layout: one value a texel.

#include "linalg/GpuVector.h"

/// One element per texel, value in red, row-major over a W x H texture.
class UnpackedVector : public GpuVector {
public:
    /// A grid with a side longer than a texture takes a near-square texture
    /// instead, the elements in the same row-major order and the texels past
    /// the last one held at 0: UnpackedVector(100000, 1) is a vector of that length.
    UnpackedVector(int width, int height, int reserved);
    /// Gives its share of the layout's programs back.
    ~UnpackedVector() override;

    using GpuVector::GetData;
    using GpuVector::SetData;
    int Size() override;
    int Width() override;
    int Height() override;
    void SetData(const float* values) override;  ///< W*H floats in element order
    void GetData(float* values) override;
    void CreatePrograms() override;
    void ReduceInto(int step, GLuint target) override;
    float ReadReduced(GLuint texture) override;

    /// dst = dst + this (.) shift(src) * factor, where shift(src)[n] is
    /// src[(n + shift) mod the texture's texels]: this vector acts as one diagonal of a band
    /// matrix. src and dst may be the same vector.
    virtual void MulShiftedAdd(GpuVector* src, GpuVector* dst, float factor, int shift);
    /// dst = this (.) shift(src) * factor
    virtual void MulShifted(GpuVector* src, GpuVector* dst, float factor, int shift);

    /// Live unpacked vectors sharing the layout's programs.
    static int Instances() { return s_iUnpackedInstances; }

protected:
    /// Descriptor defaults only; a derived class calls Create itself once it is
    /// fully constructed, so that Create reaches its CreatePrograms.
    UnpackedVector() = default;

private:
    void RunShiftedPass(const char* call, GpuVector* src, GpuVector* dst, float factor, int shift, bool accumulate);

    static int s_iUnpackedInstances;
    static ShaderProgram* s_pMulShiftedProgram;
    static ShaderProgram* s_pMulShiftedAddProgram;
    static ShaderProgram* s_pMulProgram;
    static ShaderProgram* s_pMulAddProgram;
    static GLint s_iMulShiftedScalarLocation;
    static GLint s_iMulShiftedAddScalarLocation;
    static GLint s_iMulScalarLocation;
    static GLint s_iMulAddScalarLocation;
};
