#pragma once

// What a framework operation asks of the rasteriser, derived from the
// algorithm rather than measured: render passes, fragments shaded, texels
// fetched by the shaders and texels written. Every texel is RGBA32F, 16 bytes.
// The counts do not depend on timing, so the benchmarks report them beside
// each time and a test holds them against real pass and fragment counts.
namespace perf {

struct Work {
    long long passes = 0;
    long long fragments = 0;
    long long texelsRead = 0;     // texture lookups, the 1x1 coefficients included
    long long texelsWritten = 0;  // one per fragment shaded

    long long Bytes() const { return 16 * (texelsRead + texelsWritten); }
    Work& operator+=(const Work& other);
    friend Work operator+(Work a, const Work& b) { return a += b; }
    friend Work operator*(int times, Work w);
};

// One full-screen pass over `texels` fragments, each making `lookups` fetches.
Work Pass(long long texels, int lookups);

// Vector kernels over a texture of `texels` texels (either layout).
Work Fill(long long texels);
Work Copy(long long texels);
Work Scale(long long texels);
Work Combine(long long texels);       // Combine, CombineSub, CombineOp 1 and 2
Work MulScalar(long long texels);     // MulAddScalar, MulSubScalar
Work ScalarPass(int lookups);         // one GpuScalar kernel (SafeDivide: 2)

// A reduction of a textureWidth x textureHeight texture into one texel:
// block folds down to one fragment. `operands` is 2 for the inner product of
// two vectors (the first fold fetches both), 1 for a sum or a vector's inner
// product with itself.
Work Reduction(int textureWidth, int textureHeight, int operands);

// The wave system matrix times a packed vector of a gridWidth x gridHeight
// grid: one pass per diagonal, the offsets that are not a multiple of four
// fetching a second texel; `withCorrection` adds MultiplyVector's combination
// pass (op 1 or 2 with c given).
Work WaveBandProduct(int gridWidth, int gridHeight, bool withCorrection);

Work CgIteration(int gridWidth, int gridHeight);
Work CgSolve(int gridWidth, int gridHeight, int iterations);

Work WaveStep(int gridWidth, int gridHeight);
Work Pack(int gridWidth, int gridHeight);
Work Unpack(int gridWidth, int gridHeight);

// The simulation part of one demo frame: wave step, pack, Solve(2), copy of
// the current heights into the last ones, unpack.
Work SimulationFrame(int gridWidth, int gridHeight);

}  // namespace perf
