#include "linalg/BandMatrix.h"

#include <climits>
#include <cstring>
#include <vector>

#include "gpu/Framework.h"
#include "linalg/PackedVector.h"

namespace {

// Diagonals halve the grid into whole texels, and every key N + d of the
// matrix must stay countable in an int.
bool GridFits(int width, int height) {
    return width >= 2 && height >= 2 && width % 2 == 0 && height % 2 == 0 &&
           2LL * width * height <= INT_MAX;
}

}  // namespace

BandMatrix::BandMatrix(int width, int height)
    : m_iWidth(width), m_iHeight(height), m_bUsable(GridFits(width, height)) {
    if (!m_bUsable) Refuse("BandMatrix", "a %dx%d grid is not even and positive in both directions", width, height);
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
        m_pDiagonals[i].Create(m_iWidth / 2, m_iHeight / 2, 1, GL_RGBA32F_ARB);
        // Create has said why (no framework, a texture the driver cannot hold).
        if (!m_pDiagonals[i].IsUsable()) {
            Clear();
            Refuse(call, "the diagonals could not be created; the matrix is empty");
            return;
        }
    }
}

void BandMatrix::Clear() {
    delete[] m_piKeys;
    delete[] m_pDiagonals;
    m_piKeys = nullptr;
    m_pDiagonals = nullptr;
    m_iNumDiagonals = 0;
}

bool BandMatrix::CheckProductOperands(const char* call, int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    if (!m_bUsable) return Refuse(call, "the matrix's grid cannot hold packed diagonals");
    const bool correction = c != nullptr && (op == 1 || op == 2);
    for (GpuVector* operand : {x, y, correction ? c : y}) {
        if (operand == nullptr) return Refuse(call, "x or y is null");
        if (!operand->CheckUsable(call)) return false;
        if (dynamic_cast<PackedVector*>(operand) == nullptr || operand->Width() != m_iWidth ||
            operand->Height() != m_iHeight)
            return Refuse(call, "operands must be packed vectors of the matrix's %dx%d grid", m_iWidth, m_iHeight);
    }
    if (x == y) return Refuse(call, "x and y are the same vector: y is written while x is read");
    return true;
}

void BandMatrix::Multiply(const char* call, int op, GpuVector* x, GpuVector* c, GpuVector* y,
                          bool overwriteFirst) {
    if (!CheckProductOperands(call, op, x, c, y)) return;
    FrameworkFramebufferScope framebuffer;
    MultiplyDiagonals(x, y, overwriteFirst);
    if (c != nullptr && op != 0) y->CombineOp(op, c, y, 1.0f, 1.0f);
}

void BandMatrix::MultiplyVector(int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    Multiply("BandMatrix::MultiplyVector", op, x, c, y, true);
}

void BandMatrix::MultiplyVectorAdd(int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    Multiply("BandMatrix::MultiplyVectorAdd", op, x, c, y, false);
}

// Diagonals are visited grouped by channel rotation. Every pass renders into
// y's scratch texture and swaps it in, so y is never read and written at once.
void BandMatrix::MultiplyDiagonals(GpuVector* x, GpuVector* y, bool overwriteFirst) {
    const int n = m_iWidth * m_iHeight;
    bool first = overwriteFirst;
    for (int rotation = 0; rotation < 4; ++rotation) {
        for (int j = 0; j < m_iNumDiagonals; ++j) {
            const int offset = m_piKeys[j] - n;
            const int diagonalRotation = (offset + n) % 4;
            if (diagonalRotation != rotation) continue;
            const int shift = (offset - diagonalRotation) / 4;
            if (first) {
                m_pDiagonals[j].MulShifted(x, y, 1.0f, shift, diagonalRotation);
                first = false;
            } else {
                m_pDiagonals[j].MulShiftedAdd(x, y, 1.0f, shift, diagonalRotation);
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
