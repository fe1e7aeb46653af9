#include "linalg/BandMatrix.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/KernelSupport.h"
#include "linalg/PackedVector.h"

namespace {

// Units of the one-pass product: x, the correction c and y's previous values,
// then one per diagonal.
constexpr int kFusedFixedUnits = 3;

// The start of a one-pass product's fragment source; the matrix appends its
// taps and terms. A tap is the texel whose row-major index is this texel's
// plus a shift, given as the shift's remaining columns and whole rows in
// texture coordinates: a column past the row's end carries into the next row
// (the repeat mode brings it back to the row's start), and rows past either
// end of the texture wrap the same way.
const char* const kFusedProductHead = R"(uniform sampler2D g_sVector;
uniform sampler2D g_sCorrection;
uniform sampler2D g_sSum;
uniform vec2 g_f2TexelSize;
uniform vec3 g_f3Form;
vec4 Tap(vec2 here, vec2 offset)
{
vec2 at = here + offset;
at.y += step(1.0, at.x) * g_f2TexelSize.y;
return texture2D(g_sVector, at);
}
)";

// Element offset d as the texel shift and channel rotation the kernels take.
struct Reach {
    int shift;
    int rotation;
};

Reach ReachOf(long long offset, long long texels) {
    const int rotation = static_cast<int>(((offset % 4) + 4) % 4);
    return {static_cast<int>(((offset - rotation) / 4) % texels), rotation};
}

// The correction applies for op 1 and 2 with c given; any other op leaves A x.
float CorrectionOf(int op, GpuVector* c) {
    if (c == nullptr) return 0.0f;
    return op == 1 ? 1.0f : op == 2 ? -1.0f : 0.0f;
}

// A float literal that reads back as the same float.
std::string GlslFloat(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9e", static_cast<double>(static_cast<float>(value)));
    return text;
}

// x's values at element offset d of a texel, from the shifted texel (A) and
// the one after it (B) when d is not a multiple of four.
std::string RotatedTap(const std::string& a, const std::string& b, int rotation) {
    switch (rotation) {
        case 1: return "vec4(" + a + ".gba, " + b + ".r)";
        case 2: return "vec4(" + a + ".ba, " + b + ".rg)";
        case 3: return "vec4(" + a + ".a, " + b + ".rgb)";
        default: return a;
    }
}

// Every key N + d of the matrix must stay countable in an int.
bool GridFits(int width, int height) { return width >= 1 && height >= 1 && 2LL * width * height <= INT_MAX; }

}  // namespace

BandMatrix::BandMatrix(int width, int height)
    : m_iWidth(width), m_iHeight(height), m_bUsable(GridFits(width, height)) {
    if (!m_bUsable)
        Refuse("BandMatrix", "a %dx%d grid is not positive in both directions, or has more than %d points", width,
               height, INT_MAX / 2);
}

BandMatrix::~BandMatrix() { Clear(); }

int BandMatrix::Width() { return m_iWidth; }
int BandMatrix::Height() { return m_iHeight; }

int BandMatrix::FindDiagonal(int key) {
    for (int i = 0; i < m_iNumDiagonals; ++i)
        if (m_piKeys[i] == key) return i;
    return -1;
}

PackedVector* BandMatrix::GetDiagonal(int key) {
    const int index = FindDiagonal(key);
    return index < 0 ? nullptr : &m_pDiagonals[index];
}

bool BandMatrix::SetDiagonal(GpuVector* v, int key) {
    const char* const call = "BandMatrix::SetDiagonal";
    PackedVector* diagonal = GetDiagonal(key);
    if (diagonal == nullptr) return Refuse(call, "the matrix has no diagonal of key %d", key);
    // A copy, not a shared texture: each object keeps and returns its own.
    if (!diagonal->CheckMatches(call, v)) return false;
    diagonal->CopyFrom(v);
    return true;
}

void BandMatrix::SetDiagonals(const int* keys, int count) {
    const char* const call = "BandMatrix::SetDiagonals";
    if (!m_bUsable) {
        Refuse(call, "the matrix's grid cannot hold packed diagonals");
        return;
    }
    if (keys == nullptr && count > 0) {
        Refuse(call, "the key array is null");
        return;
    }
    const int n = m_iWidth * m_iHeight;
    for (int i = 0; i < count; ++i)
        if (keys[i] < 1 || keys[i] > 2 * n - 1) {
            Refuse(call, "key %d is outside 1..%d (offsets -%d..%d)", keys[i], 2 * n - 1, n - 1, n - 1);
            return;
        }
    Clear();
    if (count <= 0) return;
    m_piKeys = new int[count];
    std::memcpy(m_piKeys, keys, sizeof(int) * static_cast<size_t>(count));
    m_pDiagonals = new PackedVector[count];
    m_iNumDiagonals = count;
    for (int i = 0; i < count; ++i) {
        // A refused one has said why (no framework, a texture the driver cannot hold).
        if (!m_pDiagonals[i].CreateGrid(m_iWidth, m_iHeight, 1)) {
            Clear();
            Refuse(call, "the diagonals could not be created; the matrix is empty");
            return;
        }
    }
    if (count <= MaxFusedDiagonals()) BuildFusedProgram();
}

void BandMatrix::Clear() {
    kernel::Delete(m_pFusedProgram);
    delete[] m_piKeys;
    delete[] m_pDiagonals;
    m_piKeys = nullptr;
    m_pDiagonals = nullptr;
    m_iNumDiagonals = 0;
}

bool BandMatrix::CheckProductOperands(const char* call, GpuVector* x, GpuVector* c, GpuVector* y) {
    if (!m_bUsable) return Refuse(call, "the matrix's grid cannot hold packed diagonals");
    for (GpuVector* operand : {x, y, c != nullptr ? c : y}) {
        if (operand == nullptr) return Refuse(call, "x or y is null");
        if (!operand->CheckUsable(call)) return false;
        if (dynamic_cast<PackedVector*>(operand) == nullptr || operand->Width() != m_iWidth ||
            operand->Height() != m_iHeight)
            return Refuse(call, "operands must be packed vectors of the matrix's %dx%d grid", m_iWidth, m_iHeight);
    }
    if (x == y) return Refuse(call, "x and y are the same vector: y is written while x is read");
    return true;
}

void BandMatrix::Multiply(const char* call, GpuVector* x, GpuVector* c, GpuVector* y, const Form& form) {
    if (!CheckProductOperands(call, x, form.correction != 0.0f ? c : nullptr, y)) return;
    FrameworkFramebufferScope framebuffer;
    // The correction by y itself takes the product's result, which no pass
    // that reads y's previous values can see: correct in a pass of its own.
    if (c == y && form.correction != 0.0f && form.productSign > 0.0f) {
        Multiply(call, x, nullptr, y, {form.accumulate, 1.0f, 0.0f});
        y->CombineOp(form.correction > 0.0f ? 1 : 2, y, y, 1.0f, 1.0f);
        return;
    }
    if (IsFused()) {
        RunFusedProduct(call, x, c, y, form);
        return;
    }
    if (form.productSign < 0.0f) {
        // Only SubtractProduct negates: r = b - A x, b possibly r's previous values.
        if (c == y) {
            y->Scale(-1.0f);
            MultiplyDiagonals(x, y, false);
        } else {
            MultiplyDiagonals(x, y, true);
            y->CombineOp(2, c, y, 1.0f, 1.0f);
        }
        y->Scale(-1.0f);
        return;
    }
    MultiplyDiagonals(x, y, !form.accumulate);
    if (form.correction != 0.0f) y->CombineOp(form.correction > 0.0f ? 1 : 2, c, y, 1.0f, 1.0f);
}

void BandMatrix::MultiplyVector(int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    Multiply("BandMatrix::MultiplyVector", x, c, y, {false, 1.0f, CorrectionOf(op, c)});
}

void BandMatrix::MultiplyVectorAdd(int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    Multiply("BandMatrix::MultiplyVectorAdd", x, c, y, {true, 1.0f, CorrectionOf(op, c)});
}

void BandMatrix::SubtractProduct(GpuVector* x, GpuVector* b, GpuVector* r) {
    if (b == nullptr) {
        Refuse("BandMatrix::SubtractProduct", "b is null");
        return;
    }
    Multiply("BandMatrix::SubtractProduct", x, b, r, {false, -1.0f, 1.0f});
}

int BandMatrix::MaxFusedDiagonals() {
    GLint units = 0;
    glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &units);
    return units - kFusedFixedUnits;
}

// Taps that several diagonals share (the texel itself, its neighbours) are
// fetched once. Terms come in the order the per-diagonal passes add them.
void BandMatrix::BuildFusedProgram() {
    TextureDesc texture;
    m_pDiagonals[0].GetTextureDesc(&texture);
    const int tw = texture.width, th = texture.height;
    const long long n = static_cast<long long>(m_iWidth) * m_iHeight, texels = static_cast<long long>(tw) * th;
    std::map<int, std::string> taps;
    const auto tap = [&](int shift) {
        std::string& name = taps[shift];
        if (name.empty()) name = "tap" + std::to_string(taps.size() - 1);
        return name;
    };
    std::string declarations, terms;
    for (int rotation = 0; rotation < 4; ++rotation)
        for (int j = 0; j < m_iNumDiagonals; ++j) {
            const Reach reach = ReachOf(m_piKeys[j] - n, texels);
            if (reach.rotation != rotation) continue;
            declarations += "uniform sampler2D g_sDiagonal" + std::to_string(j) + ";\n";
            terms += "sum += texture2D(g_sDiagonal" + std::to_string(j) + ", here) * " +
                     RotatedTap(tap(reach.shift), rotation ? tap(reach.shift + 1) : "", rotation) + ";\n";
        }
    std::string source = kFusedProductHead + declarations + "void main(void)\n{\n";
    source += "vec2 here = gl_FragCoord.xy * g_f2TexelSize;\n";
    for (const auto& [shift, name] : taps) {
        const int columns = ((shift % tw) + tw) % tw, rows = (shift - columns) / tw;
        source += "vec4 " + name + " = Tap(here, vec2(" + GlslFloat(static_cast<double>(columns) / tw) + ", " +
                  GlslFloat(static_cast<double>(rows) / th) + "));\n";
    }
    source += "vec4 sum = vec4(0.0);\n" + terms;
    source += "sum *= g_f3Form.y;\n"
              "if (g_f3Form.x > 0.5) sum = texture2D(g_sSum, here) + sum;\n"
              "if (g_f3Form.z != 0.0) sum += g_f3Form.z * texture2D(g_sCorrection, here);\n"
              "gl_FragColor = sum;\n}\n";
    m_pFusedProgram = new ShaderProgram(kPassThroughVertexSource, source.c_str(), kShaderSourceText);
    m_pFusedProgram->Bind();
    m_pFusedProgram->SetUniformVector("g_sVector", 0, 0, 0, 0);
    m_pFusedProgram->SetUniformVector("g_sCorrection", 1, 0, 0, 0);
    m_pFusedProgram->SetUniformVector("g_sSum", 2, 0, 0, 0);
    for (int j = 0; j < m_iNumDiagonals; ++j)
        m_pFusedProgram->SetUniformVector(("g_sDiagonal" + std::to_string(j)).c_str(), kFusedFixedUnits + j, 0, 0, 0);
    m_pFusedProgram->SetUniformVector("g_f2TexelSize", 1.0f / static_cast<float>(tw), 1.0f / static_cast<float>(th),
                                      0.0f, 0.0f);
    m_iFormLocation = glGetUniformLocation(m_pFusedProgram->GetHandle(), "g_f3Form");
    m_pFusedProgram->Unbind();
    if (!m_pFusedProgram->IsValid()) kernel::Delete(m_pFusedProgram);  // the per-diagonal passes still work
}

void BandMatrix::RunFusedProduct(const char* call, GpuVector* x, GpuVector* c, GpuVector* y, const Form& form) {
    if (!y->AttachScratchTarget(call)) return;
    kernel::BindTexture(GL_TEXTURE0, x->Texture());
    if (form.correction != 0.0f) kernel::BindTexture(GL_TEXTURE1, c->Texture());
    if (form.accumulate) kernel::BindTexture(GL_TEXTURE2, y->Texture());
    for (int j = 0; j < m_iNumDiagonals; ++j)
        kernel::BindTexture(GL_TEXTURE0 + kFusedFixedUnits + j, m_pDiagonals[j].Texture());
    m_pFusedProgram->Bind();
    glUniform3f(m_iFormLocation, form.accumulate ? 1.0f : 0.0f, form.productSign, form.correction);
    GpuVector::DrawFullScreenPass();
    m_pFusedProgram->Unbind();
    glActiveTexture(GL_TEXTURE0);
    y->CommitTarget();
}

// Diagonals are visited grouped by channel rotation. Every pass renders into
// y's scratch texture and swaps it in, so y is never read and written at once.
void BandMatrix::MultiplyDiagonals(GpuVector* x, GpuVector* y, bool overwriteFirst) {
    const int n = m_iWidth * m_iHeight;
    TextureDesc texture;
    x->GetTextureDesc(&texture);
    const int texels = texture.width * texture.height;
    bool first = overwriteFirst;
    for (int rotation = 0; rotation < 4; ++rotation) {
        for (int j = 0; j < m_iNumDiagonals; ++j) {
            const Reach reach = ReachOf(m_piKeys[j] - n, texels);
            if (reach.rotation != rotation) continue;
            if (first) {
                m_pDiagonals[j].MulShifted(x, y, 1.0f, reach.shift, reach.rotation);
                first = false;
            } else {
                m_pDiagonals[j].MulShiftedAdd(x, y, 1.0f, reach.shift, reach.rotation);
            }
        }
    }
}

WaveSystemMatrix::WaveSystemMatrix(int width, int height, float speed, float timeStep, float spacingX,
                                   float spacingY)
    : BandMatrix(width, height),
      m_fSpeed(speed),
      m_fTimeStep(timeStep),
      m_fSpacingX(spacingX),
      m_fSpacingY(spacingY) {
    if (!IsUsable()) return;
    const int n = width * height;
    const int keys[] = {n - width, n - 1, n, n + 1, n + width};
    SetDiagonals(keys, 5);
    if (NumDiagonals() == 5) FillWaveDiagonals();
}

WaveSystemMatrix::~WaveSystemMatrix() = default;

float WaveSystemMatrix::PreFactor() const {
    const double dt = m_fTimeStep, c = m_fSpeed;
    return static_cast<float>((dt * dt * c * c) / (2.0 * static_cast<double>(m_fSpacingY) * m_fSpacingX));
}

void WaveSystemMatrix::FillWaveDiagonals() {
    const int w = m_iWidth;
    const int n = m_iWidth * m_iHeight;
    const float e = PreFactor();
    std::vector<float> diagonal(static_cast<size_t>(n));
    auto upload = [&](int offset, auto entry) {
        for (int i = 0; i < n; ++i) diagonal[static_cast<size_t>(i)] = entry(i);
        GetDiagonal(n + offset)->SetData(diagonal.data());
    };
    upload(-w, [&](int i) { return i >= w ? -e : 0.0f; });
    upload(-1, [&](int i) { return i % w != 0 ? -e : 0.0f; });
    upload(0, [&](int) { return 4.0f * e + 1.0f; });
    upload(+1, [&](int i) { return (i + 1) % w != 0 ? -e : 0.0f; });
    upload(+w, [&](int i) { return i < n - w ? -e : 0.0f; });
}
