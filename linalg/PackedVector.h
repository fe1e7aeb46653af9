#pragma once

#include "linalg/GpuVector.h"

class UnpackedVector;

// Four consecutive elements in the red, green, blue and alpha channels of one
// texel: a W x H vector lives in a (W/2) x (H/2) texture, and every pass over
// it shades a quarter of the fragments the unpacked layout needs. Seen as a
// grid, each texel row holds two grid rows, the even one in its left half.
class PackedVector : public GpuVector {
public:
    // Logical size, even in both directions: another size cannot split into
    // whole texels and is refused (the vector is then unusable).
    PackedVector(int width, int height, int reserved);
    // Descriptor defaults only: the owner calls Create (band matrix diagonals).
    PackedVector() = default;
    ~PackedVector() override;

    using GpuVector::GetData;
    using GpuVector::SetData;
    int Size() override;
    int Width() override;
    int Height() override;
    void SetData(const float* values) override;  // 4*tw*th floats in element order
    void GetData(float* values) override;        // needs the framework framebuffer bound
    void CreatePrograms() override;
    void ReduceInto(int step, GLuint target) override;
    float ReadReduced(GLuint texture) override;
    int ValuesPerTexel() const override { return 4; }

    // dst = dst + this (.) shift(src) * factor, with shift(src)[n] =
    // src[(n + 4*shift + rotation) mod Size()]: an element offset d is
    // rotation = d mod 4 and shift = (d - rotation) / 4. A rotation outside
    // 0..3 does nothing.
    virtual void MulShiftedAdd(GpuVector* src, GpuVector* dst, float factor, int shift, int rotation);
    virtual void MulShifted(GpuVector* src, GpuVector* dst, float factor, int shift, int rotation);

    // src must have this vector's logical size.
    void PackFrom(UnpackedVector* src);
    // dst receives one element per texel in red, with green, blue, alpha 0.
    void UnpackInto(UnpackedVector* dst);

    static int Instances() { return s_iPackedInstances; }

private:
    bool CheckGridOf(const char* call, UnpackedVector* other);
    static std::string ShiftedProductSource(int rotation, bool accumulate);
    void RunShiftedPass(const char* call, GpuVector* src, GpuVector* dst, float factor, int shift, int rotation,
                        bool accumulate);

    static constexpr int kRotations = 4;
    static int s_iPackedInstances;
    static ShaderProgram* s_pPackProgram;
    static ShaderProgram* s_pUnpackProgram;
    static ShaderProgram* s_apMulShiftedProgram[kRotations];
    static ShaderProgram* s_apMulShiftedAddProgram[kRotations];
    static ShaderProgram* s_pMulProgram;
    static ShaderProgram* s_pMulAddProgram;
    static GLint s_iPackScalar4Location;
    static GLint s_iUnpackScalar4Location;
    static GLint s_aiMulShiftedScalarLocation[kRotations];
    static GLint s_aiMulShiftedAddScalarLocation[kRotations];
    static GLint s_iMulScalarLocation;
    static GLint s_iMulAddScalarLocation;
};
