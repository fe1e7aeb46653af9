#include "linalg/MultigridHierarchy.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <utility>

namespace {

// Chebyshev's interval: the smoother damps D^-1 A's eigenvalues above this
// fraction of the bound, the part the coarse grid cannot represent.
constexpr double kSmoothedFraction = 0.25;
// The power estimate approaches the largest eigenvalue from below; the
// polynomial stays below 1 in magnitude up to (1 + kSmoothedFraction) times
// the bound, so this margin leaves room for an estimate 35% short.
constexpr double kEstimateMargin = 1.1;
constexpr int kPowerIterations = 10;

using Doubles = std::vector<double>;

bool Fail(std::string* reason, std::string why) {
    *reason = std::move(why);
    return false;
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[320];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

std::vector<StencilOffset> NinePoint() {
    std::vector<StencilOffset> offsets;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) offsets.push_back({dx, dy});
    return offsets;
}

int NinePointTap(int dx, int dy) { return (dy + 1) * 3 + dx + 1; }

// The coarse points a fine coordinate interpolates from, with their weights:
// its own coarse point, or the two around it (one at the grid's edge).
struct Parents {
    int count = 0;
    int index[2] = {0, 0};
    double weight[2] = {0.0, 0.0};
};

std::vector<Parents> ParentsAlong(int fine, int coarse) {
    std::vector<Parents> all(static_cast<std::size_t>(fine));
    for (int x = 0; x < fine; ++x) {
        Parents& p = all[static_cast<std::size_t>(x)];
        const auto add = [&](int i, double w) {
            if (i < 0 || i >= coarse) return;
            p.index[p.count] = i;
            p.weight[p.count++] = w;
        };
        if (x % 2 == 1) {
            add((x - 1) / 2, 1.0);
        } else {
            add(x / 2 - 1, 0.5);
            add(x / 2, 0.5);
        }
    }
    return all;
}

long long PointIndex(const GridStencil& a, int x, int y) { return static_cast<long long>(y) * a.Width() + x; }

// max over rows of sum |a_ij| / a_ii: no eigenvalue of D^-1 A lies above it.
double GershgorinBound(const GridStencil& a, const Doubles& inverseDiagonal) {
    double bound = 0.0;
    for (long long n = 0; n < a.Points(); ++n) {
        double row = 0.0;
        for (int tap = 0; tap < a.NumTaps(); ++tap)
            row += std::fabs(a.Coefficients(tap)[static_cast<std::size_t>(n)]);
        bound = std::max(bound, row * inverseDiagonal[static_cast<std::size_t>(n)]);
    }
    return bound;
}

// The Rayleigh quotient u.Au / u.Du after a few steps of the power method on
// D^-1 A, from a fixed pseudo-random start: close to the largest eigenvalue
// from below.
double PowerEstimate(const GridStencil& a, const Doubles& inverseDiagonal) {
    const std::size_t n = static_cast<std::size_t>(a.Points());
    std::mt19937 random(1);
    Doubles u(n), au(n);
    for (double& v : u) v = static_cast<double>(random()) / 4294967296.0 - 0.5;
    double estimate = 0.0;
    for (int k = 0; k < kPowerIterations; ++k) {
        a.Apply(u.data(), au.data());
        double uau = 0.0, udu = 0.0, norm = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            uau += u[i] * au[i];
            udu += u[i] * u[i] / inverseDiagonal[i];
            au[i] *= inverseDiagonal[i];
            norm += au[i] * au[i];
        }
        estimate = uau / udu;
        norm = std::sqrt(norm);
        if (!(norm > 0.0)) break;
        for (std::size_t i = 0; i < n; ++i) u[i] = au[i] / norm;
    }
    return estimate;
}

// The three-term recurrence of Chebyshev acceleration (Saad, Iterative
// Methods, algorithm 12.1) written on x: step k adds alpha_k D^-1 r_k and
// beta_k (x_k - x_{k-1}).
std::vector<MultigridHierarchy::Step> ChebyshevSteps(double bound, int count) {
    const double low = kSmoothedFraction * bound, theta = (bound + low) / 2, delta = (bound - low) / 2,
                 sigma = theta / delta;
    std::vector<MultigridHierarchy::Step> steps{{1.0 / theta, 0.0}};
    double rho = 1.0 / sigma;
    for (int k = 1; k < count; ++k) {
        const double next = 1.0 / (2.0 * sigma - rho);
        steps.push_back({2.0 * next / delta, next * rho});
        rho = next;
    }
    return steps;
}

// The inverse of an SPD matrix by its Cholesky factor; empty when a pivot is
// not positive.
Doubles DenseInverse(const GridStencil& a) {
    const std::size_t n = static_cast<std::size_t>(a.Points());
    Doubles l(n * n, 0.0);
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            for (int tap = 0; tap < a.NumTaps(); ++tap)
                if (a.Reaches(tap, x, y)) {
                    const StencilOffset& o = a.Offset(tap);
                    l[static_cast<std::size_t>(PointIndex(a, x, y)) * n +
                      static_cast<std::size_t>(PointIndex(a, x + o.dx, y + o.dy))] += a.At(tap, x, y);
                }
    for (std::size_t j = 0; j < n; ++j) {
        double pivot = l[j * n + j];
        for (std::size_t k = 0; k < j; ++k) pivot -= l[j * n + k] * l[j * n + k];
        if (!(pivot > 0.0)) return {};
        l[j * n + j] = std::sqrt(pivot);
        for (std::size_t i = j + 1; i < n; ++i) {
            double v = l[i * n + j];
            for (std::size_t k = 0; k < j; ++k) v -= l[i * n + k] * l[j * n + k];
            l[i * n + j] = v / l[j * n + j];
        }
    }
    // Column c of the inverse: L y = e_c, then L^T x = y.
    Doubles inverse(n * n);
    Doubles column(n);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t i = 0; i < n; ++i) {
            double v = i == c ? 1.0 : 0.0;
            for (std::size_t k = c; k < i; ++k) v -= l[i * n + k] * column[k];
            column[i] = i < c ? 0.0 : v / l[i * n + i];
        }
        for (std::size_t i = n; i-- > 0;) {
            double v = column[i];
            for (std::size_t k = i + 1; k < n; ++k) v -= l[k * n + i] * column[k];
            column[i] = v / l[i * n + i];
        }
        for (std::size_t i = 0; i < n; ++i) inverse[i * n + c] = column[i];
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j)
            inverse[i * n + j] = inverse[j * n + i] = (inverse[i * n + j] + inverse[j * n + i]) / 2;
    return inverse;
}

// Entries finite, main diagonal positive, entry (n, m) equal to (m, n) within
// float rounding; then averaged with it, so that every level is exactly
// symmetric and the cycle with it.
bool Symmetrised(const GridStencil& a, GridStencil* out, std::string* reason) {
    const int centre = a.FindTap(0, 0);
    if (centre < 0) return Fail(reason, "the operator has no main diagonal");
    *out = a;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const double d = a.At(centre, x, y);
            if (!(d > 0.0) || !std::isfinite(d))
                return Fail(reason,
                            Format("main diagonal entry %lld (point %d, %d) is %g; multigrid needs every one "
                                   "positive and finite",
                                   PointIndex(a, x, y), x, y, d));
            for (int tap = 0; tap < a.NumTaps(); ++tap) {
                const StencilOffset& o = a.Offset(tap);
                const double v = a.At(tap, x, y);
                if (!std::isfinite(v))
                    return Fail(reason, Format("entry (%lld, %lld) is %g", PointIndex(a, x, y),
                                               PointIndex(a, x + o.dx, y + o.dy), v));
                if (!a.Reaches(tap, x, y)) continue;
                const int mirror = a.FindTap(-o.dx, -o.dy);
                const double w = mirror < 0 ? 0.0 : a.At(mirror, x + o.dx, y + o.dy);
                if (std::fabs(v - w) > 1e-6 * std::max(std::fabs(v), std::fabs(w)))
                    return Fail(
                        reason,
                        Format("the matrix is not symmetric: entry (%lld, %lld) is %g, entry (%lld, %lld) %g",
                               PointIndex(a, x, y), PointIndex(a, x + o.dx, y + o.dy), v,
                               PointIndex(a, x + o.dx, y + o.dy), PointIndex(a, x, y), w));
                out->Set(tap, x, y, (v + w) / 2);
            }
        }
    return true;
}

// dy W + dx for some dx, dy in -1..1.
bool IsGridOffset(long long offset, int width) {
    for (long long dy = -1; dy <= 1; ++dy)
        if (std::llabs(offset - dy * width) <= 1) return true;
    return false;
}

bool Coarsens(const GridStencil& a, const std::function<bool(int, int)>& holdsGrid) {
    return a.Points() > MultigridHierarchy::kCoarsestPoints && a.Width() >= 4 && a.Height() >= 4 &&
           holdsGrid(a.Width() / 2, a.Height() / 2);
}

}  // namespace

GridStencil CoarseOperator(const GridStencil& fine) {
    const int w = fine.Width() / 2, h = fine.Height() / 2;
    const std::vector<Parents> alongX = ParentsAlong(fine.Width(), w),
                               alongY = ParentsAlong(fine.Height(), h);
    std::vector<Doubles> taps(9, Doubles(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0.0));
    for (int y = 0; y < fine.Height(); ++y)
        for (int x = 0; x < fine.Width(); ++x) {
            const Parents &px = alongX[static_cast<std::size_t>(x)],
                          &py = alongY[static_cast<std::size_t>(y)];
            for (int tap = 0; tap < fine.NumTaps(); ++tap) {
                const double v = fine.At(tap, x, y);
                if (v == 0.0) continue;
                const StencilOffset& o = fine.Offset(tap);
                const Parents &qx = alongX[static_cast<std::size_t>(x + o.dx)],
                              &qy = alongY[static_cast<std::size_t>(y + o.dy)];
                // (R A P)_IJ = sum over fine pairs of R_I,f A_fg P_g,J, R = P^T / 4.
                for (int a = 0; a < py.count; ++a)
                    for (int b = 0; b < px.count; ++b) {
                        const double left = 0.25 * py.weight[a] * px.weight[b] * v;
                        const std::size_t row =
                            static_cast<std::size_t>(py.index[a]) * static_cast<std::size_t>(w) +
                            static_cast<std::size_t>(px.index[b]);
                        for (int c = 0; c < qy.count; ++c)
                            for (int d = 0; d < qx.count; ++d)
                                taps[static_cast<std::size_t>(NinePointTap(
                                    qx.index[d] - px.index[b], qy.index[c] - py.index[a]))][row] +=
                                    left * qy.weight[c] * qx.weight[d];
                    }
            }
        }
    GridStencil coarse(w, h, NinePoint());
    for (int tap = 0; tap < 9; ++tap)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                coarse.Set(tap, x, y,
                           taps[static_cast<std::size_t>(tap)][static_cast<std::size_t>(y * w + x)]);
    return coarse;
}

bool StencilOfBand(int width, int height, const std::vector<long long>& offsets,
                   const std::vector<std::vector<float>>& diagonals, GridStencil* stencil,
                   std::string* reason) {
    GridStencil result(width, height, NinePoint());
    const long long n = result.Points();
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        const long long d = offsets[k];
        for (long long row = 0; row < n; ++row) {
            const double v = diagonals[k][static_cast<std::size_t>(row)];
            if (v == 0.0) continue;
            const long long column = row + d;
            const int x = static_cast<int>(row % width), y = static_cast<int>(row / width);
            const long long dx = column - column / width * width - x, dy = column / width - y;
            if (column < 0 || column >= n || std::llabs(dx) > 1 || std::llabs(dy) > 1) {
                return Fail(
                    reason,
                    Format(
                        IsGridOffset(d, width)
                            ? "entry (%lld, %lld) of the diagonal of offset %lld couples across the grid's "
                              "edge"
                            : "entry (%lld, %lld) of the diagonal of offset %lld couples points that are not "
                              "grid neighbours; multigrid takes offsets within one point in x and y",
                        row, column, d));
            }
            const int tap = NinePointTap(static_cast<int>(dx), static_cast<int>(dy));
            result.Set(tap, x, y, result.At(tap, x, y) + v);
        }
    }
    *stencil = std::move(result);
    return true;
}

bool MultigridHierarchy::Build(const GridStencil& fine, const std::function<bool(int, int)>& holdsGrid,
                               std::string* reason) {
    m_levels.clear();
    m_coarsestInverse.clear();
    if (fine.Points() > kMaxPoints) {
        return Fail(reason,
                    Format("a grid of %lld points is larger than the %lld that the cycle's shaders index "
                           "exactly",
                           fine.Points(), kMaxPoints));
    }
    GridStencil finest;
    if (!Symmetrised(fine, &finest, reason)) return false;
    m_levels.push_back({std::move(finest), {}, 0.0, {}});
    while (Coarsens(m_levels.back().op, holdsGrid))
        m_levels.push_back({CoarseOperator(m_levels.back().op), {}, 0.0, {}});
    for (std::size_t l = 0; l < m_levels.size(); ++l) {
        Level& level = m_levels[l];
        const int centre = level.op.FindTap(0, 0);
        level.inverseDiagonal = level.op.Coefficients(centre);
        for (double& v : level.inverseDiagonal) v = 1.0 / v;
        level.bound = GershgorinBound(level.op, level.inverseDiagonal);
        // The fine bound is tight for diffusion operators; Galerkin operators
        // lose diagonal dominance and their bound with it.
        if (l > 0)
            level.bound =
                std::min(level.bound, kEstimateMargin * PowerEstimate(level.op, level.inverseDiagonal));
        const bool coarsest = l + 1 == m_levels.size();
        level.steps = ChebyshevSteps(level.bound, coarsest ? kCoarsestSweeps : kSweeps);
    }
    const GridStencil& coarsest = m_levels.back().op;
    if (coarsest.Points() <= kDirectSolveLimit) {
        m_coarsestInverse = DenseInverse(coarsest);
        if (m_coarsestInverse.empty()) {
            m_levels.clear();
            return Fail(reason,
                        "the coarsest grid's operator is not positive definite, so neither is the matrix");
        }
    }
    return true;
}
