#pragma once

#include "linalg/GpuVector.h"

/// \file
/// The packed layout: four consecutive values a texel.

class UnpackedVector;

/// Four consecutive elements in the red, green, blue and alpha channels of one
/// texel: a W x H vector lives in a (W/2) x (H/2) texture, and every pass over
/// it shades a quarter of the fragments the unpacked layout needs. Seen as a
/// grid, each texel row holds two grid rows, the even one in its left half.
class PackedVector : public GpuVector {
public:
    /// Logical size. An even grid takes a (W/2) x (H/2) texture, each texel row
    /// holding two grid rows; any other (odd sides, or halves wider than a
    /// texture) a texture the layout chooses, the elements in the same
    /// row-major texel order and the channels past the last one ("padding")
    /// held at 0. A grid no texture holds is refused (the vector is unusable).
    PackedVector(int width, int height, int reserved);
    /// Descriptor defaults only: the owner calls Create or CreateGrid (band
    /// matrix diagonals).
    PackedVector();
    /// What the sized constructor does, for a vector made by the default one.
    bool CreateGrid(int width, int height, int reserved);
    /// Gives its share of the layout's programs back.
    ~PackedVector() override;

    using GpuVector::GetData;
    using GpuVector::SetData;
    int Size() override;
    int Width() override;
    int Height() override;
    void SetData(const float* values) override;  ///< Size() floats in element order
    void GetData(float* values) override;
    void CreatePrograms() override;
    void ReduceInto(int step, GLuint target) override;
    float ReadReduced(GLuint texture) override;

    /// dst = dst + this (.) shift(src) * factor, with shift(src)[n] =
    /// src[(n + 4*shift + rotation) mod 4*tw*th] (Size() but for padding): an element offset d is
    /// rotation = d mod 4 and shift = (d - rotation) / 4. A rotation outside
    /// 0..3 does nothing.
    virtual void MulShiftedAdd(GpuVector* src, GpuVector* dst, float factor, int shift, int rotation);
    /// dst = this (.) shift(src) * factor, shift(src) as for MulShiftedAdd.
    virtual void MulShifted(GpuVector* src, GpuVector* dst, float factor, int shift, int rotation);

    /// this = src, packed. src must have this vector's logical size. Grids laid
    /// out in a texture of their own choosing convert up to 2^24 elements.
    void PackFrom(UnpackedVector* src);
    /// dst = this, unpacked, under the same conditions as PackFrom.
    /// dst receives one element per texel in red, with green, blue, alpha 0.
    void UnpackInto(UnpackedVector* dst);

    /// Live packed vectors sharing the layout's programs.
    static int Instances() { return s_iPackedInstances; }

private:
    bool CheckGridOf(const char* call, UnpackedVector* other);
    bool BothGridShaped(UnpackedVector* other) const;
    static std::string ShiftedProductSource(int rotation, bool accumulate);
    void RunShiftedPass(const char* call, GpuVector* src, GpuVector* dst, float factor, int shift, int rotation,
                        bool accumulate);

    static constexpr int kRotations = 4;
    static int s_iPackedInstances;
    static ShaderProgram* s_pPackProgram;
    static ShaderProgram* s_pUnpackProgram;
    static ShaderProgram* s_pPackAnyProgram;
    static ShaderProgram* s_pUnpackAnyProgram;
    static ShaderProgram* s_apMulShiftedProgram[kRotations];
    static ShaderProgram* s_apMulShiftedAddProgram[kRotations];
    static ShaderProgram* s_pMulProgram;
    static ShaderProgram* s_pMulAddProgram;
    static GLint s_iPackScalar2Location;
    static GLint s_iPackScalar4Location;
    static GLint s_iUnpackScalar2Location;
    static GLint s_iPackAnyScalar2Location;
    static GLint s_iPackAnyElementsLocation;
    static GLint s_iUnpackAnyScalar2Location;
    static GLint s_iUnpackAnyElementsLocation;
    static GLint s_aiMulShiftedScalarLocation[kRotations];
    static GLint s_aiMulShiftedAddScalarLocation[kRotations];
    static GLint s_iMulScalarLocation;
    static GLint s_iMulAddScalarLocation;
};
