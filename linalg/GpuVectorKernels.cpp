// The program set every vector layout shares, and the element-wise kernels.
// All kernels treat the four channels of a texel alike, so they serve both
// layouts unchanged.
#include <string>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/GpuScalar.h"
#include "linalg/GpuVector.h"
#include "linalg/KernelSupport.h"

using kernel::BindTexture;

namespace {

const char* const kCopySource = R"(uniform sampler2D g_sOtherVec;
void main(void)
{
gl_FragColor = texture2D(g_sOtherVec, gl_TexCoord[0].xy);
}
)";

const char* const kFillSource = R"(uniform float g_fScalar;
void main(void)
{
gl_FragColor = vec4(g_fScalar);
}
)";

// Fill for a vector with padding, which must stay 0.
const char* const kFillValidSource = R"(uniform float g_fScalar;
void main(void)
{
vec4 valid = Valid(floor(gl_FragCoord.xy));
gl_FragColor = vec4(valid.r > 0.5 ? g_fScalar : 0.0, valid.g > 0.5 ? g_fScalar : 0.0,
                    valid.b > 0.5 ? g_fScalar : 0.0, valid.a > 0.5 ? g_fScalar : 0.0);
}
)";

const char* const kVecScaleSource = R"(uniform sampler2D g_sVec;
uniform float g_fScalar;
void main(void)
{
gl_FragColor = g_fScalar*texture2D(g_sVec, gl_TexCoord[0].xy);
}
)";

const char* const kVecCombineSource = R"(uniform sampler2D g_sVectorA;
uniform sampler2D g_sVectorB;
uniform vec2 g_f2Scalar;
void main(void)
{
gl_FragColor = g_f2Scalar.r*texture2D(g_sVectorA, gl_TexCoord[0].xy)+g_f2Scalar.g*texture2D(g_sVectorB, gl_TexCoord[0].xy);
}
)";

const char* const kMulAddGpuScalarSource = R"(uniform sampler2D g_sVectorA;
uniform sampler2D g_sVectorB;
uniform sampler2D g_sScalar;
uniform float g_fScalar;
void main(void)
{
gl_FragColor = g_fScalar*texture2D(g_sVectorA, gl_TexCoord[0].xy)+texture2D(g_sScalar, gl_TexCoord[0].xy).x*texture2D(g_sVectorB, gl_TexCoord[0].xy);
}
)";

const char* const kMulSubGpuScalarSource = R"(uniform sampler2D g_sVectorA;
uniform sampler2D g_sVectorB;
uniform sampler2D g_sScalar;
uniform float g_fScalar;
void main(void)
{
gl_FragColor = g_fScalar*texture2D(g_sVectorA, gl_TexCoord[0].xy)-texture2D(g_sScalar, gl_TexCoord[0].xy).x*texture2D(g_sVectorB, gl_TexCoord[0].xy);
}
)";

// A diagonal of a band matrix times a copy of a vector, unshifted or shifted by
// whole texels, optionally added to dst's values (ACCUMULATE). The shifted
// texel's coordinates: the column wraps within the row, the excess carries
// into the row, and rows past either end wrap through the repeat mode.
const char* const kDiagonalProductSource = R"(uniform sampler2D g_sVector;
uniform sampler2D g_sVector2;
#ifdef ACCUMULATE
uniform sampler2D g_sVector3;
#endif
#ifdef SHIFTED
uniform vec4 g_f4Scalar;
vec2 computeShiftedCoords(vec2 f2InCoords, float fShift, vec2 texSize)
{
float temp = f2InCoords.x*texSize.x+fShift;
vec2 f2ShiftCoords;
f2ShiftCoords.x = mod(temp, texSize.x);
f2ShiftCoords.y = f2InCoords.y*texSize.y+floor(temp/texSize.x);
return f2ShiftCoords;
}
#else
uniform float g_fScalar;
#endif
void main(void)
{
#ifdef SHIFTED
vec2 f2ShiftCoords = computeShiftedCoords(gl_TexCoord[0].xy, g_f4Scalar.z, g_f4Scalar.xy);
vec4 product = texture2D(g_sVector,gl_TexCoord[0].xy)*texture2D(g_sVector2,f2ShiftCoords/g_f4Scalar.xy)*g_f4Scalar.w;
#else
vec4 product = texture2D(g_sVector,gl_TexCoord[0].xy)*texture2D(g_sVector2,gl_TexCoord[0].xy)*g_fScalar;
#endif
#ifdef ACCUMULATE
product = texture2D(g_sVector3,gl_TexCoord[0].xy)+product;
#endif
gl_FragColor = product;
}
)";

}  // namespace

std::string GpuVector::DiagonalProductSource(bool shifted, bool accumulate) {
    return std::string(shifted ? "#define SHIFTED\n" : "") + (accumulate ? "#define ACCUMULATE\n" : "") +
           kDiagonalProductSource;
}

// A shifted kernel takes the texture size, the shift and the factor in
// g_f4Scalar, an unshifted one the factor alone in g_fScalar.
ShaderProgram* GpuVector::BuildDiagonalProgram(const std::string& source, bool shifted, bool accumulate,
                                               GLint* location) {
    const char* const uniform = shifted ? "g_f4Scalar" : "g_fScalar";
    if (accumulate)
        return kernel::Build(kPassThroughVertexSource, source.c_str(),
                             {{"g_sVector", 0}, {"g_sVector2", 1}, {"g_sVector3", 2}}, {{uniform, location}});
    return kernel::Build(kPassThroughVertexSource, source.c_str(), {{"g_sVector", 0}, {"g_sVector2", 1}},
                         {{uniform, location}});
}

ShaderProgram* GpuVector::s_pCopyProgram = nullptr;
ShaderProgram* GpuVector::s_pFillProgram = nullptr;
ShaderProgram* GpuVector::s_pFillValidProgram = nullptr;
ShaderProgram* GpuVector::s_pVecScaleProgram = nullptr;
ShaderProgram* GpuVector::s_pVecCombineProgram = nullptr;
ShaderProgram* GpuVector::s_pMulAddGpuScalarProgram = nullptr;
ShaderProgram* GpuVector::s_pMulSubGpuScalarProgram = nullptr;
GLint GpuVector::s_iFillLocation = 0;
GLint GpuVector::s_iFillValidLocation = 0;
GLint GpuVector::s_iFillValidRegionLocation = 0;
GLint GpuVector::s_iVecScaleLocation = 0;
GLint GpuVector::s_iVecCombineLocation = 0;
GLint GpuVector::s_iMulAddGpuScalarLocation = 0;
GLint GpuVector::s_iMulSubGpuScalarLocation = 0;
int GpuVector::s_iSharedProgramUsers = 0;

void GpuVector::CreateSharedPrograms() {
    if (++s_iSharedProgramUsers > 1) return;
    const char* const passThrough = kPassThroughVertexSource;
    s_pCopyProgram = kernel::Build(passThrough, kCopySource, {{"g_sOtherVec", 0}}, {});
    s_pFillProgram = kernel::Build(passThrough, kFillSource, {}, {{"g_fScalar", &s_iFillLocation}});
    s_pFillValidProgram = kernel::Build(passThrough, (std::string(kValidSource) + kFillValidSource).c_str(), {},
                                        {{"g_fScalar", &s_iFillValidLocation}, {"g_f4Valid", &s_iFillValidRegionLocation}});
    s_pVecScaleProgram =
        kernel::Build(passThrough, kVecScaleSource, {{"g_sVec", 0}}, {{"g_fScalar", &s_iVecScaleLocation}});
    s_pVecCombineProgram =
        kernel::Build(passThrough, kVecCombineSource, {{"g_sVectorA", 0}, {"g_sVectorB", 1}},
                      {{"g_f2Scalar", &s_iVecCombineLocation}});
    s_pMulAddGpuScalarProgram = kernel::Build(passThrough, kMulAddGpuScalarSource,
                                              {{"g_sVectorA", 0}, {"g_sVectorB", 1}, {"g_sScalar", 2}},
                                              {{"g_fScalar", &s_iMulAddGpuScalarLocation}});
    s_pMulSubGpuScalarProgram = kernel::Build(passThrough, kMulSubGpuScalarSource,
                                              {{"g_sVectorA", 0}, {"g_sVectorB", 1}, {"g_sScalar", 2}},
                                              {{"g_fScalar", &s_iMulSubGpuScalarLocation}});
    CreateReductionPrograms();
}

void GpuVector::ReleaseSharedPrograms() {
    if (--s_iSharedProgramUsers > 0) return;
    kernel::Delete(s_pCopyProgram);
    kernel::Delete(s_pFillProgram);
    kernel::Delete(s_pFillValidProgram);
    kernel::Delete(s_pVecScaleProgram);
    kernel::Delete(s_pVecCombineProgram);
    kernel::Delete(s_pMulAddGpuScalarProgram);
    kernel::Delete(s_pMulSubGpuScalarProgram);
    ReleaseReductionPrograms();
}

// Fill and CopyFrom never read their destination: they render straight into
// the vector's own texture, with no exchange and no status test.
void GpuVector::Fill(float value) {
    if (!CheckUsable("GpuVector::Fill")) return;
    FrameworkFramebufferScope framebuffer;
    AttachOwnTexture();
    const bool padded = HasPadding();
    ShaderProgram* const program = padded ? s_pFillValidProgram : s_pFillProgram;
    program->Bind();
    glUniform1f(padded ? s_iFillValidLocation : s_iFillLocation, value);
    if (padded) SetValid(s_iFillValidRegionLocation);
    DrawFullScreenPass();
    program->Unbind();
}

// A copy onto itself is already done; drawing it would read the target.
void GpuVector::CopyFrom(GpuVector* src) {
    if (!CheckMatches("GpuVector::CopyFrom", src) || src == this) return;
    FrameworkFramebufferScope framebuffer;
    AttachOwnTexture();
    s_pCopyProgram->Bind();
    BindTexture(GL_TEXTURE0, src->texture);
    DrawFullScreenPass();
    glBindTexture(GL_TEXTURE_2D, 0);
    s_pCopyProgram->Unbind();
}

void GpuVector::Scale(float s) {
    if (!CheckUsable("GpuVector::Scale")) return;
    FrameworkFramebufferScope framebuffer;
    if (!AttachScratchTarget("GpuVector::Scale")) return;
    s_pVecScaleProgram->Bind();
    BindTexture(GL_TEXTURE0, texture);
    glUniform1f(s_iVecScaleLocation, s);
    DrawFullScreenPass();
    glBindTexture(GL_TEXTURE_2D, 0);
    s_pVecScaleProgram->Unbind();
    CommitTarget();
}

void GpuVector::Combine(GpuVector* b, GpuVector* dst, float alpha, float beta) {
    if (!CheckMatches("GpuVector::Combine", b) || !CheckMatches("GpuVector::Combine", dst)) return;
    FrameworkFramebufferScope framebuffer;
    if (!dst->AttachScratchTarget("GpuVector::Combine")) return;
    s_pVecCombineProgram->Bind();
    BindTexture(GL_TEXTURE0, texture);
    BindTexture(GL_TEXTURE1, b->texture);
    glUniform2f(s_iVecCombineLocation, alpha, beta);
    DrawFullScreenPass();
    BindTexture(GL_TEXTURE1, 0);
    BindTexture(GL_TEXTURE0, 0);
    s_pVecCombineProgram->Unbind();
    dst->CommitTarget();
}

void GpuVector::CombineSub(GpuVector* b, GpuVector* dst, float alpha, float beta) {
    Combine(b, dst, alpha, -beta);
}

void GpuVector::CombineOp(int op, GpuVector* b, GpuVector* dst, float alpha, float beta) {
    if (op == 1)
        Combine(b, dst, alpha, beta);
    else if (op == 2)
        Combine(b, dst, alpha, -beta);
}

void GpuVector::MulAddScalar(GpuVector* b, GpuVector* dst, float s, GpuScalar* c) {
    RunMulScalarPass("GpuVector::MulAddScalar", b, dst, s, c, s_pMulAddGpuScalarProgram,
                     s_iMulAddGpuScalarLocation);
}

void GpuVector::MulSubScalar(GpuVector* b, GpuVector* dst, float s, GpuScalar* c) {
    RunMulScalarPass("GpuVector::MulSubScalar", b, dst, s, c, s_pMulSubGpuScalarProgram,
                     s_iMulSubGpuScalarLocation);
}

// The coefficient stays on the GPU: its 1x1 texture is sampled on unit 2, and
// repeat wrapping hands every fragment that one texel.
void GpuVector::RunMulScalarPass(const char* call, GpuVector* b, GpuVector* dst, float s, GpuScalar* c,
                                 ShaderProgram* program, GLint location) {
    if (!CheckMatches(call, b) || !CheckMatches(call, dst)) return;
    if (c == nullptr || !c->IsUsable()) {
        Refuse(call, "the coefficient is not a usable scalar");
        return;
    }
    FrameworkFramebufferScope framebuffer;
    if (!dst->AttachScratchTarget(call)) return;
    program->Bind();
    BindTexture(GL_TEXTURE0, texture);
    BindTexture(GL_TEXTURE1, b->texture);
    BindTexture(GL_TEXTURE2, c->Texture());
    glUniform1f(location, s);
    DrawFullScreenPass();
    BindTexture(GL_TEXTURE2, 0);
    BindTexture(GL_TEXTURE1, 0);
    BindTexture(GL_TEXTURE0, 0);
    program->Unbind();
    dst->CommitTarget();
}

void GpuVector::RunDiagonalProduct(const char* call, GpuVector* src, GpuVector* dst, bool accumulate,
                                   const DiagonalProgram& kernel, int shift, float factor) {
    if (!CheckMatches(call, src) || !CheckMatches(call, dst)) return;
    // Shifts wrap around the texture anyway; reduced here, any int stays
    // exact in the kernel's float arithmetic.
    shift = static_cast<int>(static_cast<long long>(shift) % (static_cast<long long>(width) * height));
    FrameworkFramebufferScope framebuffer;
    if (!dst->AttachScratchTarget(call)) return;
    BindTexture(GL_TEXTURE0, texture);
    BindTexture(GL_TEXTURE1, src->texture);
    if (accumulate) BindTexture(GL_TEXTURE2, dst->texture);
    kernel.program->Bind();
    if (kernel.shifted)
        glUniform4f(kernel.location, static_cast<float>(width), static_cast<float>(height),
                    static_cast<float>(shift), factor);
    else
        glUniform1f(kernel.location, factor);
    DrawFullScreenPass();
    kernel.program->Unbind();
    dst->CommitTarget();
}
