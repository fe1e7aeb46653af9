#include "linalg/GpuScalar.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"
#include "linalg/KernelSupport.h"

namespace {

const char* const kCombineSource = R"(uniform sampler2D g_sFloatA;
uniform sampler2D g_sFloatB;
uniform vec2 g_f2Scalar;
void main(void)
{
gl_FragColor = vec4(texture2D(g_sFloatA, gl_TexCoord[0].xy).r * g_f2Scalar.r + texture2D(g_sFloatB, gl_TexCoord[0].xy).r * g_f2Scalar.g);
}
)";

const char* const kProductSource = R"(uniform sampler2D g_sFloatA;
uniform sampler2D g_sFloatB;
uniform float     g_fScalar;
void main(void)
{
gl_FragColor = vec4(texture2D(g_sFloatA, gl_TexCoord[0].xy).r * texture2D(g_sFloatB, gl_TexCoord[0].xy).r * g_fScalar);
}
)";

const char* const kQuotientSource = R"(uniform sampler2D g_sFloatA;
uniform sampler2D g_sFloatB;
uniform float     g_fScalar;
void main(void)
{
gl_FragColor = vec4(g_fScalar * texture2D(g_sFloatA, gl_TexCoord[0].xy).r / texture2D(g_sFloatB, gl_TexCoord[0].xy).r);
}
)";

const char* const kSafeQuotientSource = R"(uniform sampler2D g_sFloatA;
uniform sampler2D g_sFloatB;
uniform float     g_fScalar;
void main(void)
{
float a = texture2D(g_sFloatA, gl_TexCoord[0].xy).r;
float b = texture2D(g_sFloatB, gl_TexCoord[0].xy).r;
gl_FragColor = vec4((b != 0.0) ? g_fScalar * a/b : 0.0);
}
)";

const char* const kReciprocalSource = R"(uniform sampler2D g_sFloat;
uniform float     g_fScalar;
void main(void)
{
gl_FragColor = vec4(g_fScalar/texture2D(g_sFloat, gl_TexCoord[0].xy).r);
}
)";

const char* const kAddSource = R"(uniform sampler2D g_sFloat;
uniform float     g_fScalar;
void main(void)
{
gl_FragColor = vec4(texture2D(g_sFloat, gl_TexCoord[0].xy).r + g_fScalar);
}
)";

const char* const kScaleSource = R"(uniform sampler2D g_sFloat;
uniform float     g_fScalar;
void main(void)
{
gl_FragColor = vec4(texture2D(g_sFloat, gl_TexCoord[0].xy).r * g_fScalar);
}
)";

TextureDesc ScalarDesc() {
    TextureDesc desc;
    desc.width = 1;
    desc.height = 1;
    desc.internalFormat = GL_RGBA32F_ARB;
    desc.target = GL_TEXTURE_2D;
    return desc;
}

ShaderProgram* BuildPairKernel(const char* fragmentSource, const char* uniform, GLint* location) {
    return kernel::Build(kPassThroughVertexSource, fragmentSource, {{"g_sFloatA", 0}, {"g_sFloatB", 1}},
                         {{uniform, location}});
}

ShaderProgram* BuildUnaryKernel(const char* fragmentSource, GLint* location) {
    return kernel::Build(kPassThroughVertexSource, fragmentSource, {{"g_sFloat", 0}},
                         {{"g_fScalar", location}});
}

}  // namespace

ShaderProgram* GpuScalar::s_pCombineProgram = nullptr;
ShaderProgram* GpuScalar::s_pProductProgram = nullptr;
ShaderProgram* GpuScalar::s_pQuotientProgram = nullptr;
ShaderProgram* GpuScalar::s_pSafeQuotientProgram = nullptr;
ShaderProgram* GpuScalar::s_pReciprocalProgram = nullptr;
ShaderProgram* GpuScalar::s_pAddProgram = nullptr;
ShaderProgram* GpuScalar::s_pScaleProgram = nullptr;
GLint GpuScalar::s_iCombineLocation = 0;
GLint GpuScalar::s_iProductLocation = 0;
GLint GpuScalar::s_iQuotientLocation = 0;
GLint GpuScalar::s_iSafeQuotientLocation = 0;
GLint GpuScalar::s_iReciprocalLocation = 0;
GLint GpuScalar::s_iAddLocation = 0;
GLint GpuScalar::s_iScaleLocation = 0;
int GpuScalar::s_iScalarInstances = 0;

GpuScalar::GpuScalar() { Create(); }

GpuScalar::~GpuScalar() {
    if (ownSlot < 0) return;
    // A scalar that outlives the framework has nothing left to give back to.
    if (IsUsable()) g_resourcePool->ReturnTexture(ownSlot, texture);
    ReleaseSharedPrograms();
}

void GpuScalar::Create() {
    if (ownSlot >= 0) {
        Refuse("GpuScalar::Create", "the scalar already holds a texture");
        return;
    }
    if (FrameworkGeneration() == 0) {
        Refuse("GpuScalar::Create", "the framework is not initialised (call InitFramework first)");
        return;
    }
    tempSlot = -1;
    tempTexture = 0;
    ownSlot = g_resourcePool->AcquireTexture(ScalarDesc(), texture);
    if (ownSlot < 0) {
        Refuse("GpuScalar::Create", "the driver cannot allocate a 1x1 texture");
        return;
    }
    generation = FrameworkGeneration();
    CreateSharedPrograms();
}

bool GpuScalar::IsUsable() const { return ownSlot >= 0 && generation == FrameworkGeneration(); }

bool GpuScalar::CheckOperands(const char* call, const GpuScalar* b, const GpuScalar* dst) const {
    if (!IsUsable()) return Refuse(call, "the scalar has no texture of the running framework");
    if (dst == nullptr || !dst->IsUsable() || (b != nullptr && !b->IsUsable()))
        return Refuse(call, "an operand is null or has no texture of the running framework");
    return true;
}

void GpuScalar::CreateSharedPrograms() {
    if (s_iScalarInstances++ > 0) return;
    s_pCombineProgram = BuildPairKernel(kCombineSource, "g_f2Scalar", &s_iCombineLocation);
    s_pProductProgram = BuildPairKernel(kProductSource, "g_fScalar", &s_iProductLocation);
    s_pQuotientProgram = BuildPairKernel(kQuotientSource, "g_fScalar", &s_iQuotientLocation);
    s_pSafeQuotientProgram = BuildPairKernel(kSafeQuotientSource, "g_fScalar", &s_iSafeQuotientLocation);
    s_pReciprocalProgram = BuildUnaryKernel(kReciprocalSource, &s_iReciprocalLocation);
    s_pAddProgram = BuildUnaryKernel(kAddSource, &s_iAddLocation);
    s_pScaleProgram = BuildUnaryKernel(kScaleSource, &s_iScaleLocation);
}

void GpuScalar::ReleaseSharedPrograms() {
    if (--s_iScalarInstances > 0) return;
    kernel::Delete(s_pCombineProgram);
    kernel::Delete(s_pProductProgram);
    kernel::Delete(s_pQuotientProgram);
    kernel::Delete(s_pSafeQuotientProgram);
    kernel::Delete(s_pReciprocalProgram);
    kernel::Delete(s_pAddProgram);
    kernel::Delete(s_pScaleProgram);
}

void GpuScalar::SetValue(float v) {
    if (!CheckOperands("GpuScalar::SetValue", nullptr, this)) return;
    kernel::BindTexture(GL_TEXTURE0, texture);
    UploadFloatTexels(GL_TEXTURE_2D, GL_RGBA32F_ARB, 1, 1, GL_LUMINANCE, &v);
    glBindTexture(GL_TEXTURE_2D, 0);
}

// The value sits in red (and in every channel after a kernel); red is read on
// its own because some GLs form luminance on read-back as R+G+B.
void GpuScalar::ReadValue(float* out) {
    if (out == nullptr) {
        Refuse("GpuScalar::ReadValue", "the destination is null");
        return;
    }
    if (!CheckOperands("GpuScalar::ReadValue", nullptr, this)) {
        *out = std::numeric_limits<float>::quiet_NaN();
        return;
    }
    FrameworkFramebufferScope framebuffer;
    AttachPassTarget(texture);
    ReadFloatPixels(0, 0, 1, 1, GL_RED, out);
}

float GpuScalar::GetValue() {
    float value = 0.0f;
    ReadValue(&value);
    return value;
}

char* GpuScalar::ToString() {
    float value = 0.0f;
    ReadValue(&value);
    // "%g" needs at most 14 characters for any float, NaN and infinities included.
    constexpr size_t kBufferSize = 20;
    char* text = static_cast<char*>(std::malloc(kBufferSize));
    std::snprintf(text, kBufferSize, "%g", static_cast<double>(value));
    return text;
}

bool GpuScalar::PrepareTarget() {
    tempSlot = g_resourcePool->AcquireTexture(ScalarDesc(), tempTexture);
    if (tempSlot < 0) return false;
    glViewport(0, 0, 1, 1);
    AttachPassTarget(tempTexture);
    return true;
}

void GpuScalar::CommitTarget() {
    if (tempSlot < 0) return;
    const GLuint old = texture;
    texture = tempTexture;
    g_resourcePool->ReturnTexture(tempSlot, old);
    tempSlot = -1;
}

// One fragment into a fresh target, then the swap: operands stay readable
// even when one of them is the destination.
void GpuScalar::RunPass(const char* call, GpuScalar* b, GpuScalar* dst, ShaderProgram* program,
                        const PassUniform& uniform) {
    if (!CheckOperands(call, b, dst)) return;
    FrameworkFramebufferScope framebuffer;
    if (!dst->PrepareTarget()) {
        Refuse(call, "the driver cannot allocate the 1x1 texture of the result; nothing computed");
        return;
    }
    program->Bind();
    kernel::BindTexture(GL_TEXTURE0, texture);
    if (b != nullptr) kernel::BindTexture(GL_TEXTURE1, b->texture);
    if (uniform.components == 2)
        glUniform2f(uniform.location, uniform.x, uniform.y);
    else
        glUniform1f(uniform.location, uniform.x);
    kernel::DrawSingleFragment();
    program->Unbind();
    dst->CommitTarget();
}

void GpuScalar::RunUnaryPass(const char* call, GpuScalar* dst, float value, GLint location,
                             ShaderProgram* program) {
    RunPass(call, nullptr, dst, program, {location, 1, value, 0.0f});
}

// A missing second operand is refused here: the pass would read unit 1 as it is.
void GpuScalar::RunPairPass(const char* call, GpuScalar* b, GpuScalar* dst, float value, GLint location,
                            ShaderProgram* program) {
    if (b == nullptr) {
        Refuse(call, "the second operand is null");
        return;
    }
    RunPass(call, b, dst, program, {location, 1, value, 0.0f});
}

void GpuScalar::RunPairPassVec2(const char* call, GpuScalar* b, GpuScalar* dst, float x, float y,
                                GLint location, ShaderProgram* program) {
    if (b == nullptr) {
        Refuse(call, "the second operand is null");
        return;
    }
    RunPass(call, b, dst, program, {location, 2, x, y});
}

void GpuScalar::AddValue(float s, GpuScalar* dst) { RunUnaryPass("GpuScalar::AddValue", dst, s, s_iAddLocation, s_pAddProgram); }

void GpuScalar::Combine(GpuScalar* b, GpuScalar* dst, float alpha, float beta) {
    RunPairPassVec2("GpuScalar::Combine", b, dst, alpha, beta, s_iCombineLocation, s_pCombineProgram);
}

void GpuScalar::AddValueInPlace(float s) { AddValue(s, this); }

void GpuScalar::CombineInPlace(GpuScalar* b, float alpha, float beta) { Combine(b, this, alpha, beta); }

void GpuScalar::MulValue(float s, GpuScalar* dst) { RunUnaryPass("GpuScalar::MulValue", dst, s, s_iScaleLocation, s_pScaleProgram); }

void GpuScalar::Multiply(GpuScalar* b, GpuScalar* dst, float s) {
    RunPairPass("GpuScalar::Multiply", b, dst, s, s_iProductLocation, s_pProductProgram);
}

void GpuScalar::MulValueInPlace(float s) { MulValue(s, this); }

void GpuScalar::MultiplyInPlace(GpuScalar* b, float s) { Multiply(b, this, s); }

void GpuScalar::SubtractFromInPlace(float s, GpuScalar* b) { CombineInPlace(b, -s, 1.0f); }

void GpuScalar::CombineSub(GpuScalar* b, GpuScalar* dst, float alpha, float beta) {
    Combine(b, dst, alpha, -beta);
}

void GpuScalar::SubValueInPlace(float s) { AddValue(-s, this); }

void GpuScalar::CombineSubInPlace(GpuScalar* b, float alpha, float beta) { Combine(b, this, alpha, -beta); }

void GpuScalar::Divide(GpuScalar* b, GpuScalar* dst, float num, float den) {
    RunPairPass("GpuScalar::Divide", b, dst, num / den, s_iQuotientLocation, s_pQuotientProgram);
}

void GpuScalar::MultiplyDivideInPlace(float s, GpuScalar* b) { MultiplyInPlace(b, 1.0f / s); }

void GpuScalar::DivValueInPlace(float s) { MulValue(1.0f / s, this); }

void GpuScalar::DivideInPlace(GpuScalar* b, float num, float den) { Divide(b, this, num, den); }

void GpuScalar::Reciprocal(GpuScalar* dst, float num, float den) {
    RunUnaryPass("GpuScalar::Reciprocal", dst, num / den, s_iReciprocalLocation, s_pReciprocalProgram);
}

void GpuScalar::ReciprocalInPlace(float num, float den) { Reciprocal(this, num, den); }

void GpuScalar::SafeDivide(GpuScalar* b, GpuScalar* dst, float num, float den) {
    const float quotient = den == 0.0f ? 0.0f : num / den;
    RunPairPass("GpuScalar::SafeDivide", b, dst, quotient, s_iSafeQuotientLocation, s_pSafeQuotientProgram);
}
