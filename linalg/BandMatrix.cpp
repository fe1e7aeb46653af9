#include "linalg/BandMatrix.h"

#include <cstring>
#include <vector>

#include "linalg/PackedVector.h"

BandMatrix::BandMatrix(int width, int height) : m_iWidth(width), m_iHeight(height) {}

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
    PackedVector* diagonal = GetDiagonal(key);
    if (diagonal == nullptr || v == nullptr) return false;
    TextureDesc mine, theirs;
    if (*diagonal->GetTextureDesc(&mine) != *v->GetTextureDesc(&theirs)) return false;
    // A copy, not a shared texture: each object keeps and returns its own.
    diagonal->CopyFrom(v);
    return true;
}

void BandMatrix::SetDiagonals(const int* keys, int count) {
    Clear();
    if (count <= 0) return;
    m_piKeys = new int[count];
    std::memcpy(m_piKeys, keys, sizeof(int) * static_cast<size_t>(count));
    m_pDiagonals = new PackedVector[count];
    m_iNumDiagonals = count;
    for (int i = 0; i < count; ++i) m_pDiagonals[i].Create(m_iWidth / 2, m_iHeight / 2, 1, GL_RGBA32F_ARB);
}

void BandMatrix::Clear() {
    delete[] m_piKeys;
    delete[] m_pDiagonals;
    m_piKeys = nullptr;
    m_pDiagonals = nullptr;
    m_iNumDiagonals = 0;
}

void BandMatrix::MultiplyVector(int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    MultiplyDiagonals(x, y, true);
    if (c != nullptr && op != 0) y->CombineOp(op, c, y, 1.0f, 1.0f);
}

void BandMatrix::MultiplyVectorAdd(int op, GpuVector* x, GpuVector* c, GpuVector* y) {
    MultiplyDiagonals(x, y, false);
    if (c != nullptr && op != 0) y->CombineOp(op, c, y, 1.0f, 1.0f);
}

// Diagonals are visited grouped by channel rotation. Every pass renders into
// y's scratch texture and swaps it in, so y is never read and written at once.
void BandMatrix::MultiplyDiagonals(GpuVector* x, GpuVector* y, bool overwriteFirst) {
    const int n = m_iWidth * m_iHeight;
    bool first = overwriteFirst;
    for (int rotation = 0; rotation < 4; ++rotation) {
        for (int j = 0; j < m_iNumDiagonals; ++j) {
            const int key = m_piKeys[j];
            const int offset = key < n ? key - n : key % n;
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
    const int n = width * height;
    const int keys[] = {n - width, n - 1, n, n + 1, n + width};
    SetDiagonals(keys, 5);
    FillWaveDiagonals();
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
