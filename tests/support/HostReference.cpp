#include "support/HostReference.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace host {

double Dot(const Vector& a, const Vector& b) { return std::inner_product(a.begin(), a.end(), b.begin(), 0.0); }

Vector Band::Multiply(const Vector& x) const {
    Vector y(static_cast<size_t>(N()), 0.0);
    for (size_t k = 0; k < offsets.size(); ++k)
        for (int row = 0; row < N(); ++row) {
            const int column = row + offsets[k];
            if (column >= 0 && column < N())
                y[static_cast<size_t>(row)] += diagonals[k][static_cast<size_t>(row)] * x[static_cast<size_t>(column)];
        }
    return y;
}

Band WaveSystem(int w, int h, float e) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    Band band{w, h, {-w, -1, 0, 1, w}, std::vector<std::vector<float>>(5, std::vector<float>(n, -e))};
    std::fill(band.diagonals[2].begin(), band.diagonals[2].end(), 4.0f * e + 1.0f);
    for (size_t i = 0; i < n; ++i) {
        const int column = static_cast<int>(i % static_cast<size_t>(w));
        if (i < static_cast<size_t>(w)) band.diagonals[0][i] = 0;
        if (column == 0) band.diagonals[1][i] = 0;
        if (column == w - 1) band.diagonals[3][i] = 0;
        if (i + static_cast<size_t>(w) >= n) band.diagonals[4][i] = 0;
    }
    return band;
}

Band Diffusion(int w, int h, const std::function<double(double, double)>& k) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    Band band{w, h, {-w, -1, 0, 1, w}, std::vector<std::vector<float>>(5, std::vector<float>(n, 0.0f))};
    for (int row = 0; row < h; ++row)
        for (int column = 0; column < w; ++column) {
            const size_t i = static_cast<size_t>(row * w + column);
            const double x = (column + 0.5) / w, y = (row + 0.5) / h;
            const double faces[] = {k(x, y - 0.5 / h), k(x - 0.5 / w, y), 0, k(x + 0.5 / w, y), k(x, y + 0.5 / h)};
            const bool inside[] = {row > 0, column > 0, false, column < w - 1, row < h - 1};
            double diagonal = 0;
            for (int f = 0; f < 5; ++f) {
                diagonal += faces[f];
                if (inside[f]) band.diagonals[static_cast<size_t>(f)][i] = static_cast<float>(-faces[f]);
            }
            band.diagonals[2][i] = static_cast<float>(diagonal);
        }
    return band;
}

Vector Cg(const Band& a, const Vector& b, Vector x, int iterations) {
    Vector r = a.Multiply(x);
    for (size_t i = 0; i < r.size(); ++i) r[i] = b[i] - r[i];
    Vector p = r;
    double rho = Dot(r, r);
    for (int k = 0; k < iterations; ++k) {
        const Vector q = a.Multiply(p);
        const double pq = Dot(p, q), alpha = pq != 0 ? rho / pq : 0;
        for (size_t i = 0; i < x.size(); ++i) x[i] += alpha * p[i], r[i] -= alpha * q[i];
        const double rhoNew = Dot(r, r), beta = rho != 0 ? rhoNew / rho : 0;
        for (size_t i = 0; i < p.size(); ++i) p[i] = r[i] + beta * p[i];
        rho = rhoNew;
    }
    return x;
}

Solution Pcg(const Band& a, const Vector& b, Vector x, double tolerance, int maxIterations, bool jacobi) {
    const auto main = std::find(a.offsets.begin(), a.offsets.end(), 0) - a.offsets.begin();
    return Pcg(a, b, std::move(x), tolerance, maxIterations, [&](const Vector& r) {
        Vector z = r;
        if (jacobi)
            for (size_t i = 0; i < z.size(); ++i) z[i] /= a.diagonals[static_cast<size_t>(main)][i];
        return z;
    });
}

Solution Pcg(const Band& a, const Vector& b, Vector x, double tolerance, int maxIterations,
             const std::function<Vector(const Vector&)>& precondition) {
    Vector r = a.Multiply(x);
    for (size_t i = 0; i < r.size(); ++i) r[i] = b[i] - r[i];
    Vector z = precondition(r), p = z;
    double rho = Dot(r, z);
    const double bound = tolerance * tolerance * Dot(b, b);
    int k = 0;
    for (; k < maxIterations && Dot(r, r) > bound; ++k) {
        const Vector q = a.Multiply(p);
        const double alpha = rho / Dot(p, q);
        for (size_t i = 0; i < x.size(); ++i) x[i] += alpha * p[i], r[i] -= alpha * q[i];
        z = precondition(r);
        const double rhoNew = Dot(r, z);
        for (size_t i = 0; i < p.size(); ++i) p[i] = z[i] + rhoNew / rho * p[i];
        rho = rhoNew;
    }
    return {x, k};
}

double RelativeResidual(const Band& a, const Vector& b, const Vector& x) {
    Vector r = a.Multiply(x);
    for (size_t i = 0; i < r.size(); ++i) r[i] = b[i] - r[i];
    return std::sqrt(Dot(r, r) / Dot(b, b));
}

Vector ExplicitWaveStep(int w, int h, const Vector& current, const Vector& last, double p) {
    const auto at = [&](int x, int y) {
        return current[static_cast<size_t>(std::clamp(y, 0, h - 1) * w + std::clamp(x, 0, w - 1))];
    };
    Vector result(current.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t n = static_cast<size_t>(y * w + x);
            result[n] = p * (at(x + 1, y) + at(x - 1, y) + at(x, y + 1) + at(x, y - 1)) + (2 - 4 * p) * at(x, y) -
                        last[n];
        }
    return result;
}

void AdvanceFrame(int w, int h, float p, WaveState& state) {
    const Vector b = ExplicitWaveStep(w, h, state.current, state.last, p);
    state.solution = Cg(WaveSystem(w, h, p), b, state.solution, 2);
    state.last = state.current;
    state.current = state.solution;
}

}  // namespace host
