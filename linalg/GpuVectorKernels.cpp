// The program set every vector layout shares, and the element-wise kernels.
// All kernels treat the four channels of a texel alike, so they serve both
// layouts unchanged.
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

// Each reduction fragment reads its texel (.xy), the partner to the right
// (.zy), above (.xw) and diagonally (.zw).
const char* const kReductionVertexSource = R"(uniform float g_fReduceStep;
void main(void)
{
gl_Position       = vec4( gl_Vertex.xy, 0.0, 1.0 );
gl_TexCoord[0]    = vec4( gl_MultiTexCoord0.xy, gl_MultiTexCoord0.xy + g_fReduceStep);
}
)";

const char* const kFinalVertexSource = R"(uniform vec2 g_f2ReduceStep;
void main(void)
{
gl_Position       = vec4( gl_Vertex.xy, 0.0, 1.0 );
gl_TexCoord[0]    = vec4( gl_MultiTexCoord0.xy, gl_MultiTexCoord0.xy + g_f2ReduceStep.xy);
}
)";

const char* const kReduceDotSource = R"(uniform sampler2D g_sVectorA;
uniform sampler2D g_sVectorB;
void main(void)
{
vec4 value1A = texture2D(g_sVectorA, gl_TexCoord[0].xy);
vec4 value2A = texture2D(g_sVectorA, gl_TexCoord[0].zy);
vec4 value3A = texture2D(g_sVectorA, gl_TexCoord[0].xw);
vec4 value4A = texture2D(g_sVectorA, gl_TexCoord[0].zw);
vec4 value1B = texture2D(g_sVectorB, gl_TexCoord[0].xy);
vec4 value2B = texture2D(g_sVectorB, gl_TexCoord[0].zy);
vec4 value3B = texture2D(g_sVectorB, gl_TexCoord[0].xw);
vec4 value4B = texture2D(g_sVectorB, gl_TexCoord[0].zw);
gl_FragColor = value1A*value1B+value2A*value2B+
value3A*value3B+value4A*value4B;
}
)";

const char* const kReduceSumSource = R"(uniform sampler2D g_sVector;
void main(void)
{
vec4 value1 = texture2D(g_sVector, gl_TexCoord[0].xy);
vec4 value2 = texture2D(g_sVector, gl_TexCoord[0].zy);
vec4 value3 = texture2D(g_sVector, gl_TexCoord[0].xw);
vec4 value4 = texture2D(g_sVector, gl_TexCoord[0].zw);
gl_FragColor = value1+value2+value3+value4;
}
)";

const char* const kReduceSumXSource = R"(uniform sampler2D g_sVector;
void main(void)
{
vec4 value1 = texture2D(g_sVector, gl_TexCoord[0].xy);
vec4 value2 = texture2D(g_sVector, gl_TexCoord[0].zy);
gl_FragColor = value1+value2;
}
)";

const char* const kReduceSumYSource = R"(uniform sampler2D g_sVector;
void main(void)
{
vec4 value1 = texture2D(g_sVector, gl_TexCoord[0].xy);
vec4 value2 = texture2D(g_sVector, gl_TexCoord[0].xw);
gl_FragColor = value1+value2;
}
)";

const char* const kFinalTotalSource = R"(uniform sampler2D g_sVector;
void main(void)
{
vec4 value1 = texture2D(g_sVector, gl_TexCoord[0].xy);
vec4 value2 = texture2D(g_sVector, gl_TexCoord[0].zy);
vec4 value3 = texture2D(g_sVector, gl_TexCoord[0].xw);
vec4 value4 = texture2D(g_sVector, gl_TexCoord[0].zw);
gl_FragColor = vec4(dot(vec4(1.0,1.0,1.0,1.0),value1+value2+value3+value4));
}
)";

// Element-wise product: the first pass of an inner product over a texture too
// small for the square folding pass that otherwise applies the product.
const char* const kElementProductSource = R"(uniform sampler2D g_sVectorA;
uniform sampler2D g_sVectorB;
void main(void)
{
gl_FragColor = texture2D(g_sVectorA, gl_TexCoord[0].xy)*texture2D(g_sVectorB, gl_TexCoord[0].xy);
}
)";

// Last pass for a texture one texel wide or high: there the partner in that
// direction would wrap onto the texel itself and count it twice.
const char* const kFinalPartialSource = R"(uniform sampler2D g_sVector;
uniform vec2 g_f2HasPartner;
uniform float g_fSumChannels;
void main(void)
{
vec4 sum = texture2D(g_sVector, gl_TexCoord[0].xy);
if (g_f2HasPartner.x > 0.5) sum += texture2D(g_sVector, gl_TexCoord[0].zy);
if (g_f2HasPartner.y > 0.5) sum += texture2D(g_sVector, gl_TexCoord[0].xw);
if (g_f2HasPartner.x > 0.5 && g_f2HasPartner.y > 0.5) sum += texture2D(g_sVector, gl_TexCoord[0].zw);
gl_FragColor = (g_fSumChannels > 0.5) ? vec4(dot(vec4(1.0,1.0,1.0,1.0),sum)) : sum;
}
)";

}  // namespace

ShaderProgram* GpuVector::s_pCopyProgram = nullptr;
ShaderProgram* GpuVector::s_pFillProgram = nullptr;
ShaderProgram* GpuVector::s_pVecScaleProgram = nullptr;
ShaderProgram* GpuVector::s_pVecCombineProgram = nullptr;
ShaderProgram* GpuVector::s_pMulAddGpuScalarProgram = nullptr;
ShaderProgram* GpuVector::s_pMulSubGpuScalarProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceDotProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceSumProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceSumXProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceSumYProgram = nullptr;
ShaderProgram* GpuVector::s_pFinalSumProgram = nullptr;
ShaderProgram* GpuVector::s_pFinalTotalProgram = nullptr;
ShaderProgram* GpuVector::s_pElementProductProgram = nullptr;
ShaderProgram* GpuVector::s_pFinalPartialProgram = nullptr;
GLint GpuVector::s_iFillLocation = 0;
GLint GpuVector::s_iVecScaleLocation = 0;
GLint GpuVector::s_iVecCombineLocation = 0;
GLint GpuVector::s_iMulAddGpuScalarLocation = 0;
GLint GpuVector::s_iMulSubGpuScalarLocation = 0;
GLint GpuVector::s_iReduceDotLocation = 0;
GLint GpuVector::s_iReduceSumLocation = 0;
GLint GpuVector::s_iReduceSumXLocation = 0;
GLint GpuVector::s_iReduceSumYLocation = 0;
GLint GpuVector::s_iFinalSumLocation = 0;
GLint GpuVector::s_iFinalTotalLocation = 0;
GLint GpuVector::s_iFinalPartialStepLocation = 0;
GLint GpuVector::s_iFinalPartialPartnerLocation = 0;
GLint GpuVector::s_iFinalPartialChannelsLocation = 0;
int GpuVector::s_iSharedProgramUsers = 0;

void GpuVector::CreateSharedPrograms() {
    if (++s_iSharedProgramUsers > 1) return;
    const char* const passThrough = kPassThroughVertexSource;
    s_pCopyProgram = kernel::Build(passThrough, kCopySource, {{"g_sOtherVec", 0}}, {});
    s_pFillProgram = kernel::Build(passThrough, kFillSource, {}, {{"g_fScalar", &s_iFillLocation}});
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
    s_pReduceDotProgram =
        kernel::Build(kReductionVertexSource, kReduceDotSource, {{"g_sVectorA", 0}, {"g_sVectorB", 1}},
                      {{"g_fReduceStep", &s_iReduceDotLocation}});
    s_pReduceSumProgram = kernel::Build(kReductionVertexSource, kReduceSumSource, {{"g_sVector", 0}},
                                        {{"g_fReduceStep", &s_iReduceSumLocation}});
    s_pReduceSumXProgram = kernel::Build(kReductionVertexSource, kReduceSumXSource, {{"g_sVector", 0}},
                                         {{"g_fReduceStep", &s_iReduceSumXLocation}});
    s_pReduceSumYProgram = kernel::Build(kReductionVertexSource, kReduceSumYSource, {{"g_sVector", 0}},
                                         {{"g_fReduceStep", &s_iReduceSumYLocation}});
    s_pFinalSumProgram = kernel::Build(kFinalVertexSource, kReduceSumSource, {{"g_sVector", 0}},
                                       {{"g_f2ReduceStep", &s_iFinalSumLocation}});
    s_pFinalTotalProgram = kernel::Build(kFinalVertexSource, kFinalTotalSource, {{"g_sVector", 0}},
                                         {{"g_f2ReduceStep", &s_iFinalTotalLocation}});
    s_pElementProductProgram =
        kernel::Build(passThrough, kElementProductSource, {{"g_sVectorA", 0}, {"g_sVectorB", 1}}, {});
    s_pFinalPartialProgram = kernel::Build(kFinalVertexSource, kFinalPartialSource, {{"g_sVector", 0}},
                                           {{"g_f2ReduceStep", &s_iFinalPartialStepLocation},
                                            {"g_f2HasPartner", &s_iFinalPartialPartnerLocation},
                                            {"g_fSumChannels", &s_iFinalPartialChannelsLocation}});
}

void GpuVector::ReleaseSharedPrograms() {
    if (--s_iSharedProgramUsers > 0) return;
    kernel::Delete(s_pCopyProgram);
    kernel::Delete(s_pFillProgram);
    kernel::Delete(s_pVecScaleProgram);
    kernel::Delete(s_pVecCombineProgram);
    kernel::Delete(s_pMulAddGpuScalarProgram);
    kernel::Delete(s_pMulSubGpuScalarProgram);
    kernel::Delete(s_pReduceDotProgram);
    kernel::Delete(s_pReduceSumProgram);
    kernel::Delete(s_pReduceSumXProgram);
    kernel::Delete(s_pReduceSumYProgram);
    kernel::Delete(s_pFinalSumProgram);
    kernel::Delete(s_pFinalTotalProgram);
    kernel::Delete(s_pElementProductProgram);
    kernel::Delete(s_pFinalPartialProgram);
}

// Fill and CopyFrom never read their destination: they render straight into
// the vector's own texture, with no exchange and no status test.
void GpuVector::Fill(float value) {
    AttachOwnTexture();
    s_pFillProgram->Bind();
    glUniform1f(s_iFillLocation, value);
    DrawFullScreenPass();
    s_pFillProgram->Unbind();
}

void GpuVector::CopyFrom(GpuVector* src) {
    AttachOwnTexture();
    s_pCopyProgram->Bind();
    BindTexture(GL_TEXTURE0, src->texture);
    DrawFullScreenPass();
    glBindTexture(GL_TEXTURE_2D, 0);
    s_pCopyProgram->Unbind();
}

void GpuVector::Scale(float s) {
    AttachRenderTarget();
    s_pVecScaleProgram->Bind();
    BindTexture(GL_TEXTURE0, texture);
    glUniform1f(s_iVecScaleLocation, s);
    DrawFullScreenPass();
    glBindTexture(GL_TEXTURE_2D, 0);
    s_pVecScaleProgram->Unbind();
    CommitTarget();
}

void GpuVector::Combine(GpuVector* b, GpuVector* dst, float alpha, float beta) {
    dst->AttachRenderTarget();
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
    RunMulScalarPass(b, dst, s, c, s_pMulAddGpuScalarProgram, s_iMulAddGpuScalarLocation);
}

void GpuVector::MulSubScalar(GpuVector* b, GpuVector* dst, float s, GpuScalar* c) {
    RunMulScalarPass(b, dst, s, c, s_pMulSubGpuScalarProgram, s_iMulSubGpuScalarLocation);
}

// The coefficient stays on the GPU: its 1x1 texture is sampled on unit 2, and
// repeat wrapping hands every fragment that one texel.
void GpuVector::RunMulScalarPass(GpuVector* b, GpuVector* dst, float s, GpuScalar* c, ShaderProgram* program,
                                 GLint location) {
    dst->AttachRenderTarget();
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

void GpuVector::RunDiagonalProduct(GpuVector* src, GpuVector* dst, bool accumulate,
                                   const DiagonalProgram& kernel, int shift, float factor) {
    dst->AttachRenderTarget();
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
