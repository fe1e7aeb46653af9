// CgSolver::SolveRefined: double accuracy from float corrections.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "gpu/Framework.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/GpuVector.h"
#include "linalg/GridOperator.h"
#include "linalg/PackedVector.h"

namespace {

constexpr const char* kCall = "CgSolver::SolveRefined";

// The matrix in double on the host, by diagonals: (A x)[n] is the sum over
// them of entry n times x[n + offset], for columns inside the matrix.
class HostBand {
public:
    // A grid operator's stencil as it was built, in double; any other
    // matrix's diagonals as the GPU holds them, which float represents exactly.
    explicit HostBand(BandMatrix* matrix)
        : m_points(static_cast<long long>(matrix->Width()) * matrix->Height()) {
        if (const auto* grid = dynamic_cast<const GridOperator*>(matrix)) {
            const GridStencil& stencil = grid->Stencil();
            for (int tap = 0; tap < stencil.NumTaps(); ++tap)
                m_diagonals.push_back({stencil.ElementOffset(tap), stencil.Coefficients(tap)});
            return;
        }
        std::vector<float> entries(static_cast<size_t>(m_points));
        for (int index = 0; index < matrix->NumDiagonals(); ++index) {
            const int key = matrix->KeyAt(index);
            matrix->GetDiagonal(key)->GetData(entries.data(), entries.size());
            m_diagonals.push_back({key - m_points, std::vector<double>(entries.begin(), entries.end())});
        }
    }

    // r = b - A x; returns ||r||.
    double Residual(const std::vector<double>& b, const std::vector<double>& x,
                    std::vector<double>& r) const {
        r = b;
        for (const Diagonal& diagonal : m_diagonals) {
            const long long first = std::max(0LL, -diagonal.offset),
                            last = std::min(m_points, m_points - diagonal.offset);
            for (long long n = first; n < last; ++n)
                r[static_cast<size_t>(n)] -=
                    diagonal.entries[static_cast<size_t>(n)] * x[static_cast<size_t>(n + diagonal.offset)];
        }
        return Norm(r);
    }

    static double Norm(const std::vector<double>& v) {
        double sum = 0.0;
        for (double e : v) sum += e * e;
        return std::sqrt(sum);
    }

private:
    struct Diagonal {
        long long offset;
        std::vector<double> entries;
    };
    long long m_points;
    std::vector<Diagonal> m_diagonals;
};

std::vector<float> ToFloats(const std::vector<double>& values, double scale) {
    std::vector<float> floats(values.size());
    for (size_t n = 0; n < values.size(); ++n) floats[n] = static_cast<float>(values[n] * scale);
    return floats;
}

// Where the GPU skips what follows convergence, every iteration of a budget
// is issued, so a step's budget stays near what the steps need: each solves
// the same system to the same relative tolerance. Twice the last step's, and
// at least one read-back interval; the first step may take all that is left.
int StepBudget(int left, int previousStep) {
    if (previousStep < 0) return left;
    return std::min(left, std::max(2 * previousStep, kConvergenceReadBackInterval));
}

}  // namespace

CgSolver::RefinedSolveReport CgSolver::SolveRefined(const std::vector<double>& b, std::vector<double>& x,
                                                    double tolerance, int maxIterations) {
    RefinedSolveReport report;
    if (!CheckSolvable(kCall)) return report;
    const size_t n = static_cast<size_t>(m_pB->Size());
    if (b.size() != n || (!x.empty() && x.size() != n)) {
        Refuse(kCall, "b holds %zu values and x %zu, the %dx%d grid %zu", b.size(), x.size(), m_iWidth,
               m_iHeight, n);
        return report;
    }
    if (!(tolerance >= 0.0) || !std::isfinite(tolerance) || maxIterations < 0) {
        Refuse(kCall, "the tolerance %g is not finite and >= 0, or the budget %d is negative; nothing solved",
               tolerance, maxIterations);
        return report;
    }
    if (x.empty()) x.assign(n, 0.0);
    FrameworkFramebufferScope framebuffer;
    const HostBand matrix(m_pMatrix);
    const double rhsNorm = HostBand::Norm(b);
    std::vector<double> r(n), best = x;
    double residual = matrix.Residual(b, x, r);
    const auto relative = [&](double norm) { return rhsNorm > 0.0 ? norm / rhsNorm : norm; };
    report.relativeResidual = relative(residual);
    if (!std::isfinite(rhsNorm)) {
        report.stop = SolveStop::kNonFinite;
        return report;
    }
    if (rhsNorm == 0.0) {  // the exact solution, which no relative residual could reach
        x.assign(n, 0.0);
        residual = 0.0;
    }
    std::vector<float> correction(n);
    int previousStep = -1;
    while (true) {
        if (residual <= tolerance * rhsNorm) {
            report.stop = SolveStop::kConverged;
            break;
        }
        if (report.iterations >= maxIterations) {
            report.stop = SolveStop::kMaxIterations;
            break;
        }
        // The correction's right-hand side scaled to about 1, so that float
        // keeps its digits however small the residual has become.
        double largest = 0.0;
        for (double e : r) largest = std::max(largest, std::fabs(e));
        const std::vector<float> scaled = ToFloats(r, 1.0 / largest);
        m_pB->SetData(scaled.data(), scaled.size());
        m_pX->Fill(0.0f);
        const SolveReport step =
            SolveTo(kRefinementStepTolerance, StepBudget(maxIterations - report.iterations, previousStep));
        previousStep = step.iterations;
        ++report.steps;
        report.iterations += step.iterations;
        if (step.stop == SolveStop::kNonFinite || step.stop == SolveStop::kNotPositiveDefinite ||
            step.stop == SolveStop::kRefused) {
            report.stop = step.stop;
            break;
        }
        m_pX->GetData(correction.data(), correction.size());
        for (size_t i = 0; i < n; ++i) x[i] += largest * static_cast<double>(correction[i]);
        const double previous = residual;
        residual = matrix.Residual(b, x, r);
        if (!(residual <= 0.5 * previous)) {
            // Float corrections no longer help: keep the best x reached.
            if (!(residual <= previous)) x = best, residual = previous;
            report.stop = SolveStop::kStalled;
            break;
        }
        best = x;
    }
    report.relativeResidual = relative(residual);
    const std::vector<float> xf = ToFloats(x, 1.0), bf = ToFloats(b, 1.0);
    m_pX->SetData(xf.data(), xf.size());
    m_pB->SetData(bf.data(), bf.size());
    return report;
}
