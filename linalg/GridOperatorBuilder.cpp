#include "linalg/GridOperatorBuilder.h"

#include <cfloat>
#include <cmath>
#include <string>

#include "gpu/Framework.h"

bool GridCoefficient::CheckLength(const char* call, const char* what, int width, int height) const {
    const long long points = static_cast<long long>(width) * height;
    if (!m_bArray || static_cast<long long>(m_values.size()) == points) return true;
    return Refuse(call, "%s has %zu values for the %lld points of a %dx%d grid", what, m_values.size(),
                  points, width, height);
}

double GridCoefficient::At(int x, int y, int width) const {
    if (m_bArray) return m_values[static_cast<std::size_t>(static_cast<long long>(y) * width + x)];
    return m_atPoint ? m_atPoint(x, y) : m_constant;
}

GridOperatorBuilder& GridOperatorBuilder::Tap(int dx, int dy, GridCoefficient coefficient) {
    m_offsets.push_back({dx, dy});
    m_coefficients.push_back(std::move(coefficient));
    return *this;
}

std::optional<GridStencil> GridOperatorBuilder::Assemble(const char* call) const {
    if (!GridOperator::CheckTaps(call, m_iWidth, m_iHeight, m_offsets)) return std::nullopt;
    GridStencil stencil(m_iWidth, m_iHeight, m_offsets);
    for (int tap = 0; tap < stencil.NumTaps(); ++tap) {
        const GridCoefficient& coefficient = m_coefficients[static_cast<std::size_t>(tap)];
        const std::string what = "tap (" + std::to_string(m_offsets[static_cast<std::size_t>(tap)].dx) +
                                 ", " + std::to_string(m_offsets[static_cast<std::size_t>(tap)].dy) + ")";
        if (!coefficient.CheckLength(call, what.c_str(), m_iWidth, m_iHeight)) return std::nullopt;
        for (int y = 0; y < m_iHeight; ++y)
            for (int x = 0; x < m_iWidth; ++x)
                if (stencil.Reaches(tap, x, y)) stencil.Set(tap, x, y, coefficient.At(x, y, m_iWidth));
    }
    if (!GridOperator::CheckCoefficients(call, stencil)) return std::nullopt;
    return stencil;
}

std::unique_ptr<GridOperator> GridOperatorBuilder::Build() const {
    std::optional<GridStencil> stencil = Assemble("GridOperatorBuilder::Build");
    return stencil ? GridOperator::Create(std::move(*stencil)) : nullptr;
}

std::optional<GridStencil> GridOperatorBuilder::BuildStencil() const {
    return Assemble("GridOperatorBuilder::BuildStencil");
}

namespace {

const StencilOffset kFaces[] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

// The cell itself and its neighbours across the faces, save in a direction
// with one cell only: those faces all lie on the grid's edge.
std::vector<StencilOffset> DiffusionTaps(int width, int height) {
    std::vector<StencilOffset> taps{{0, 0}};
    for (const StencilOffset& face : kFaces)
        if (std::abs(face.dx) < width && std::abs(face.dy) < height) taps.push_back(face);
    return taps;
}

// k must be positive in float, or a face's coefficient could vanish on the GPU.
bool CheckCellValues(const char* call, int width, int height, const GridCoefficient& k,
                     const GridCoefficient& c, double h) {
    if (!(std::isfinite(h) && h > 0))
        return Refuse(call, "the grid spacing h is %g; it must be positive and finite", h);
    if (!k.CheckLength(call, "k", width, height) || !c.CheckLength(call, "c", width, height)) return false;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double kCell = k.At(x, y, width), cCell = c.At(x, y, width);
            if (!(kCell >= FLT_MIN && kCell <= FLT_MAX))
                return Refuse(call, "k at cell (%d, %d) is %g; it must lie in [%g, %g], positive as a float",
                              x, y, kCell, static_cast<double>(FLT_MIN), static_cast<double>(FLT_MAX));
            if (!(std::isfinite(cCell) && cCell >= 0))
                return Refuse(call, "c at cell (%d, %d) is %g; it must be finite and not negative", x, y,
                              cCell);
        }
    return true;
}

double HarmonicMean(double a, double b) { return 2.0 * a * b / (a + b); }

std::optional<GridStencil> AssembleDiffusion(const char* call, int width, int height,
                                             const GridCoefficient& k, const GridCoefficient& c, double h) {
    const std::vector<StencilOffset> taps = DiffusionTaps(width, height);
    if (!GridOperator::CheckTaps(call, width, height, taps) || !CheckCellValues(call, width, height, k, c, h))
        return std::nullopt;
    GridStencil stencil(width, height, taps);
    const double perArea = 1.0 / (h * h);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double kCell = k.At(x, y, width);
            double diagonal = c.At(x, y, width);
            for (const StencilOffset& face : kFaces) {
                if (!stencil.Contains(x + face.dx, y + face.dy)) {
                    diagonal += kCell * perArea;
                    continue;
                }
                const double kFace = HarmonicMean(kCell, k.At(x + face.dx, y + face.dy, width)) * perArea;
                stencil.Set(stencil.FindTap(face.dx, face.dy), x, y, -kFace);
                diagonal += kFace;
            }
            stencil.Set(0, x, y, diagonal);
        }
    if (!GridOperator::CheckCoefficients(call, stencil)) return std::nullopt;
    return stencil;
}

}  // namespace

std::unique_ptr<GridOperator> MakeDiffusionOperator(int width, int height, const GridCoefficient& k,
                                                    const GridCoefficient& c, double h) {
    std::optional<GridStencil> stencil = AssembleDiffusion("MakeDiffusionOperator", width, height, k, c, h);
    return stencil ? GridOperator::Create(std::move(*stencil)) : nullptr;
}

std::optional<GridStencil> DiffusionStencil(int width, int height, const GridCoefficient& k,
                                            const GridCoefficient& c, double h) {
    return AssembleDiffusion("DiffusionStencil", width, height, k, c, h);
}
