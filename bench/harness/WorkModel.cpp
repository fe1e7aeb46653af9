#include "WorkModel.h"

namespace perf {

Work& Work::operator+=(const Work& other) {
    passes += other.passes;
    fragments += other.fragments;
    texelsRead += other.texelsRead;
    texelsWritten += other.texelsWritten;
    return *this;
}

Work operator*(int times, Work w) {
    w.passes *= times;
    w.fragments *= times;
    w.texelsRead *= times;
    w.texelsWritten *= times;
    return w;
}

Work Pass(long long texels, int lookups) {
    Work w;
    w.passes = 1;
    w.fragments = texels;
    w.texelsRead = texels * lookups;
    w.texelsWritten = texels;
    return w;
}

Work Fill(long long texels) { return Pass(texels, 0); }
Work Copy(long long texels) { return Pass(texels, 1); }
Work Scale(long long texels) { return Pass(texels, 1); }
Work Combine(long long texels) { return Pass(texels, 2); }
Work MulScalar(long long texels) { return Pass(texels, 3); }
Work ScalarPass(int lookups) { return Pass(1, lookups); }

// Follows the folding loop: a pass while both sides exceed twice the step
// shades (w/2s) x (h/2s) fragments; then the x folds, then the y folds, each
// halving one side; the last pass is a single fragment with four fetches.
Work Reduction(int w, int h, bool dot) {
    Work total;
    long long step = 1;
    if (dot && !(2 * step < w && 2 * step < h)) {
        total += Pass(static_cast<long long>(w) * h, 2);
        dot = false;
    }
    long long regionW = w, regionH = h;
    while (2 * step < w && 2 * step < h) {
        regionW /= 2;
        regionH /= 2;
        total += Pass(regionW * regionH, dot ? 8 : 4);
        dot = false;
        step *= 2;
    }
    if (w != h) {
        while (2 * step < w) {
            regionW /= 2;
            total += Pass(regionW * regionH, 2);
            step *= 2;
        }
        while (2 * step < h) {
            regionH /= 2;
            total += Pass(regionW * regionH, 2);
            step *= 2;
        }
    }
    // The last pass reads only the partners that exist.
    const int partners = (w > 1 ? 2 : 1) * (h > 1 ? 2 : 1);
    total += Pass(1, partners);
    return total;
}

// Diagonals -W and +W (W a multiple of 4) and 0 fetch one source texel, -1
// and +1 two. The first pass overwrites; the other four also fetch the
// running sum.
Work WaveBandProduct(int gridWidth, int gridHeight, bool withCorrection) {
    const long long texels = static_cast<long long>(gridWidth / 2) * (gridHeight / 2);
    Work w = Pass(texels, 1 + 1);           // -W, first: diagonal, source
    w += 2 * Pass(texels, 1 + 1 + 1);       // 0 and +W: diagonal, source, sum
    w += 2 * Pass(texels, 1 + 2 + 1);       // +1 and -1: diagonal, two source texels, sum
    if (withCorrection) w += Combine(texels);
    return w;
}

Work CgIteration(int gridWidth, int gridHeight) {
    const int tw = gridWidth / 2, th = gridHeight / 2;
    const long long texels = static_cast<long long>(tw) * th;
    Work w = WaveBandProduct(gridWidth, gridHeight, false);  // q = A p
    w += Reduction(tw, th, true);                              // p.q
    w += ScalarPass(2);                                        // alpha
    w += 2 * MulScalar(texels);                                // x, r
    w += Reduction(tw, th, true);                              // r.r
    w += ScalarPass(2);                                        // beta
    w += MulScalar(texels);                                    // p
    return w;
}

Work CgSolve(int gridWidth, int gridHeight, int iterations) {
    const int tw = gridWidth / 2, th = gridHeight / 2;
    const long long texels = static_cast<long long>(tw) * th;
    Work w = Pass(texels, 1);                                 // non-finite start values to 0
    w += WaveBandProduct(gridWidth, gridHeight, true);        // r = A x - b
    w += Scale(texels);                                       // r = -r
    w += Copy(texels);                                        // p = r
    w += Reduction(tw, th, true);                             // rho
    for (int i = 0; i < iterations; ++i) w += CgIteration(gridWidth, gridHeight);
    return w;
}

Work WaveStep(int gridWidth, int gridHeight) {
    return Pass(static_cast<long long>(gridWidth) * gridHeight, 6);
}

Work Pack(int gridWidth, int gridHeight) {
    return Pass(static_cast<long long>(gridWidth / 2) * (gridHeight / 2), 4);
}

Work Unpack(int gridWidth, int gridHeight) { return Pass(static_cast<long long>(gridWidth) * gridHeight, 1); }

Work SimulationFrame(int gridWidth, int gridHeight) {
    return WaveStep(gridWidth, gridHeight) + Pack(gridWidth, gridHeight) + CgSolve(gridWidth, gridHeight, 2) +
           Copy(static_cast<long long>(gridWidth) * gridHeight) + Unpack(gridWidth, gridHeight);
}

}  // namespace perf
