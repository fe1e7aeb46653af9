#include "linalg/MultigridKernels.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/KernelSupport.h"

namespace multigrid {
namespace {

// Index arithmetic on whole numbers held in floats, exact below 2^24. A
// quotient rounded across a whole number is put right by one step.
const char* const kIndexHelpers =
    R"(// Texel p of a row-major texture of size.xy texels (size.zw = 1 / size.xy),
// as the texture coordinate of its centre.
vec2 TexelCoord(float p, vec4 size)
{
float row = floor((p + 0.5) * size.z);
float column = p - row * size.x;
row += step(size.x, column) - step(column, -0.5);
return (vec2(p - row * size.x, row) + 0.5) * size.zw;
}
// Column and row of element n of a grid `width` points wide.
vec2 GridPoint(float n, float width)
{
float y = floor((n + 0.5) / width);
float x = n - y * width;
y += step(width, x) - step(x, -0.5);
return vec2(n - y * width, y);
}
// The index of this fragment's texel in a texture `width` texels wide.
float FragmentTexel(float width)
{
vec2 texel = floor(gl_FragCoord.xy);
return texel.y * width + texel.x;
}
// 1 where v is 0, else 0, for whole numbers.
vec4 Is(vec4 v)
{
return vec4(lessThan(abs(v), vec4(0.5)));
}
)";

const char* const kTransferUniforms = R"(uniform vec4 g_f4FineTexels;
uniform vec4 g_f4CoarseTexels;
uniform vec4 g_f4Grids;
uniform vec2 g_f2Points;
uniform float g_fFactor;
)";

// A band pass's taps: the texel whose row-major index is this texel's plus a
// shift, the shift's remaining columns and whole rows given in texture
// coordinates; a column past the row's end carries into the next row and the
// repeat wrap mode brings it back to the row's start.
const char* const kBandHead = R"(uniform sampler2D g_sX;
uniform sampler2D g_sPrevious;
uniform sampler2D g_sRhs;
uniform sampler2D g_sInverseDiagonal;
uniform vec2 g_f2TexelSize;
uniform vec3 g_f3Step;
vec4 Tap(vec2 here, vec2 offset)
{
vec2 at = here + offset;
at.y += step(1.0, at.x) * g_f2TexelSize.y;
return texture2D(g_sX, at);
}
)";

// Coarse point (4s + c, j) of a coarse texel sits on fine column 8s + 2c + 1
// of row 2j + 1; the fine rows 2j .. 2j + 2 each give three texels from
// column 8s, whose ninth column exists unless the row ends before it.
const char* const kAlignedRestriction = R"(vec4 RowWeights(float q, float last)
{
vec4 a = texture2D(g_sFine, TexelCoord(q, g_f4FineTexels));
vec4 b = texture2D(g_sFine, TexelCoord(q + 1.0, g_f4FineTexels));
float c = texture2D(g_sFine, TexelCoord(q + 2.0, g_f4FineTexels)).r * last;
return 0.25 * vec4(a.r, a.b, b.r, b.b) + 0.5 * vec4(a.g, a.a, b.g, b.a) + 0.25 * vec4(a.b, b.r, b.b, c);
}
vec4 Restricted()
{
float n = 4.0 * FragmentTexel(g_f4CoarseTexels.x);
vec2 point = GridPoint(n, g_f4Grids.z);
float rowTexels = 0.25 * g_f4Grids.x;
float q = (2.0 * point.y * g_f4Grids.x + 2.0 * point.x) * 0.25;
float last = step(2.0 * point.x + 9.0, g_f4Grids.x);
vec4 sum = 0.25 * RowWeights(q, last) + 0.5 * RowWeights(q + rowTexels, last);
sum += 0.25 * step(2.0 * point.y + 3.0, g_f4Grids.y) * RowWeights(q + 2.0 * rowTexels, last);
return n < g_f2Points.y ? sum : vec4(0.0);
}
)";

// Any layout: each channel's coarse point (i, j) weighs fine columns
// 2i .. 2i + 2 of rows 2j .. 2j + 2, those inside the grid, from the two
// texels that hold a row's three.
const char* const kGeneralRestriction = R"(float RowWeight(float row, float i)
{
float m = row * g_f4Grids.x + 2.0 * i;
float q = floor(m * 0.25);
vec4 s = vec4(0.0, 1.0, 2.0, 3.0) - (m - 4.0 * q);
float right = 0.25 * step(2.0 * i + 3.0, g_f4Grids.x);
vec4 a = texture2D(g_sFine, TexelCoord(q, g_f4FineTexels));
vec4 b = texture2D(g_sFine, TexelCoord(q + 1.0, g_f4FineTexels));
return dot(a, 0.25 * Is(s) + 0.5 * Is(s - 1.0) + right * Is(s - 2.0)) +
       dot(b, 0.25 * Is(s + 4.0) + 0.5 * Is(s + 3.0) + right * Is(s + 2.0));
}
float RestrictedPoint(float n)
{
vec2 point = GridPoint(n, g_f4Grids.z);
float below = step(2.0 * point.y + 3.0, g_f4Grids.y);
float sum = 0.25 * RowWeight(2.0 * point.y, point.x) + 0.5 * RowWeight(2.0 * point.y + 1.0, point.x) +
            0.25 * below * RowWeight(2.0 * point.y + 2.0, point.x);
return n < g_f2Points.y ? sum : 0.0;
}
vec4 Restricted()
{
float n = 4.0 * FragmentTexel(g_f4CoarseTexels.x);
return vec4(RestrictedPoint(n), RestrictedPoint(n + 1.0), RestrictedPoint(n + 2.0), RestrictedPoint(n + 3.0));
}
)";

const char* const kRestrictionMain = R"(void main(void)
{
vec4 b = Restricted();
gl_FragData[0] = b;
gl_FragData[1] = g_fFactor * texture2D(g_sInverseDiagonal, gl_FragCoord.xy * g_f4CoarseTexels.zw) * b;
}
)";

// Fine points 4t .. 4t + 3 of row y interpolate from coarse columns 2t - 1,
// 2t, 2t + 1 (the first missing at t = 0): channels 3, 0, 1 of two coarse
// texels for even t, 1 to 3 of one for odd t. An odd row lies on coarse row
// (y - 1) / 2, an even one halfway between the rows around it.
const char* const kAlignedProlongation = R"(vec3 CoarseRow(float j, float t, float odd)
{
float a = floor((j * g_f4Grids.z + 2.0 * t - 1.0) * 0.25);
vec4 first = texture2D(g_sCoarse, TexelCoord(a, g_f4CoarseTexels));
vec4 second = texture2D(g_sCoarse, TexelCoord(a + 1.0, g_f4CoarseTexels));
vec3 v = mix(vec3(first.a, second.rg), first.gba, odd);
v.x *= step(0.5, t);
return v;
}
vec4 Interpolated()
{
float n = 4.0 * FragmentTexel(g_f4FineTexels.x);
vec2 point = GridPoint(n, g_f4Grids.x);
float t = 0.25 * point.x;
float odd = t - 2.0 * floor(0.5 * t);
float j = floor(0.5 * (point.y - 1.0));
float oddRow = point.y - 2.0 * floor(0.5 * point.y);
float above = mix(0.5 * step(0.0, j), 1.0, oddRow);
float below = (1.0 - oddRow) * 0.5 * step(j + 2.0, g_f4Grids.w);
vec3 v = above * CoarseRow(j, t, odd) + below * CoarseRow(j + 1.0, t, odd);
return n < g_f2Points.x ? vec4(0.5 * (v.x + v.y), v.y, 0.5 * (v.y + v.z), v.z) : vec4(0.0);
}
)";

// Any layout: each channel's fine point takes coarse columns i0 = (x - 1) div
// 2 and i0 + 1 of rows j0 = (y - 1) div 2 and j0 + 1 with bilinear weights,
// those outside the coarse grid weighing 0.
const char* const kGeneralProlongation = R"(float CoarsePair(float j, float i, float left, float right)
{
float e = j * g_f4Grids.z + i;
float a = floor(e * 0.25);
vec4 s = vec4(0.0, 1.0, 2.0, 3.0) - (e - 4.0 * a);
vec4 first = texture2D(g_sCoarse, TexelCoord(a, g_f4CoarseTexels));
vec4 second = texture2D(g_sCoarse, TexelCoord(a + 1.0, g_f4CoarseTexels));
return dot(first, left * Is(s) + right * Is(s - 1.0)) + dot(second, left * Is(s + 4.0) + right * Is(s + 3.0));
}
float InterpolatedPoint(float n)
{
vec2 point = GridPoint(n, g_f4Grids.x);
vec2 odd = point - 2.0 * floor(0.5 * point);
vec2 first = floor(0.5 * (point - 1.0));
vec2 near = mix(0.5 * step(0.0, first), vec2(1.0), odd);
vec2 far = (1.0 - odd) * 0.5 * step(first + 2.0, g_f4Grids.zw);
float e = near.y * CoarsePair(first.y, first.x, near.x, far.x) +
          far.y * CoarsePair(first.y + 1.0, first.x, near.x, far.x);
return n < g_f2Points.x ? e : 0.0;
}
vec4 Interpolated()
{
float n = 4.0 * FragmentTexel(g_f4FineTexels.x);
return vec4(InterpolatedPoint(n), InterpolatedPoint(n + 1.0), InterpolatedPoint(n + 2.0),
            InterpolatedPoint(n + 3.0));
}
)";

const char* const kProlongationMain = R"(void main(void)
{
gl_FragColor = texture2D(g_sFine, gl_FragCoord.xy * g_f4FineTexels.zw) + Interpolated();
}
)";

const char* const kScaledInverseDiagonalSource = R"(uniform sampler2D g_sRhs;
uniform sampler2D g_sInverseDiagonal;
uniform float g_fFactor;
void main(void)
{
vec2 here = gl_TexCoord[0].xy;
gl_FragColor = g_fFactor * texture2D(g_sInverseDiagonal, here) * texture2D(g_sRhs, here);
}
)";

// Output element 4p + c is the product of inverse row 4p + c with b: a loop
// over b's texels, each met by the matching texel of the four rows. Rows past
// the grid (padding) are 0.
const char* const kDenseSolveSource = R"(uniform sampler2D g_sRhs;
uniform sampler2D g_sInverse;
uniform vec4 g_f4CoarseTexels;
uniform vec4 g_f4InverseTexels;
uniform vec2 g_f2Points;
void main(void)
{
vec2 texel = floor(gl_FragCoord.xy);
vec4 rows = 4.0 * (texel.y * g_f4CoarseTexels.x + texel.x) + vec4(0.0, 1.0, 2.0, 3.0);
vec4 t = (rows + 0.5) * g_f4InverseTexels.w;
vec4 sum = vec4(0.0);
float k = 0.5;
for (float y = 0.5; y < g_f4CoarseTexels.y; y += 1.0) {
for (float x = 0.5; x < g_f4CoarseTexels.x; x += 1.0) {
vec4 b = texture2D(g_sRhs, vec2(x, y) * g_f4CoarseTexels.zw);
float s = k * g_f4InverseTexels.z;
sum += vec4(dot(texture2D(g_sInverse, vec2(s, t.x)), b), dot(texture2D(g_sInverse, vec2(s, t.y)), b),
            dot(texture2D(g_sInverse, vec2(s, t.z)), b), dot(texture2D(g_sInverse, vec2(s, t.w)), b));
k += 1.0;
}
}
gl_FragColor = sum * vec4(lessThan(rows, vec4(g_f2Points.y)));
}
)";

// x's values at element offset d of a texel, from the shifted texel (a) and
// the one after it (b) when d is not a multiple of four.
std::string Rotated(const std::string& a, const std::string& b, int rotation) {
    switch (rotation) {
        case 1: return "vec4(" + a + ".gba, " + b + ".r)";
        case 2: return "vec4(" + a + ".ba, " + b + ".rg)";
        case 3: return "vec4(" + a + ".a, " + b + ".rgb)";
        default: return a;
    }
}

std::string TapName(int index) { return "tap" + std::to_string(index); }

struct CachedKernel {
    Kernel kernel;
    int users = 0;
};

std::map<std::string, CachedKernel>& Cache() {
    static std::map<std::string, CachedKernel> cache;
    return cache;
}

Kernel Build(const std::string& source, const std::vector<std::string>& samplers) {
    Kernel k;
    k.program = new ShaderProgram(kPassThroughVertexSource, source.c_str(), kShaderSourceText);
    if (!k.program->IsValid()) {
        kernel::Delete(k.program);
        return k;
    }
    k.program->Bind();
    for (std::size_t unit = 0; unit < samplers.size(); ++unit)
        k.program->SetUniformVector(samplers[unit].c_str(), static_cast<int>(unit), 0, 0, 0);
    const GLuint handle = k.program->GetHandle();
    k.texelSize = glGetUniformLocation(handle, "g_f2TexelSize");
    k.taps = glGetUniformLocation(handle, "g_af2Taps");
    k.step = glGetUniformLocation(handle, "g_f3Step");
    k.factor = glGetUniformLocation(handle, "g_fFactor");
    k.fineTexels = glGetUniformLocation(handle, "g_f4FineTexels");
    k.coarseTexels = glGetUniformLocation(handle, "g_f4CoarseTexels");
    k.grids = glGetUniformLocation(handle, "g_f4Grids");
    k.points = glGetUniformLocation(handle, "g_f2Points");
    k.inverseTexels = glGetUniformLocation(handle, "g_f4InverseTexels");
    k.program->Unbind();
    return k;
}

}  // namespace

BandTaps PlanTaps(const std::vector<long long>& elementOffsets) {
    BandTaps taps;
    struct Reach {
        long long shift;
        int rotation;
    };
    std::vector<Reach> reaches;
    for (long long d : elementOffsets) {
        const int rotation = static_cast<int>(((d % 4) + 4) % 4);
        reaches.push_back({(d - rotation) / 4, rotation});
        taps.shifts.push_back(reaches.back().shift);
        if (rotation != 0) taps.shifts.push_back(reaches.back().shift + 1);
    }
    std::sort(taps.shifts.begin(), taps.shifts.end());
    taps.shifts.erase(std::unique(taps.shifts.begin(), taps.shifts.end()), taps.shifts.end());
    const auto index = [&](long long shift) {
        return static_cast<int>(std::lower_bound(taps.shifts.begin(), taps.shifts.end(), shift) -
                                taps.shifts.begin());
    };
    for (const Reach& reach : reaches)
        taps.terms.push_back(
            {index(reach.shift), reach.rotation != 0 ? index(reach.shift + 1) : -1, reach.rotation});
    return taps;
}

std::vector<float> TapCoordinates(const BandTaps& taps, int tw, int th) {
    std::vector<float> coordinates;
    for (long long shift : taps.shifts) {
        const long long columns = ((shift % tw) + tw) % tw, rows = (shift - columns) / tw;
        coordinates.push_back(static_cast<float>(static_cast<double>(columns) / tw));
        coordinates.push_back(static_cast<float>(static_cast<double>(rows) / th));
    }
    return coordinates;
}

int BandFetches(const BandTaps& taps, int extra) {
    return static_cast<int>(taps.shifts.size() + taps.terms.size()) + extra;
}

std::string BandSource(const BandTaps& taps, bool residualOnly) {
    std::string source = kBandHead;
    for (std::size_t j = 0; j < taps.terms.size(); ++j)
        source += "uniform sampler2D g_sDiagonal" + std::to_string(j) + ";\n";
    source += "uniform vec2 g_af2Taps[" + std::to_string(taps.shifts.size()) + "];\n";
    source += "void main(void)\n{\nvec2 here = gl_FragCoord.xy * g_f2TexelSize;\n";
    for (std::size_t k = 0; k < taps.shifts.size(); ++k)
        source +=
            "vec4 " + TapName(static_cast<int>(k)) + " = Tap(here, g_af2Taps[" + std::to_string(k) + "]);\n";
    source += "vec4 product = vec4(0.0);\n";
    for (std::size_t j = 0; j < taps.terms.size(); ++j) {
        const BandTaps::Term& term = taps.terms[j];
        source += "product += texture2D(g_sDiagonal" + std::to_string(j) + ", here) * " +
                  Rotated(TapName(term.first), term.second >= 0 ? TapName(term.second) : "", term.rotation) +
                  ";\n";
    }
    source += "vec4 residual = texture2D(g_sRhs, here) - product;\n";
    if (residualOnly) return source + "gl_FragColor = residual;\n}\n";
    const auto own = std::lower_bound(taps.shifts.begin(), taps.shifts.end(), 0LL);
    const std::string x = own != taps.shifts.end() && *own == 0
                              ? TapName(static_cast<int>(own - taps.shifts.begin()))
                              : std::string("texture2D(g_sX, here)");
    return source + "gl_FragColor = g_f3Step.x * " + x +
           " + g_f3Step.y * texture2D(g_sPrevious, here) +\n"
           "               g_f3Step.z * texture2D(g_sInverseDiagonal, here) * residual;\n}\n";
}

std::string RestrictionSource(bool aligned) {
    return std::string("uniform sampler2D g_sFine;\nuniform sampler2D g_sInverseDiagonal;\n") +
           kTransferUniforms + kIndexHelpers + (aligned ? kAlignedRestriction : kGeneralRestriction) +
           kRestrictionMain;
}

std::string ProlongationSource(bool aligned) {
    return std::string("uniform sampler2D g_sFine;\nuniform sampler2D g_sCoarse;\n") + kTransferUniforms +
           kIndexHelpers + (aligned ? kAlignedProlongation : kGeneralProlongation) + kProlongationMain;
}

std::string ScaledInverseDiagonalSource() { return kScaledInverseDiagonalSource; }

std::string DenseSolveSource() { return kDenseSolveSource; }

int TransferFetches(bool restriction, bool aligned) {
    if (restriction) return aligned ? 9 + 1 : 4 * 3 * 2 + 1;
    return aligned ? 4 + 1 : 4 * 2 * 2 + 1;
}

int DenseSolveFetches(int rhsTexels) { return 5 * rhsTexels; }

const Kernel* Acquire(const std::string& source, const std::vector<std::string>& samplers) {
    CachedKernel& cached = Cache()[source];
    if (cached.users == 0) cached.kernel = Build(source, samplers);
    if (cached.kernel.program == nullptr) {
        Cache().erase(source);
        return nullptr;
    }
    ++cached.users;
    return &cached.kernel;
}

void Release(const Kernel*& released) {
    if (released == nullptr) return;
    for (auto it = Cache().begin(); it != Cache().end(); ++it)
        if (&it->second.kernel == released) {
            if (--it->second.users == 0) {
                kernel::Delete(it->second.kernel.program);
                Cache().erase(it);
            }
            break;
        }
    released = nullptr;
}

}  // namespace multigrid
