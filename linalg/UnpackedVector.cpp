#include "linalg/UnpackedVector.h"

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/KernelSupport.h"

int UnpackedVector::s_iUnpackedInstances = 0;
ShaderProgram* UnpackedVector::s_pMulShiftedProgram = nullptr;
ShaderProgram* UnpackedVector::s_pMulShiftedAddProgram = nullptr;
ShaderProgram* UnpackedVector::s_pMulProgram = nullptr;
ShaderProgram* UnpackedVector::s_pMulAddProgram = nullptr;
GLint UnpackedVector::s_iMulShiftedScalarLocation = 0;
GLint UnpackedVector::s_iMulShiftedAddScalarLocation = 0;
GLint UnpackedVector::s_iMulScalarLocation = 0;
GLint UnpackedVector::s_iMulAddScalarLocation = 0;

UnpackedVector::UnpackedVector(int width, int height, int reserved) {
    if (width > g_iMaxTextureSize || height > g_iMaxTextureSize)
        CreateForGrid("UnpackedVector", width, height, reserved);
    else
        Create(width, height, reserved, GL_RGBA32F_ARB);
}

UnpackedVector::~UnpackedVector() {
    if (!IsCreated()) return;
    if (--s_iUnpackedInstances > 0) return;
    ReleaseSharedPrograms();
    kernel::Delete(s_pMulShiftedProgram);
    kernel::Delete(s_pMulShiftedAddProgram);
    kernel::Delete(s_pMulProgram);
    kernel::Delete(s_pMulAddProgram);
}

void UnpackedVector::CreatePrograms() {
    if (++s_iUnpackedInstances > 1) return;
    CreateSharedPrograms();
    s_pMulShiftedProgram =
        BuildDiagonalProgram(DiagonalProductSource(true, false), true, false, &s_iMulShiftedScalarLocation);
    s_pMulShiftedAddProgram =
        BuildDiagonalProgram(DiagonalProductSource(true, true), true, true, &s_iMulShiftedAddScalarLocation);
    s_pMulProgram = BuildDiagonalProgram(DiagonalProductSource(false, false), false, false, &s_iMulScalarLocation);
    s_pMulAddProgram =
        BuildDiagonalProgram(DiagonalProductSource(false, true), false, true, &s_iMulAddScalarLocation);
}

int UnpackedVector::Size() { return gridWidth > 0 ? gridWidth * gridHeight : width * height; }
int UnpackedVector::Width() { return gridWidth > 0 ? gridWidth : width; }
int UnpackedVector::Height() { return gridWidth > 0 ? gridHeight : height; }

// A luminance upload puts the value into red, green and blue, alpha 1.
void UnpackedVector::SetData(const float* values) {
    if (CheckUsable("UnpackedVector::SetData")) UploadElements(GL_LUMINANCE, values);
}

// Red alone: some GLs form luminance on read-back as R+G+B, and an uploaded
// texel holds the value in all three.
void UnpackedVector::GetData(float* values) {
    if (CheckUsable("UnpackedVector::GetData")) ReadElements(GL_RED, values);
}

void UnpackedVector::ReduceInto(int step, GLuint target) { ReduceFinal(step, target, false); }

float UnpackedVector::ReadReduced(GLuint texture) {
    float value = 0.0f;
    ReadTexels(texture, 1, 1, GL_RED, &value);
    return value;
}

void UnpackedVector::MulShiftedAdd(GpuVector* src, GpuVector* dst, float factor, int shift) {
    RunShiftedPass("UnpackedVector::MulShiftedAdd", src, dst, factor, shift, true);
}

void UnpackedVector::MulShifted(GpuVector* src, GpuVector* dst, float factor, int shift) {
    RunShiftedPass("UnpackedVector::MulShifted", src, dst, factor, shift, false);
}

void UnpackedVector::RunShiftedPass(const char* call, GpuVector* src, GpuVector* dst, float factor, int shift,
                                    bool accumulate) {
    const DiagonalProgram program =
        shift == 0 ? DiagonalProgram{accumulate ? s_pMulAddProgram : s_pMulProgram,
                                     accumulate ? s_iMulAddScalarLocation : s_iMulScalarLocation, false}
                   : DiagonalProgram{
                         accumulate ? s_pMulShiftedAddProgram : s_pMulShiftedProgram,
                         accumulate ? s_iMulShiftedAddScalarLocation : s_iMulShiftedScalarLocation, true};
    RunDiagonalProduct(call, src, dst, accumulate, program, shift, factor);
}
