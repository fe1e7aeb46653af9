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

// Each pass folds blocks of kFold x kFold texels of the region into one
// fragment; every texel of the region is read once (twice in the first pass
// of an inner product of two vectors), until a single fragment is left.
Work Reduction(int w, int h, int operands) {
    constexpr long long kFold = 4;
    Work total;
    long long regionW = w, regionH = h;
    do {
        const long long foldedW = (regionW + kFold - 1) / kFold, foldedH = (regionH + kFold - 1) / kFold;
        Work pass = Pass(foldedW * foldedH, 0);
        pass.texelsRead = regionW * regionH * operands;
        total += pass;
        operands = 1;
        regionW = foldedW;
        regionH = foldedH;
    } while (regionW > 1 || regionH > 1);
    return total;
}

// One pass reads the five diagonals and the five texels of the source they
// reach (-W/4, -1, 0, +1, +W/4 texels; the offsets of one fetch two adjacent
// texels), and c's texel for the correction.
Work WaveBandProduct(int gridWidth, int gridHeight, bool withCorrection) {
    const long long texels = static_cast<long long>(gridWidth / 2) * (gridHeight / 2);
    return Pass(texels, 5 + 5 + (withCorrection ? 1 : 0));
}

Work CgIteration(int gridWidth, int gridHeight) {
    const int tw = gridWidth / 2, th = gridHeight / 2;
    const long long texels = static_cast<long long>(tw) * th;
    Work update = Pass(texels, 5);  // x += alpha p and r -= alpha q: x, p, r, q, alpha into two targets
    update.texelsWritten *= 2;
    Work w = WaveBandProduct(gridWidth, gridHeight, false);  // q = A p
    w += Reduction(tw, th, 2);                                 // p.q
    w += ScalarPass(2);                                        // alpha
    w += update;
    w += Reduction(tw, th, 1);                                 // r.r, each texel read once
    w += ScalarPass(2);                                        // beta
    w += MulScalar(texels);                                    // p
    return w;
}

Work CgSolve(int gridWidth, int gridHeight, int iterations) {
    const int tw = gridWidth / 2, th = gridHeight / 2;
    const long long texels = static_cast<long long>(tw) * th;
    Work w = Pass(texels, 1);                                 // non-finite start values to 0
    w += WaveBandProduct(gridWidth, gridHeight, true);        // r = b - A x
    w += Copy(texels);                                        // p = r
    w += Reduction(tw, th, 1);                                // rho = r.r
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
