#include "linalg/PackedVector.h"

#include <string>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/KernelSupport.h"
#include "linalg/UnpackedVector.h"

namespace {

// A texel row holds two grid rows (2W elements): element m of the row lies in
// the odd grid row once m reaches W. Four consecutive elements may straddle
// the two rows when W is not a multiple of 4, so each channel finds its own
// grid texel. gl_FragCoord and these whole numbers are exact in float, for
// grids of any even size. g_f4Scalar = (W, H, W/4, 1/W), g_f2Scalar = (tw, th).
const char* const kPackSource = R"(uniform sampler2D g_sVector;
uniform vec4 g_f4Scalar;
uniform vec2 g_f2Scalar;
void main(void)
{
vec2 texel = floor(gl_FragCoord.xy);
vec4 m = texel.x * 4.0 + vec4(0.0, 1.0, 2.0, 3.0);
vec4 odd = step(g_f4Scalar.x, m);
vec4 x = m - odd * g_f4Scalar.x + 0.5;
vec4 y = texel.y * 2.0 + odd + 0.5;
vec2 scale = vec2(g_f4Scalar.w, 0.5 / g_f2Scalar.y);
vec4 result;
result.r = texture2D(g_sVector, vec2(x.r, y.r) * scale).r;
result.g = texture2D(g_sVector, vec2(x.g, y.g) * scale).r;
result.b = texture2D(g_sVector, vec2(x.b, y.b) * scale).r;
result.a = texture2D(g_sVector, vec2(x.a, y.a) * scale).r;
gl_FragColor = result;
}
)";

// The grid texel (x, y) is element m = x + (y mod 2) W of texel row y div 2:
// texel m div 4, channel m mod 4. g_f2Scalar = (tw, th) of the packed vector.
const char* const kUnpackSource = R"(uniform sampler2D g_sVector;
uniform vec2 g_f2Scalar;
void main(void)
{
vec2 grid = floor(gl_FragCoord.xy);
float row = floor(grid.y * 0.5);
float m = grid.x + (grid.y - 2.0 * row) * 2.0 * g_f2Scalar.x;
float texelX = floor(m * 0.25);
float c = m - texelX * 4.0;
vec4 v = texture2D(g_sVector, (vec2(texelX, row) + 0.5) / g_f2Scalar);
gl_FragColor = vec4(c < 1.5 ? (c < 0.5 ? v.r : v.g) : (c < 2.5 ? v.b : v.a), 0.0, 0.0, 0.0);
}
)";

// Either side laid out in a texture of its own choosing (odd grids, long
// vectors): element n is found by its index alone, texel n div 4 of the
// packed texture (g_f2Scalar = (tw, th)) and texel n of the unpacked one
// (g_f4Elements = (its width, its height, N)); elements past N are 0.
const char* const kPackAnySource = R"(uniform sampler2D g_sVector;
uniform vec2 g_f2Scalar;
uniform vec4 g_f4Elements;
float Element(float n)
{
if (n >= g_f4Elements.z) return 0.0;
return texture2D(g_sVector, (TexelOf(n, g_f4Elements.x) + 0.5) / g_f4Elements.xy).r;
}
void main(void)
{
vec2 texel = floor(gl_FragCoord.xy);
float first = (texel.y * g_f2Scalar.x + texel.x) * 4.0;
gl_FragColor = vec4(Element(first), Element(first + 1.0), Element(first + 2.0), Element(first + 3.0));
}
)";

const char* const kUnpackAnySource = R"(uniform sampler2D g_sVector;
uniform vec2 g_f2Scalar;
uniform vec4 g_f4Elements;
void main(void)
{
vec2 texel = floor(gl_FragCoord.xy);
float n = texel.y * g_f4Elements.x + texel.x;
float p = floor(n * 0.25);
float c = n - 4.0 * p;
vec4 v = texture2D(g_sVector, (TexelOf(p, g_f2Scalar.x) + 0.5) / g_f2Scalar);
float value = c < 1.5 ? (c < 0.5 ? v.r : v.g) : (c < 2.5 ? v.b : v.a);
gl_FragColor = vec4(n < g_f4Elements.z ? value : 0.0, 0.0, 0.0, 0.0);
}
)";

// Index arithmetic in float is exact up to here.
constexpr long long kMaxIndexedElements = 1LL << 24;

// An element offset that is not a multiple of four (ROTATION 1 to 3) takes the
// channels of a result texel from the tail of the shifted texel (a) and the
// head of the one after it (b), whose texel-space coordinates come in .xy and
// .zw.
const char* const kRotatedProductSource = R"(uniform sampler2D g_sVector;
uniform sampler2D g_sVector2;
#ifdef ACCUMULATE
uniform sampler2D g_sVector3;
#endif
uniform vec4 g_f4Scalar;
vec4 computeShiftedCoordsP1(vec2 f2InCoords, float fShift, vec2 texSize)
{
vec2 temp;
vec4 f4ShiftCoords;
temp.x = f2InCoords.x*texSize.x+fShift;
temp.y = temp.x+1.0;
f4ShiftCoords.xz = mod(temp, texSize.x);
temp = temp / texSize.x;
f4ShiftCoords.yw = f2InCoords.y*texSize.y+floor(temp);
return f4ShiftCoords;
}
void main(void)
{
vec4 f4ShiftCoords = computeShiftedCoordsP1(gl_TexCoord[0].xy, g_f4Scalar.z, g_f4Scalar.xy) / g_f4Scalar.xyxy;
vec4 f4MatVector = texture2D(g_sVector,gl_TexCoord[0].xy)*g_f4Scalar.w;
vec4 a = texture2D(g_sVector2,f4ShiftCoords.xy);
vec4 b = texture2D(g_sVector2,f4ShiftCoords.zw);
#if ROTATION == 1
vec4 f4Result = f4MatVector * vec4(a.gba, b.r);
#elif ROTATION == 2
vec4 f4Result = f4MatVector * vec4(a.ba, b.rg);
#else
vec4 f4Result = f4MatVector * vec4(a.a, b.rgb);
#endif
#ifdef ACCUMULATE
f4Result = texture2D(g_sVector3,gl_TexCoord[0].xy)+f4Result;
#endif
gl_FragColor = f4Result;
}
)";

}  // namespace

std::string PackedVector::ShiftedProductSource(int rotation, bool accumulate) {
    if (rotation == 0) return DiagonalProductSource(true, accumulate);
    return "#define ROTATION " + std::to_string(rotation) + "\n" + (accumulate ? "#define ACCUMULATE\n" : "") +
           kRotatedProductSource;
}

int PackedVector::s_iPackedInstances = 0;
ShaderProgram* PackedVector::s_pPackProgram = nullptr;
ShaderProgram* PackedVector::s_pUnpackProgram = nullptr;
ShaderProgram* PackedVector::s_pPackAnyProgram = nullptr;
ShaderProgram* PackedVector::s_pUnpackAnyProgram = nullptr;
ShaderProgram* PackedVector::s_apMulShiftedProgram[kRotations] = {};
ShaderProgram* PackedVector::s_apMulShiftedAddProgram[kRotations] = {};
ShaderProgram* PackedVector::s_pMulProgram = nullptr;
ShaderProgram* PackedVector::s_pMulAddProgram = nullptr;
GLint PackedVector::s_iPackScalar2Location = 0;
GLint PackedVector::s_iPackScalar4Location = 0;
GLint PackedVector::s_iUnpackScalar2Location = 0;
GLint PackedVector::s_iPackAnyScalar2Location = 0;
GLint PackedVector::s_iPackAnyElementsLocation = 0;
GLint PackedVector::s_iUnpackAnyScalar2Location = 0;
GLint PackedVector::s_iUnpackAnyElementsLocation = 0;
GLint PackedVector::s_aiMulShiftedScalarLocation[kRotations] = {};
GLint PackedVector::s_aiMulShiftedAddScalarLocation[kRotations] = {};
GLint PackedVector::s_iMulScalarLocation = 0;
GLint PackedVector::s_iMulAddScalarLocation = 0;

PackedVector::PackedVector() { valuesPerTexel = 4; }

PackedVector::PackedVector(int width, int height, int reserved) : PackedVector() {
    CreateGrid(width, height, reserved);
}

// An even grid whose halves fit a texture is laid out as (W/2) x (H/2) texels,
// two grid rows to a texel row; any other takes a texture of its choosing.
bool PackedVector::CreateGrid(int gridW, int gridH, int reserved) {
    const bool halves = gridW >= 2 && gridH >= 2 && gridW % 2 == 0 && gridH % 2 == 0 &&
                        gridW / 2 <= g_iMaxTextureSize && gridH / 2 <= g_iMaxTextureSize;
    if (!halves) return CreateForGrid("PackedVector", gridW, gridH, reserved);
    Create(gridW / 2, gridH / 2, reserved, GL_RGBA32F_ARB);
    return IsCreated();
}

PackedVector::~PackedVector() {
    if (!IsCreated()) return;
    if (--s_iPackedInstances > 0) return;
    ReleaseSharedPrograms();
    kernel::Delete(s_pPackProgram);
    kernel::Delete(s_pUnpackProgram);
    kernel::Delete(s_pPackAnyProgram);
    kernel::Delete(s_pUnpackAnyProgram);
    for (int rotation = 0; rotation < kRotations; ++rotation) {
        kernel::Delete(s_apMulShiftedProgram[rotation]);
        kernel::Delete(s_apMulShiftedAddProgram[rotation]);
    }
    kernel::Delete(s_pMulProgram);
    kernel::Delete(s_pMulAddProgram);
}

void PackedVector::CreatePrograms() {
    if (++s_iPackedInstances > 1) return;
    CreateSharedPrograms();
    const char* const vertex = kPassThroughVertexSource;
    s_pPackProgram = kernel::Build(vertex, kPackSource, {{"g_sVector", 0}},
                                   {{"g_f2Scalar", &s_iPackScalar2Location}, {"g_f4Scalar", &s_iPackScalar4Location}});
    s_pUnpackProgram =
        kernel::Build(vertex, kUnpackSource, {{"g_sVector", 0}}, {{"g_f2Scalar", &s_iUnpackScalar2Location}});
    const std::string packAny = std::string(kernel::kTexelOfSource) + kPackAnySource;
    s_pPackAnyProgram = kernel::Build(vertex, packAny.c_str(), {{"g_sVector", 0}},
                                      {{"g_f2Scalar", &s_iPackAnyScalar2Location},
                                       {"g_f4Elements", &s_iPackAnyElementsLocation}});
    const std::string unpackAny = std::string(kernel::kTexelOfSource) + kUnpackAnySource;
    s_pUnpackAnyProgram = kernel::Build(vertex, unpackAny.c_str(), {{"g_sVector", 0}},
                                        {{"g_f2Scalar", &s_iUnpackAnyScalar2Location},
                                         {"g_f4Elements", &s_iUnpackAnyElementsLocation}});
    // Rotation 0 is the whole-texel shift both layouts share.
    for (int rotation = 0; rotation < kRotations; ++rotation) {
        s_apMulShiftedProgram[rotation] = BuildDiagonalProgram(ShiftedProductSource(rotation, false), true, false,
                                                               &s_aiMulShiftedScalarLocation[rotation]);
        s_apMulShiftedAddProgram[rotation] = BuildDiagonalProgram(ShiftedProductSource(rotation, true), true, true,
                                                                  &s_aiMulShiftedAddScalarLocation[rotation]);
    }
    s_pMulProgram = BuildDiagonalProgram(DiagonalProductSource(false, false), false, false, &s_iMulScalarLocation);
    s_pMulAddProgram =
        BuildDiagonalProgram(DiagonalProductSource(false, true), false, true, &s_iMulAddScalarLocation);
}

int PackedVector::Size() { return gridWidth > 0 ? gridWidth * gridHeight : 4 * width * height; }
int PackedVector::Width() { return gridWidth > 0 ? gridWidth : 2 * width; }
int PackedVector::Height() { return gridWidth > 0 ? gridHeight : 2 * height; }

void PackedVector::SetData(const float* values) {
    if (CheckUsable("PackedVector::SetData")) UploadElements(GL_RGBA, values);
}

void PackedVector::GetData(float* values) {
    if (CheckUsable("PackedVector::GetData")) ReadElements(GL_RGBA, values);
}

void PackedVector::ReduceInto(int step, GLuint target) { ReduceFinal(step, target, true); }

// Every channel of a packed total holds a partial sum of its own.
float PackedVector::ReadReduced(GLuint texture) {
    float rgba[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    ReadTexels(texture, 1, 1, GL_RGBA, rgba);
    return rgba[3] + rgba[2] + rgba[1] + rgba[0];
}

void PackedVector::MulShiftedAdd(GpuVector* src, GpuVector* dst, float factor, int shift, int rotation) {
    RunShiftedPass("PackedVector::MulShiftedAdd", src, dst, factor, shift, rotation, true);
}

void PackedVector::MulShifted(GpuVector* src, GpuVector* dst, float factor, int shift, int rotation) {
    RunShiftedPass("PackedVector::MulShifted", src, dst, factor, shift, rotation, false);
}

void PackedVector::RunShiftedPass(const char* call, GpuVector* src, GpuVector* dst, float factor, int shift,
                                  int rotation, bool accumulate) {
    if (rotation < 0 || rotation >= kRotations) {
        Refuse(call, "rotation %d is outside 0..3", rotation);
        return;
    }
    const DiagonalProgram program =
        shift == 0 && rotation == 0
            ? DiagonalProgram{accumulate ? s_pMulAddProgram : s_pMulProgram,
                              accumulate ? s_iMulAddScalarLocation : s_iMulScalarLocation, false}
            : DiagonalProgram{
                  accumulate ? s_apMulShiftedAddProgram[rotation] : s_apMulShiftedProgram[rotation],
                  accumulate ? s_aiMulShiftedAddScalarLocation[rotation]
                             : s_aiMulShiftedScalarLocation[rotation],
                  true};
    RunDiagonalProduct(call, src, dst, accumulate, program, shift, factor);
}

// The unpacked side must hold this vector's grid one element per texel.
bool PackedVector::CheckGridOf(const char* call, UnpackedVector* other) {
    if (!CheckUsable(call)) return false;
    if (other == nullptr) return Refuse(call, "the unpacked vector is null");
    if (!other->CheckUsable(call)) return false;
    if (other->Width() != Width() || other->Height() != Height())
        return Refuse(call, "the unpacked vector is %dx%d, this grid %dx%d", other->Width(), other->Height(),
                      Width(), Height());
    if (!BothGridShaped(other) && Size() > kMaxIndexedElements)
        return Refuse(call, "a %dx%d grid laid out in a texture of its own choosing converts only up to %lld elements",
                      Width(), Height(), kMaxIndexedElements);
    return true;
}

// Both textures have the grid's own shape: the conversion can go by grid
// position, exact for any size.
bool PackedVector::BothGridShaped(UnpackedVector* other) const {
    TextureDesc unpacked;
    other->GetTextureDesc(&unpacked);
    return gridWidth == 0 && unpacked.width == 2 * width && unpacked.height == 2 * height;
}

void PackedVector::PackFrom(UnpackedVector* src) {
    if (!CheckGridOf("PackedVector::PackFrom", src)) return;
    FrameworkFramebufferScope framebuffer;
    AttachOwnTexture();
    const float tw = static_cast<float>(width), th = static_cast<float>(height);
    ShaderProgram* const program = BothGridShaped(src) ? s_pPackProgram : s_pPackAnyProgram;
    program->Bind();
    kernel::BindTexture(GL_TEXTURE0, src->Texture());
    if (program == s_pPackProgram) {
        glUniform4f(s_iPackScalar4Location, 2.0f * tw, 2.0f * th, 0.5f * tw, 0.5f / tw);
        glUniform2f(s_iPackScalar2Location, tw, th);
    } else {
        TextureDesc source;
        src->GetTextureDesc(&source);
        glUniform2f(s_iPackAnyScalar2Location, tw, th);
        glUniform4f(s_iPackAnyElementsLocation, static_cast<float>(source.width), static_cast<float>(source.height),
                    static_cast<float>(Size()), 0.0f);
    }
    DrawFullScreenPass();
    program->Unbind();
}

void PackedVector::UnpackInto(UnpackedVector* dst) {
    if (!CheckGridOf("PackedVector::UnpackInto", dst)) return;
    FrameworkFramebufferScope framebuffer;
    TextureDesc target;
    dst->GetTextureDesc(&target);
    glViewport(0, 0, target.width, target.height);
    AttachPassTarget(dst->Texture());
    const float tw = static_cast<float>(width), th = static_cast<float>(height);
    ShaderProgram* const program = BothGridShaped(dst) ? s_pUnpackProgram : s_pUnpackAnyProgram;
    program->Bind();
    kernel::BindTexture(GL_TEXTURE0, texture);
    if (program == s_pUnpackProgram) {
        glUniform2f(s_iUnpackScalar2Location, tw, th);
    } else {
        glUniform2f(s_iUnpackAnyScalar2Location, tw, th);
        glUniform4f(s_iUnpackAnyElementsLocation, static_cast<float>(target.width), static_cast<float>(target.height),
                    static_cast<float>(Size()), 0.0f);
    }
    DrawFullScreenPass();
    program->Unbind();
}
