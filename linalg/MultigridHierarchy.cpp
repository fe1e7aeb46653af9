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

// Along one side: for a fine coordinate x and a tap step dx, each pair of a
// coarse point I that x interpolates from and a coarse point J that x + dx
// interpolates from, with the product of the two weights. Bilinear
// interpolation gives a fine point on a coarse one that point's value, the
// others the mean of the two around them (one at the grid's edge).
struct Pairs {
    int count = 0;
    int from[4] = {0, 0, 0, 0};
    int to[4] = {0, 0, 0, 0};
    double weight[4] = {0.0, 0.0, 0.0, 0.0};
};

struct Parents {
    int count = 0;
    int index[2] = {0, 0};
    double weight[2] = {0.0, 0.0};
};

Parents ParentsOf(int x, int coarse) {
    Parents p;
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
    return p;
}

// Indexed by dx + 1, then x; empty where x + dx leaves the side.
std::vector<std::vector<Pairs>> PairsAlong(int fine, int coarse) {
    std::vector<std::vector<Pairs>> all(3, std::vector<Pairs>(static_cast<std::size_t>(fine)));
    for (int dx = -1; dx <= 1; ++dx)
        for (int x = 0; x < fine; ++x) {
            if (x + dx < 0 || x + dx >= fine) continue;
            Pairs& pairs = all[static_cast<std::size_t>(dx + 1)][static_cast<std::size_t>(x)];
            const Parents from = ParentsOf(x, coarse), to = ParentsOf(x + dx, coarse);
            for (int a = 0; a < from.count; ++a)
                for (int b = 0; b < to.count; ++b) {
                    pairs.from[pairs.count] = from.index[a];
                    pairs.to[pairs.count] = to.index[b];
                    pairs.weight[pairs.count++] = from.weight[a] * to.weight[b];
                }
        }
    return all;
}

long long PointIndex(const GridStencil& a, int x, int y) { return static_cast<long long>(y) * a.Width() + x; }

std::size_t At(long long n) { return static_cast<std::size_t>(n); }

// y = A u over the coefficient arrays; a tap reaching outside the grid holds
// 0 there and is skipped.
void ApplyOperator(const GridStencil& a, const Doubles& u, Doubles& y) {
    std::fill(y.begin(), y.end(), 0.0);
    for (int tap = 0; tap < a.NumTaps(); ++tap) {
        const StencilOffset& o = a.Offset(tap);
        const Doubles& c = a.Coefficients(tap);
        const long long offset = a.ElementOffset(tap);
        const int x0 = std::max(0, -o.dx), x1 = std::min(a.Width(), a.Width() - o.dx);
        const int y0 = std::max(0, -o.dy), y1 = std::min(a.Height(), a.Height() - o.dy);
        for (int row = y0; row < y1; ++row)
            for (long long n = PointIndex(a, x0, row), end = PointIndex(a, x1, row); n < end; ++n)
                y[At(n)] += c[At(n)] * u[At(n + offset)];
    }
}

// max over rows of sum |a_ij| / a_ii: no eigenvalue of D^-1 A lies above it.
double GershgorinBound(const GridStencil& a, const Doubles& inverseDiagonal) {
    Doubles rows(inverseDiagonal.size(), 0.0);
    for (int tap = 0; tap < a.NumTaps(); ++tap)
        for (std::size_t n = 0; n < rows.size(); ++n) rows[n] += std::fabs(a.Coefficients(tap)[n]);
    double bound = 0.0;
    for (std::size_t n = 0; n < rows.size(); ++n) bound = std::max(bound, rows[n] * inverseDiagonal[n]);
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
        ApplyOperator(a, u, au);
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
    const std::size_t n = At(a.Points());
    Doubles l(n * n, 0.0);
    for (int tap = 0; tap < a.NumTaps(); ++tap)
        for (std::size_t row = 0; row < n; ++row)
            if (a.Coefficients(tap)[row] != 0.0)
                l[row * n + At(static_cast<long long>(row) + a.ElementOffset(tap))] +=
                    a.Coefficients(tap)[row];
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
    Doubles inverse(n * n), column(n);
    for (std::size_t c = 0; c < n; ++c) {
        std::fill(column.begin(), column.end(), 0.0);
        for (std::size_t i = c; i < n; ++i) {
            double v = i == c ? 1.0 : 0.0;
            for (std::size_t k = c; k < i; ++k) v -= l[i * n + k] * column[k];
            column[i] = v / l[i * n + i];
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

// Taps within one point in x and y, entries finite, the main diagonal
// positive, entry (n, m) equal to (m, n) within float rounding; then averaged
// with it, so that every level is exactly symmetric and the cycle with it.
bool Symmetrised(const GridStencil& a, GridStencil* out, std::string* reason) {
    const int centre = a.FindTap(0, 0);
    if (centre < 0) return Fail(reason, "the operator has no main diagonal");
    std::vector<int> mirror;
    for (int tap = 0; tap < a.NumTaps(); ++tap) {
        const StencilOffset& o = a.Offset(tap);
        const Doubles& c = a.Coefficients(tap);
        if ((std::abs(o.dx) > 1 || std::abs(o.dy) > 1) &&
            std::any_of(c.begin(), c.end(), [](double v) { return v != 0.0; }))
            return Fail(reason,
                        Format("tap (%d, %d) reaches past a point's neighbours; multigrid takes taps within "
                               "one point in x and y",
                               o.dx, o.dy));
        mirror.push_back(a.FindTap(-o.dx, -o.dy));
    }
    *out = a;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const long long n = PointIndex(a, x, y);
            const double d = a.Coefficients(centre)[At(n)];
            if (!(d > 0.0) || !std::isfinite(d))
                return Fail(reason,
                            Format("main diagonal entry %lld (point %d, %d) is %g; multigrid needs every one "
                                   "positive and finite",
                                   n, x, y, d));
            for (int tap = 0; tap < a.NumTaps(); ++tap) {
                const double v = a.Coefficients(tap)[At(n)];
                if (v == 0.0) continue;
                const long long m = n + a.ElementOffset(tap);
                if (!std::isfinite(v)) return Fail(reason, Format("entry (%lld, %lld) is %g", n, m, v));
                const double w = mirror[At(tap)] < 0 ? 0.0 : a.Coefficients(mirror[At(tap)])[At(m)];
                if (std::fabs(v - w) > 1e-6 * std::max(std::fabs(v), std::fabs(w)))
                    return Fail(reason,
                                Format("the matrix is not symmetric: entry (%lld, %lld) is %g, entry (%lld, "
                                       "%lld) %g",
                                       n, m, v, m, n, w));
                if (v != w) out->Set(tap, x, y, (v + w) / 2);
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

bool Coarsens(const GridStencil& a) {
    return a.Points() > MultigridHierarchy::kCoarsestPoints && a.Width() >= 4 && a.Height() >= 4;
}

// A stencil of the nine-point taps that hold a coefficient (empty: none);
// the main diagonal always.
GridStencil FromNinePoint(int width, int height, std::vector<Doubles> taps) {
    const int centre = NinePointTap(0, 0);
    if (taps[At(centre)].empty()) taps[At(centre)].assign(At(static_cast<long long>(width) * height), 0.0);
    std::vector<StencilOffset> offsets;
    std::vector<Doubles> used;
    for (int tap = 0; tap < 9; ++tap) {
        if (taps[At(tap)].empty()) continue;
        offsets.push_back(NinePoint()[At(tap)]);
        used.push_back(std::move(taps[At(tap)]));
    }
    GridStencil stencil(width, height, offsets);
    for (std::size_t t = 0; t < used.size(); ++t)
        stencil.SetCoefficients(static_cast<int>(t), std::move(used[t]));
    return stencil;
}

}  // namespace

// (R A P)_IJ = sum over fine pairs (f, g) of R_If A_fg P_gJ with R = P^T / 4,
// P a product of its two sides: each fine entry adds to the coarse entries of
// its parents' pairs.
GridStencil CoarseOperator(const GridStencil& fine) {
    const int w = fine.Width() / 2, h = fine.Height() / 2;
    const auto alongX = PairsAlong(fine.Width(), w), alongY = PairsAlong(fine.Height(), h);
    std::vector<Doubles> taps(9, Doubles(At(static_cast<long long>(w) * h), 0.0));
    for (int tap = 0; tap < fine.NumTaps(); ++tap) {
        const StencilOffset& o = fine.Offset(tap);
        if (std::abs(o.dx) > 1 || std::abs(o.dy) > 1) continue;  // all 0: Symmetrised refused any other
        const Doubles& c = fine.Coefficients(tap);
        const std::vector<Pairs>& xs = alongX[At(o.dx + 1)];
        for (int y = 0; y < fine.Height(); ++y) {
            const Pairs& py = alongY[At(o.dy + 1)][At(y)];
            const double* row = c.data() + PointIndex(fine, 0, y);
            for (int x = 0; x < fine.Width(); ++x) {
                if (row[x] == 0.0) continue;  // so is every tap reaching past the grid
                const Pairs& px = xs[At(x)];
                for (int a = 0; a < py.count; ++a) {
                    const double v = 0.25 * py.weight[a] * row[x];
                    const int tapRow = 3 * (py.to[a] - py.from[a] + 1) + 1;
                    const std::size_t coarseRow = At(static_cast<long long>(py.from[a]) * w);
                    for (int b = 0; b < px.count; ++b)
                        taps[At(tapRow + px.to[b] - px.from[b])][coarseRow + At(px.from[b])] +=
                            v * px.weight[b];
                }
            }
        }
    }
    GridStencil coarse(w, h, NinePoint());
    for (int tap = 0; tap < 9; ++tap) coarse.SetCoefficients(tap, std::move(taps[At(tap)]));
    return coarse;
}

bool StencilOfBand(int width, int height, const std::vector<long long>& offsets,
                   const std::vector<std::vector<float>>& diagonals, GridStencil* stencil,
                   std::string* reason) {
    const long long n = static_cast<long long>(width) * height;
    std::vector<Doubles> taps(9);  // allocated by the first entry of the tap
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        // d = q W + r with 0 <= r < W: point (x, y) reaches (x + r, y + q)
        // while x + r < W, else (x + r - W, y + q + 1).
        const long long d = offsets[k], q = d >= 0 ? d / width : -((-d + width - 1) / width),
                        r = d - q * width;
        const float* diagonal = diagonals[k].data();
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const long long row = static_cast<long long>(y) * width + x, column = row + d;
                const double v = diagonal[row];
                if (v == 0.0) continue;
                const long long dy = x + r < width ? q : q + 1, dx = x + r < width ? r : r - width;
                if (column < 0 || column >= n || std::llabs(dx) > 1 || std::llabs(dy) > 1)
                    return Fail(
                        reason,
                        Format(IsGridOffset(d, width)
                                   ? "entry (%lld, %lld) of the diagonal of offset %lld couples across "
                                     "the grid's edge"
                                   : "entry (%lld, %lld) of the diagonal of offset %lld couples points "
                                     "that are not grid neighbours; multigrid takes offsets within one "
                                     "point in x and y",
                               row, column, d));
                Doubles& tap = taps[At(NinePointTap(static_cast<int>(dx), static_cast<int>(dy)))];
                if (tap.empty()) tap.assign(At(n), 0.0);
                tap[At(row)] += v;
            }
    }
    *stencil = FromNinePoint(width, height, std::move(taps));
    return true;
}

bool MultigridHierarchy::Build(const GridStencil& fine, std::string* reason) {
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
    while (Coarsens(m_levels.back().op))
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
        level.steps = ChebyshevSteps(level.bound, coarsest ? kCoarsestSweeps
                                                  : l == 0 ? kSweeps
                                                           : kCoarseSweeps);
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
