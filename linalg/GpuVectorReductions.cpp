// Sums and inner products folded on the GPU. Sum, Dot and their Value forms
// fold blocks of kFoldBlock x kFoldBlock texels into one per pass, for any
// texture size, ping-ponging between two pooled scratch textures of the
// vector's size until one texel is left. The pass-by-pass steps of the halving
// fold (ReduceSquare, ReduceX, ReduceY, ReduceFinal) stay for callers that
// drive a reduction themselves; they are exact for power-of-two sides.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
#include "gpu/ShaderProgram.h"
#include "linalg/GpuScalar.h"
#include "linalg/GpuVector.h"
#include "linalg/KernelSupport.h"

using kernel::BindTexture;
using kernel::DrawSingleFragment;

namespace {

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

// Any texture size: each fragment adds the kFoldBlock x kFoldBlock block of the
// region it stands for, skipping texels past the region's edge, which hold
// stale partial sums. gl_FragCoord names the output texel exactly.
const char* const kFoldSource = R"(uniform sampler2D g_sVectorA;
uniform vec4 g_f4Region;
uniform float g_fSumChannels;
void main(void)
{
vec2 base = floor(gl_FragCoord.xy) * FOLD_BLOCK;
vec4 sum = vec4(0.0);
for (int j = 0; j < FOLD_BLOCK_INT; ++j)
for (int i = 0; i < FOLD_BLOCK_INT; ++i) {
vec2 texel = base + vec2(float(i), float(j));
if (texel.x < g_f4Region.x && texel.y < g_f4Region.y) sum += SAMPLE((texel + 0.5) * g_f4Region.zw);
}
gl_FragColor = (g_fSumChannels > 0.5) ? vec4(dot(vec4(1.0), sum)) : sum;
}
)";

constexpr int kFoldBlock = 4;

enum class FoldInput { kValues, kProducts, kSquares };

// The first pass of an inner product multiplies as it samples; a vector's
// product with itself reads each texel once.
std::string FoldSource(FoldInput input) {
    const std::string block = std::to_string(kFoldBlock);
    std::string source = "#define FOLD_BLOCK " + block + ".0\n#define FOLD_BLOCK_INT " + block + "\n";
    switch (input) {
        case FoldInput::kValues: source += "#define SAMPLE(c) texture2D(g_sVectorA, c)\n"; break;
        case FoldInput::kProducts:
            source += "uniform sampler2D g_sVectorB;\n"
                      "#define SAMPLE(c) (texture2D(g_sVectorA, c) * texture2D(g_sVectorB, c))\n";
            break;
        case FoldInput::kSquares:
            source += "vec4 square(vec4 v) { return v * v; }\n"
                      "#define SAMPLE(c) square(texture2D(g_sVectorA, c))\n";
            break;
    }
    return source + kFoldSource;
}

int CeilDiv(int value, int divisor) { return (value + divisor - 1) / divisor; }


void DrawQuad(const ReductionQuad& quad) {
    const ReductionQuad::Vertex* v = quad.vertices;
    DrawTexturedQuad({{v[0].x, v[0].y, v[0].s, v[0].t}, {v[1].x, v[1].y, v[1].s, v[1].t},
                      {v[2].x, v[2].y, v[2].s, v[2].t}, {v[3].x, v[3].y, v[3].s, v[3].t}});
}

void HalveX(ReductionQuad::Vertex& vertex) {
    vertex.x = (vertex.x + 1.0f) * 0.5f - 1.0f;
    vertex.s *= 0.5f;
}

void HalveY(ReductionQuad::Vertex& vertex) {
    vertex.y = (vertex.y + 1.0f) * 0.5f - 1.0f;
    vertex.t *= 0.5f;
}

enum { kLowerLeft, kLowerRight, kUpperRight, kUpperLeft };

}  // namespace

ShaderProgram* GpuVector::s_pReduceDotProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceSumProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceSumXProgram = nullptr;
ShaderProgram* GpuVector::s_pReduceSumYProgram = nullptr;
ShaderProgram* GpuVector::s_pFinalSumProgram = nullptr;
ShaderProgram* GpuVector::s_pFinalTotalProgram = nullptr;
ShaderProgram* GpuVector::s_pElementProductProgram = nullptr;
ShaderProgram* GpuVector::s_pFinalPartialProgram = nullptr;
GpuVector::FoldProgram GpuVector::s_foldSum;
GpuVector::FoldProgram GpuVector::s_foldDot;
GpuVector::FoldProgram GpuVector::s_foldSquare;
GLint GpuVector::s_iReduceDotLocation = 0;
GLint GpuVector::s_iReduceSumLocation = 0;
GLint GpuVector::s_iReduceSumXLocation = 0;
GLint GpuVector::s_iReduceSumYLocation = 0;
GLint GpuVector::s_iFinalSumLocation = 0;
GLint GpuVector::s_iFinalTotalLocation = 0;
GLint GpuVector::s_iFinalPartialStepLocation = 0;
GLint GpuVector::s_iFinalPartialPartnerLocation = 0;
GLint GpuVector::s_iFinalPartialChannelsLocation = 0;

void GpuVector::CreateReductionPrograms() {
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
    s_pElementProductProgram = kernel::Build(kPassThroughVertexSource, kElementProductSource,
                                             {{"g_sVectorA", 0}, {"g_sVectorB", 1}}, {});
    s_pFinalPartialProgram = kernel::Build(kFinalVertexSource, kFinalPartialSource, {{"g_sVector", 0}},
                                           {{"g_f2ReduceStep", &s_iFinalPartialStepLocation},
                                            {"g_f2HasPartner", &s_iFinalPartialPartnerLocation},
                                            {"g_fSumChannels", &s_iFinalPartialChannelsLocation}});
    const auto buildFold = [](FoldInput input, FoldProgram& fold) {
        fold.program = kernel::Build(kPassThroughVertexSource, FoldSource(input).c_str(),
                                     {{"g_sVectorA", 0}, {"g_sVectorB", 1}},
                                     {{"g_f4Region", &fold.region}, {"g_fSumChannels", &fold.sumChannels}});
    };
    buildFold(FoldInput::kValues, s_foldSum);
    buildFold(FoldInput::kProducts, s_foldDot);
    buildFold(FoldInput::kSquares, s_foldSquare);
}

void GpuVector::ReleaseReductionPrograms() {
    kernel::Delete(s_pReduceDotProgram);
    kernel::Delete(s_pReduceSumProgram);
    kernel::Delete(s_pReduceSumXProgram);
    kernel::Delete(s_pReduceSumYProgram);
    kernel::Delete(s_pFinalSumProgram);
    kernel::Delete(s_pFinalTotalProgram);
    kernel::Delete(s_pElementProductProgram);
    kernel::Delete(s_pFinalPartialProgram);
    kernel::Delete(s_foldSum.program);
    kernel::Delete(s_foldDot.program);
    kernel::Delete(s_foldSquare.program);
}

void GpuVector::AcquireReductionTextures() {
    tempSlot[0] = g_resourcePool->AcquireTexture(Desc(), tempTexture[0]);
    tempSlot[1] = g_resourcePool->AcquireTexture(Desc(), tempTexture[1]);
}

void GpuVector::ReleaseReductionTextures() {
    if (tempSlot[0] >= 0) g_resourcePool->ReleaseTexture(tempSlot[0]);
    if (tempSlot[1] >= 0) g_resourcePool->ReleaseTexture(tempSlot[1]);
}

bool GpuVector::CheckReductionOperands(const char* call, GpuVector* other, GpuScalar* result) {
    if (other != nullptr ? !CheckMatches(call, other) : !CheckUsable(call)) return false;
    if (result == nullptr || !result->IsUsable()) return Refuse(call, "the result is not a usable scalar");
    return true;
}

// Takes the two scratch textures and binds the operands: false, after
// refusing in call's name with nothing held, when the pool has none.
bool GpuVector::ReduceWith(const char* call, GpuVector* other) {
    AcquireReductionTextures();
    if (tempSlot[0] < 0 || tempSlot[1] < 0) {
        ReleaseReductionTextures();
        return Refuse(call, "the driver cannot allocate the reduction's %dx%d scratch textures; nothing computed",
                      width, height);
    }
    BindTexture(GL_TEXTURE0, texture);
    if (other != nullptr && other != this) BindTexture(GL_TEXTURE1, other->texture);
    return true;
}

void GpuVector::EndReduction(GpuVector* other) {
    pendingFold = PendingFold();
    if (other != nullptr && other != this) BindTexture(GL_TEXTURE1, 0);
    BindTexture(GL_TEXTURE0, 0);
    ReleaseReductionTextures();
}

// The layout's ReduceInto writes the last pass straight into the scalar.
void GpuVector::ReduceIntoScalar(GpuVector* other, GpuScalar* result) {
    const char* const call = other != nullptr ? "GpuVector::Dot" : "GpuVector::Sum";
    if (!CheckReductionOperands(call, other, result)) return;
    FrameworkFramebufferScope framebuffer;
    if (!ReduceWith(call, other)) return;
    ReduceInto(FoldAllButLast(other), result->Texture());
    EndReduction(other);
}

// Channels are added by the layout's read-back.
float GpuVector::ReduceToHost(GpuVector* other) {
    const char* const call = other != nullptr ? "GpuVector::DotValue" : "GpuVector::SumValue";
    const float refused = std::numeric_limits<float>::quiet_NaN();
    if (other != nullptr ? !CheckMatches(call, other) : !CheckUsable(call)) return refused;
    FrameworkFramebufferScope framebuffer;
    TextureDesc single = Desc();
    single.width = single.height = 1;
    GLuint total = 0;
    const int totalSlot = g_resourcePool->AcquireTexture(single, total);
    if (totalSlot < 0) {
        Refuse(call, "the driver cannot allocate a 1x1 texture for the total; nothing computed");
        return refused;
    }
    float value = refused;
    if (ReduceWith(call, other)) {
        ReduceFinal(FoldAllButLast(other), total, false);
        value = ReadReduced(total);
        EndReduction(other);
    }
    g_resourcePool->ReleaseTexture(totalSlot);
    return value;
}

void GpuVector::Sum(GpuScalar* result) { ReduceIntoScalar(nullptr, result); }

void GpuVector::Dot(GpuVector* other, GpuScalar* result) { ReduceIntoScalar(other, result); }

float GpuVector::SumValue() { return ReduceToHost(nullptr); }

float GpuVector::DotValue(GpuVector* other) { return ReduceToHost(other); }

// One pass shrinks the region by kFoldBlock in both directions, writing its
// partial sums to the lower-left corner of target.
void GpuVector::DrawFoldPass(const FoldProgram& fold, int regionWidth, int regionHeight, GLuint target,
                             bool sumChannels) {
    glViewport(0, 0, CeilDiv(regionWidth, kFoldBlock), CeilDiv(regionHeight, kFoldBlock));
    AttachPassTarget(target);
    fold.program->Bind();
    glUniform4f(fold.region, static_cast<float>(regionWidth), static_cast<float>(regionHeight),
                1.0f / static_cast<float>(width), 1.0f / static_cast<float>(height));
    glUniform1f(fold.sumChannels, sumChannels ? 1.0f : 0.0f);
    DrawFullScreenPass();
    fold.program->Unbind();
}

// Every pass of the total of this vector, of its product with other, or of
// its squares (other == this) but the last, which leaves one texel and is
// left to ReduceFinal. Returns the step the halving passes would have reached.
// A layout's padding holds 0 and adds nothing.
int GpuVector::FoldAllButLast(GpuVector* other) {
    const FoldProgram* fold = other == nullptr ? &s_foldSum : other == this ? &s_foldSquare : &s_foldDot;
    int regionWidth = width, regionHeight = height;
    while (CeilDiv(regionWidth, kFoldBlock) > 1 || CeilDiv(regionHeight, kFoldBlock) > 1) {
        DrawFoldPass(*fold, regionWidth, regionHeight, tempTexture[pingIndex], false);
        BindTexture(GL_TEXTURE0, tempTexture[pingIndex]);
        pingIndex = 1 - pingIndex;
        regionWidth = CeilDiv(regionWidth, kFoldBlock);
        regionHeight = CeilDiv(regionHeight, kFoldBlock);
        fold = &s_foldSum;
    }
    pendingFold = {fold, regionWidth, regionHeight};
    int step = 1;
    while (2 * step < width || 2 * step < height) step *= 2;
    return step;
}

void GpuVector::FinishFold(GLuint target, bool sumChannels) {
    const PendingFold last = std::exchange(pendingFold, PendingFold());
    DrawFoldPass(*last.fold, last.regionWidth, last.regionHeight, target, sumChannels);
}

// The source of the next pass is what this pass rendered.
void GpuVector::FinishReductionPass(int* step) {
    *step *= 2;
    BindTexture(GL_TEXTURE0, tempTexture[pingIndex]);
    pingIndex = 1 - pingIndex;
}

void GpuVector::DrawReductionPass(ShaderProgram* program, GLint location, int step,
                                  const ReductionQuad& quad) {
    AttachPassTarget(tempTexture[pingIndex]);
    program->Bind();
    glUniform1f(location, static_cast<float>(1.0 / (2.0 * step)));
    DrawQuad(quad);
    program->Unbind();
}

// Below 4 texels on a side no square pass runs, and the square pass is the one
// that applies the product; apply it on its own first.
void GpuVector::MultiplyIntoScratch() {
    AttachPassTarget(tempTexture[pingIndex]);
    s_pElementProductProgram->Bind();
    DrawFullScreenPass();
    s_pElementProductProgram->Unbind();
    BindTexture(GL_TEXTURE0, tempTexture[pingIndex]);
    pingIndex = 1 - pingIndex;
}

int GpuVector::ReduceSquare(bool dot) {
    if (!CheckUsable("GpuVector::ReduceSquare")) return 1;
    int step = 1;
    ReductionQuad quad;
    glViewport(0, 0, width, height);
    const bool squarePassRuns = 2 * step < width && 2 * step < height;
    if (dot && !squarePassRuns) {
        MultiplyIntoScratch();
        dot = false;
    }
    ShaderProgram* program = dot ? s_pReduceDotProgram : s_pReduceSumProgram;
    GLint location = dot ? s_iReduceDotLocation : s_iReduceSumLocation;
    while (2 * step < width && 2 * step < height) {
        HalveX(quad.vertices[kLowerRight]);
        HalveX(quad.vertices[kUpperRight]);
        HalveY(quad.vertices[kUpperRight]);
        HalveY(quad.vertices[kUpperLeft]);
        DrawReductionPass(program, location, step, quad);
        FinishReductionPass(&step);
        if (step == 2) {
            program = s_pReduceSumProgram;
            location = s_iReduceSumLocation;
        }
    }
    if (width != height) {
        ReduceX(&step, &quad);
        ReduceY(&step, &quad);
    }
    return step;
}

void GpuVector::ReduceX(int* step, ReductionQuad* quad) {
    if (!CheckUsable("GpuVector::ReduceX")) return;
    while (2 * *step < width) {
        HalveX(quad->vertices[kLowerRight]);
        HalveX(quad->vertices[kUpperRight]);
        DrawReductionPass(s_pReduceSumXProgram, s_iReduceSumXLocation, *step, *quad);
        FinishReductionPass(step);
    }
}

void GpuVector::ReduceY(int* step, ReductionQuad* quad) {
    if (!CheckUsable("GpuVector::ReduceY")) return;
    while (2 * *step < height) {
        HalveY(quad->vertices[kUpperRight]);
        HalveY(quad->vertices[kUpperLeft]);
        DrawReductionPass(s_pReduceSumYProgram, s_iReduceSumYLocation, *step, *quad);
        FinishReductionPass(step);
    }
}

// The offsets are one texel of the remaining 2x2 region whatever the aspect:
// x uses height/width and y width/height.
void GpuVector::ReduceFinal(int step, GLuint target, bool sumChannels) {
    if (!CheckUsable("GpuVector::ReduceFinal")) return;
    if (pendingFold.fold != nullptr) {
        FinishFold(target, sumChannels);
        return;
    }
    const int xs = std::max(1, width / height);
    const int ys = std::max(1, height / width);
    const float offsetX = static_cast<float>(ys) / static_cast<float>(2 * step);
    const float offsetY = static_cast<float>(xs) / static_cast<float>(2 * step);
    glViewport(0, 0, 1, 1);
    AttachPassTarget(target);
    if (width > 1 && height > 1) {
        ShaderProgram* program = sumChannels ? s_pFinalTotalProgram : s_pFinalSumProgram;
        program->Bind();
        glUniform2f(sumChannels ? s_iFinalTotalLocation : s_iFinalSumLocation, offsetX, offsetY);
        DrawSingleFragment();
        program->Unbind();
        return;
    }
    s_pFinalPartialProgram->Bind();
    glUniform2f(s_iFinalPartialStepLocation, offsetX, offsetY);
    glUniform2f(s_iFinalPartialPartnerLocation, width > 1 ? 1.0f : 0.0f, height > 1 ? 1.0f : 0.0f);
    glUniform1f(s_iFinalPartialChannelsLocation, sumChannels ? 1.0f : 0.0f);
    DrawSingleFragment();
    s_pFinalPartialProgram->Unbind();
}
