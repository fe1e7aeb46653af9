#pragma once

// The maths the library and the demo compute, written plainly in double on
// the host: what the GPU's results are held against in every test.
#include <functional>
#include <vector>

namespace host {

using Vector = std::vector<double>;

double Dot(const Vector& a, const Vector& b);

// A square band matrix over a w x h grid: entry n of the diagonal of offset d
// is row n, column n + d. Entries are floats, as uploaded to the GPU.
struct Band {
    int w, h;
    std::vector<int> offsets;
    std::vector<std::vector<float>> diagonals;

    int N() const { return w * h; }
    Vector Multiply(const Vector& x) const;
};

// The demo's implicit system: 1 + 4e on the diagonal, -e towards the grid
// neighbours that exist, as float entries.
Band WaveSystem(int w, int h, float e);

// The five-point operator of -div(k grad u) on a w x h grid of unit cells
// with u = 0 around it: each cell face couples its two sides with k at the
// face's midpoint (in the unit square). k = 1 gives the Poisson matrix, 4 on
// the diagonal and -1 towards each neighbour.
Band Diffusion(int w, int h, const std::function<double(double x, double y)>& k);

// Conjugate gradients restarted from x for a fixed number of iterations; a
// zero denominator gives a zero step, as on the GPU.
Vector Cg(const Band& a, const Vector& b, Vector x, int iterations);

// Conjugate gradients from x until ||r|| <= tolerance ||b||, or maxIterations;
// jacobi preconditions with the main diagonal (offset 0).
struct Solution {
    Vector x;
    int iterations;
};
Solution Pcg(const Band& a, const Vector& b, Vector x, double tolerance, int maxIterations, bool jacobi);
// The same with z = M^-1 r given.
Solution Pcg(const Band& a, const Vector& b, Vector x, double tolerance, int maxIterations,
             const std::function<Vector(const Vector&)>& precondition);

// ||b - A x|| / ||b||.
double RelativeResidual(const Band& a, const Vector& b, const Vector& x);

// The explicit half of the demo's wave step: p * (the four neighbours) +
// (2 - 4p) u - v, a neighbour outside the grid reading the nearest edge point.
Vector ExplicitWaveStep(int w, int h, const Vector& current, const Vector& last, double p);

// One simulation frame of the demo: the explicit step, two CG iterations from
// the last solution on the wave system, then the shift of the time levels.
struct WaveState {
    Vector current, last, solution;
};
void AdvanceFrame(int w, int h, float p, WaveState& state);

}  // namespace host
