#include "CpuPeers.h"

// GCC 12 warns falsely in its own AVX-512 intrinsics (an undefined vector
// they start from on purpose) where IncompleteCholesky inlines them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cmath>
#include <utility>

#include "SceneWater.h"

namespace perf {

// The same float arithmetic as WaveSurface::SetParameters and
// WaveSystemMatrix::PreFactor.
float SceneWaveFactor() {
    const double c = kSceneWave.speed, dt = kSceneWave.timeStep, h = kSceneWave.spacingX;
    return static_cast<float>((c * c * dt * dt) / (2.0 * h * h));
}

namespace {

size_t Count(int width, int height) { return static_cast<size_t>(width) * static_cast<size_t>(height); }

class PlainFrame final : public CpuFrame {
public:
    PlainFrame(int width, int height)
        : w_(width),
          h_(height),
          n_(Count(width, height)),
          current_(n_),
          last_(n_),
          b_(n_),
          x_(n_),
          r_(n_),
          p_(n_),
          q_(n_),
          p0_(SceneWaveFactor()),
          e_(p0_) {}

    void Step() override {
        ExplicitStep();
        // The packed layout is a GPU matter: b is already the right-hand side.
        Solve();
        std::swap(last_, current_);
        std::copy(x_.begin(), x_.end(), current_.begin());
    }

    void SetState(const std::vector<float>& current, const std::vector<float>& last,
                  const std::vector<float>& solution) override {
        current_ = current;
        last_ = last;
        x_ = solution;
    }
    std::vector<float> Current() const override { return current_; }

private:
    // b = p (left + right + up + down) + (2 - 4p) u - last, a missing
    // neighbour reading the point itself.
    void ExplicitStep() {
        const float p = p0_, centre = 2.0f - 4.0f * p0_;
        const int w = w_;
        for (int j = 0; j < h_; ++j) {
            const float* u = &current_[static_cast<size_t>(j) * w];
            const float* down = j > 0 ? u - w : u;
            const float* up = j + 1 < h_ ? u + w : u;
            const float* v = &last_[static_cast<size_t>(j) * w];
            float* out = &b_[static_cast<size_t>(j) * w];
            out[0] = p * (u[1] + u[0] + up[0] + down[0]) + centre * u[0] - v[0];
            for (int i = 1; i < w - 1; ++i)
                out[i] = p * (u[i + 1] + u[i - 1] + up[i] + down[i]) + centre * u[i] - v[i];
            out[w - 1] = p * (u[w - 1] + u[w - 2] + up[w - 1] + down[w - 1]) + centre * u[w - 1] - v[w - 1];
        }
    }

    // out = A in over row j: (1 + 4e) on the diagonal, -e to each neighbour
    // that exists (no wrap at the row ends, none beyond the first and last row).
    // Returns in . out over the row.
    double ApplyRow(const float* in, float* out, int j) const {
        const int w = w_;
        const float e = e_, diagonal = 1.0f + 4.0f * e_;
        const float* row = in + static_cast<size_t>(j) * w;
        float* result = out + static_cast<size_t>(j) * w;
        const float* down = j > 0 ? row - w : nullptr;
        const float* up = j + 1 < h_ ? row + w : nullptr;
        double dot = 0.0;
        for (int i = 0; i < w; ++i) {
            float neighbours = 0.0f;
            if (i > 0) neighbours += row[i - 1];
            if (i + 1 < w) neighbours += row[i + 1];
            if (down) neighbours += down[i];
            if (up) neighbours += up[i];
            result[i] = diagonal * row[i] - e * neighbours;
        }
#pragma omp simd reduction(+ : dot)
        for (int i = 0; i < w; ++i) dot += static_cast<double>(row[i]) * result[i];
        return dot;
    }

    // Interior rows without the edge tests, the common case.
    double ApplyInteriorRow(const float* in, float* out, int j) const {
        const int w = w_;
        const float e = e_, diagonal = 1.0f + 4.0f * e_;
        const float* row = in + static_cast<size_t>(j) * w;
        const float* down = row - w;
        const float* up = row + w;
        float* result = out + static_cast<size_t>(j) * w;
        result[0] = diagonal * row[0] - e * (row[1] + down[0] + up[0]);
        double dot = static_cast<double>(row[0]) * result[0];
#pragma omp simd reduction(+ : dot)
        for (int i = 1; i < w - 1; ++i) {
            const float value = diagonal * row[i] - e * (row[i - 1] + row[i + 1] + down[i] + up[i]);
            result[i] = value;
            dot += static_cast<double>(row[i]) * value;
        }
        result[w - 1] = diagonal * row[w - 1] - e * (row[w - 2] + down[w - 1] + up[w - 1]);
        dot += static_cast<double>(row[w - 1]) * result[w - 1];
        return dot;
    }

    // out = A in; returns in . out.
    double Apply(const std::vector<float>& in, std::vector<float>& out) const {
        double dot = ApplyRow(in.data(), out.data(), 0);
        for (int j = 1; j < h_ - 1; ++j) dot += ApplyInteriorRow(in.data(), out.data(), j);
        if (h_ > 1) dot += ApplyRow(in.data(), out.data(), h_ - 1);
        return dot;
    }

    static float SafeQuotient(double a, double b) {
        const float fa = static_cast<float>(a), fb = static_cast<float>(b);
        return fb != 0.0f ? fa / fb : 0.0f;
    }

    void Solve() {
        const size_t n = n_;
        float* r = r_.data();
        float* p = p_.data();
        float* x = x_.data();
        float* q = q_.data();
        const float* b = b_.data();
        Apply(x_, r_);  // r = A x
        double rho = 0.0;
#pragma omp simd reduction(+ : rho)
        for (size_t i = 0; i < n; ++i) {
            const float residual = b[i] - r[i];
            r[i] = residual;
            p[i] = residual;
            rho += static_cast<double>(residual) * residual;
        }
        for (int iteration = 0; iteration < kIterationsPerFrame; ++iteration) {
            const double pq = Apply(p_, q_);
            const float alpha = SafeQuotient(rho, pq);
            double rhoNew = 0.0;
#pragma omp simd reduction(+ : rhoNew)
            for (size_t i = 0; i < n; ++i) {
                x[i] += alpha * p[i];
                const float residual = r[i] - alpha * q[i];
                r[i] = residual;
                rhoNew += static_cast<double>(residual) * residual;
            }
            const float beta = SafeQuotient(rhoNew, rho);
#pragma omp simd
            for (size_t i = 0; i < n; ++i) p[i] = r[i] + beta * p[i];
            rho = rhoNew;
        }
    }

    int w_, h_;
    size_t n_;
    std::vector<float> current_, last_, b_, x_, r_, p_, q_;
    float p0_, e_;
};

using SparseMatrix = Eigen::SparseMatrix<float, Eigen::RowMajor>;

// Row n = j*w + i gets `centre(missing neighbours)` on the diagonal and
// `neighbour` towards each grid neighbour that exists.
template <typename Centre>
SparseMatrix FivePointMatrix(int w, int h, Centre centre, float neighbour) {
    std::vector<Eigen::Triplet<float>> entries;
    entries.reserve(Count(w, h) * 5);
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            const int n = j * w + i;
            int missing = 0;
            auto link = [&](bool exists, int column) {
                if (exists)
                    entries.emplace_back(n, column, neighbour);
                else
                    ++missing;
            };
            link(j > 0, n - w);
            link(i > 0, n - 1);
            link(i + 1 < w, n + 1);
            link(j + 1 < h, n + w);
            entries.emplace_back(n, n, centre(missing));
        }
    }
    SparseMatrix matrix(static_cast<Eigen::Index>(Count(w, h)), static_cast<Eigen::Index>(Count(w, h)));
    matrix.setFromTriplets(entries.begin(), entries.end());
    matrix.makeCompressed();
    return matrix;
}

class EigenFrame final : public CpuFrame {
public:
    EigenFrame(int width, int height) {
        const auto n = static_cast<Eigen::Index>(Count(width, height));
        const float p = SceneWaveFactor(), e = p;
        // A clamped edge reads the point itself: its missing neighbours add
        // to the centre.
        explicitStep_ = FivePointMatrix(
            width, height, [p](int missing) { return 2.0f - 4.0f * p + p * missing; }, p);
        system_ = FivePointMatrix(
            width, height, [e](int) { return 1.0f + 4.0f * e; }, -e);
        solver_.setMaxIterations(kIterationsPerFrame);
        solver_.setTolerance(0.0f);
        solver_.compute(system_);
        current_.setZero(n);
        last_.setZero(n);
        b_.setZero(n);
        x_.setZero(n);
    }

    void Step() override {
        b_.noalias() = explicitStep_ * current_;
        b_ -= last_;
        x_ = solver_.solveWithGuess(b_, x_);
        last_.swap(current_);
        current_ = x_;
    }

    void SetState(const std::vector<float>& current, const std::vector<float>& last,
                  const std::vector<float>& solution) override {
        current_ = Map(current);
        last_ = Map(last);
        x_ = Map(solution);
    }
    std::vector<float> Current() const override {
        return {current_.data(), current_.data() + current_.size()};
    }

private:
    static Eigen::Map<const Eigen::VectorXf> Map(const std::vector<float>& values) {
        return {values.data(), static_cast<Eigen::Index>(values.size())};
    }

    SparseMatrix explicitStep_;
    SparseMatrix system_;
    Eigen::ConjugateGradient<SparseMatrix, Eigen::Lower | Eigen::Upper, Eigen::IdentityPreconditioner>
        solver_;
    Eigen::VectorXf current_, last_, b_, x_;
};

// ||b - A x|| / ||b|| in double, by hand: GCC 12 warns falsely inside
// Eigen's AVX-512 reductions of doubles.
template <typename Solution>
double RelativeResidual(const SparseMatrix& matrix, const Eigen::VectorXf& b, const Solution& x) {
    double rr = 0.0, bb = 0.0;
    for (Eigen::Index row = 0; row < matrix.outerSize(); ++row) {
        double r = b[row];
        for (SparseMatrix::InnerIterator entry(matrix, row); entry; ++entry)
            r -= static_cast<double>(entry.value()) * static_cast<double>(x[entry.col()]);
        rr += r * r;
        bb += static_cast<double>(b[row]) * b[row];
    }
    return std::sqrt(rr / bb);
}

// The system as Eigen holds it.
class EigenSystem : public CpuToleranceSolve {
public:
    EigenSystem(const std::vector<int>& offsets, const std::vector<std::vector<float>>& diagonals,
                const std::vector<float>& b)
        : b_(Eigen::Map<const Eigen::VectorXf>(b.data(), static_cast<Eigen::Index>(b.size()))) {
        const Eigen::Index n = b_.size();
        std::vector<Eigen::Triplet<float>> entries;
        for (size_t k = 0; k < offsets.size(); ++k)
            for (Eigen::Index row = 0; row < n; ++row) {
                const Eigen::Index column = row + offsets[k];
                const float value = diagonals[k][static_cast<size_t>(row)];
                if (column >= 0 && column < n && value != 0.0f) entries.emplace_back(row, column, value);
            }
        matrix_.resize(n, n);
        matrix_.setFromTriplets(entries.begin(), entries.end());
        matrix_.makeCompressed();
    }

protected:
    SparseMatrix matrix_;
    Eigen::VectorXf b_;
};

// Conjugate gradients in float, or in double for tolerances float cannot
// reach, on a copy of the system made with it, untimed.
template <typename Preconditioner, typename Real = float>
class EigenCg final : public EigenSystem {
    using Rows = Eigen::SparseMatrix<Real, Eigen::RowMajor>;
    using Vector = Eigen::Matrix<Real, Eigen::Dynamic, 1>;

public:
    EigenCg(const std::vector<int>& offsets, const std::vector<std::vector<float>>& diagonals,
            const std::vector<float>& b)
        : EigenSystem(offsets, diagonals, b), rows_(matrix_.cast<Real>()), rhs_(b_.cast<Real>()) {}

    void Setup() override { solver_.compute(rows_); }
    int Solve(float tolerance) override {
        solver_.setTolerance(tolerance);
        x_ = solver_.solveWithGuess(rhs_, Vector::Zero(rhs_.size()));
        return static_cast<int>(solver_.iterations());
    }
    bool Iterative() const override { return true; }
    bool Converged() const override { return solver_.info() == Eigen::Success; }
    double TrueResidual() const override { return RelativeResidual(matrix_, b_, x_); }
    std::vector<double> Solution() const override { return {x_.data(), x_.data() + x_.size()}; }

private:
    Rows rows_;
    Vector rhs_, x_;
    Eigen::ConjugateGradient<Rows, Eigen::Lower | Eigen::Upper, Preconditioner> solver_;
};

// In double: factorised in float, the solution stays above a tolerance of
// 1e-5 from 512 x 512 on (3e-5 on Poisson). The factorisation works on the
// lower triangle of a column-major copy, made with the system, untimed.
class EigenLdlt final : public EigenSystem {
public:
    EigenLdlt(const std::vector<int>& offsets, const std::vector<std::vector<float>>& diagonals,
              const std::vector<float>& b)
        : EigenSystem(offsets, diagonals, b), columns_(matrix_.cast<double>()), rhs_(b_.cast<double>()) {}

    void Setup() override { solver_.compute(columns_); }
    int Solve(float tolerance) override {
        tolerance_ = tolerance;
        x_ = solver_.solve(rhs_);
        return 0;
    }
    bool Iterative() const override { return false; }
    bool Converged() const override {
        return solver_.info() == Eigen::Success && TrueResidual() <= tolerance_;
    }
    double TrueResidual() const override { return RelativeResidual(matrix_, b_, x_); }
    std::vector<double> Solution() const override { return {x_.data(), x_.data() + x_.size()}; }

private:
    Eigen::SparseMatrix<double> columns_;
    Eigen::VectorXd rhs_, x_;
    Eigen::SimplicialLDLT<Eigen::SparseMatrix<double>> solver_;
    float tolerance_ = 0.0f;
};

}  // namespace

std::unique_ptr<CpuToleranceSolve> MakeEigenToleranceSolve(const std::vector<int>& offsets,
                                                           const std::vector<std::vector<float>>& diagonals,
                                                           const std::vector<float>& b, EigenSolver solver) {
    switch (solver) {
        case EigenSolver::kPlainCg:
            return std::make_unique<EigenCg<Eigen::IdentityPreconditioner>>(offsets, diagonals, b);
        case EigenSolver::kDiagonalCg:
            return std::make_unique<EigenCg<Eigen::DiagonalPreconditioner<float>>>(offsets, diagonals, b);
        case EigenSolver::kIncompleteCholeskyCg:
            return std::make_unique<EigenCg<Eigen::IncompleteCholesky<float>>>(offsets, diagonals, b);
        case EigenSolver::kIncompleteCholeskyNaturalCg:
            return std::make_unique<
                EigenCg<Eigen::IncompleteCholesky<float, Eigen::Lower, Eigen::NaturalOrdering<int>>>>(
                offsets, diagonals, b);
        case EigenSolver::kLdlt: return std::make_unique<EigenLdlt>(offsets, diagonals, b);
        case EigenSolver::kIncompleteCholeskyCgDouble:
            return std::make_unique<EigenCg<Eigen::IncompleteCholesky<double>, double>>(offsets, diagonals, b);
        case EigenSolver::kIncompleteCholeskyNaturalCgDouble:
            return std::make_unique<
                EigenCg<Eigen::IncompleteCholesky<double, Eigen::Lower, Eigen::NaturalOrdering<int>>, double>>(
                offsets, diagonals, b);
    }
    return nullptr;
}

std::unique_ptr<CpuFrame> MakePlainFrame(int width, int height) {
    return std::make_unique<PlainFrame>(width, height);
}

std::unique_ptr<CpuFrame> MakeEigenFrame(int width, int height) {
    return std::make_unique<EigenFrame>(width, height);
}

}  // namespace perf
