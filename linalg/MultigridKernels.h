#pragma once

// The fragment programs of the multigrid cycle and the cache that shares
// them. Every level's grid sizes reach the programs as uniforms, so that one
// program serves all levels whose stencils reach the same texels (all but
// the smallest grids), and a second preconditioner compiles nothing.
#include <GL/glew.h>

#include <string>
#include <vector>

class ShaderProgram;

namespace multigrid {

// A built program and the locations of the uniforms its passes set; -1 for
// those it does not declare.
struct Kernel {
    ShaderProgram* program = nullptr;
    GLint texelSize = -1;      // g_f2TexelSize: 1 / the texture's sides
    GLint taps = -1;           // g_af2Taps: where each tap lies from the texel, in texture coordinates
    GLint step = -1;           // g_f3Step: (x, previous x, D^-1 r) coefficients of a sweep
    GLint factor = -1;         // g_fFactor
    GLint fineTexels = -1;     // g_f4FineTexels: (w, h, 1/w, 1/h) of the fine texture
    GLint coarseTexels = -1;   // g_f4CoarseTexels: the same of the coarse (or only) texture
    GLint grids = -1;          // g_f4Grids: fine W, H, coarse W, H
    GLint points = -1;         // g_f2Points: fine and coarse N
    GLint inverseTexels = -1;  // g_f4InverseTexels: the dense inverse's texture
};

// Texture units of the band programs: x, the previous x, b, D^-1, then the
// diagonals.
constexpr int kBandFixedUnits = 4;

// The texels a band product reads: distinct texel shifts, and for each
// diagonal the shifted texel (and the one after it when its element offset
// is not a multiple of 4) with the channel rotation.
struct BandTaps {
    struct Term {
        int first;
        int second;  // -1 for rotation 0
        int rotation;
    };
    std::vector<long long> shifts;  // ascending
    std::vector<Term> terms;        // one per diagonal, in diagonal order
};
BandTaps PlanTaps(const std::vector<long long>& elementOffsets);
// The g_af2Taps values of a texture tw x th texels: per shift, the columns
// (wrapped into the row) and whole rows it moves, over the sides.
std::vector<float> TapCoordinates(const BandTaps& taps, int tw, int th);
// Texels a band pass reads per fragment: its taps and diagonals, plus extra.
int BandFetches(const BandTaps& taps, int extra);

// residualOnly: r = b - A x; otherwise the sweep
// g_f3Step.x x + g_f3Step.y x_previous + g_f3Step.z D^-1 (b - A x).
std::string BandSource(const BandTaps& taps, bool residualOnly);
// Fine residual to the coarse right-hand side b (target 0) and the coarse
// grid's first sweep from 0, g_fFactor D^-1 b (target 1). aligned: both
// grids' rows start whole texels (fine W a multiple of 8), so a coarse texel
// reads 3 x 3 fine texels; otherwise each channel finds its own.
std::string RestrictionSource(bool aligned);
// x + P e, x fine, e coarse.
std::string ProlongationSource(bool aligned);
// x = g_fFactor D^-1 b.
std::string ScaledInverseDiagonalSource();
// x = A^-1 b by the dense inverse, stored a row per texel row (its columns
// four to a texel).
std::string DenseSolveSource();

// Fetches per fragment of those programs.
int TransferFetches(bool restriction, bool aligned);
int DenseSolveFetches(int rhsTexels);

// The program of this source, built by its first user, with the given
// sampler units; Release by the last user deletes it. Null when the driver
// cannot build it.
const Kernel* Acquire(const std::string& source, const std::vector<std::string>& samplers);
void Release(const Kernel*& released);

}  // namespace multigrid
