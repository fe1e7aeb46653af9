// The benchmarks time the demo's frame beside two CPU peers; a peer that
// computed something else would make the comparison meaningless. Both follow
// the host scheme in double that the demo's own frame is held against in its
// tests, on a grid that is not square (a row and column mix-up shows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

#include "CpuPeers.h"
#include "SceneWater.h"
#include "support/HostReference.h"

namespace {

double LargestDifference(const std::vector<float>& a, const host::Vector& b) {
    double largest = 0.0;
    for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::fabs(a[i] - b[i]));
    return largest;
}

// Heights of order one, rounded in float by the peers: after 20 frames they
// are about 1.5e-5 off the double scheme. A CG iteration more or less, or a
// wrong edge rule, is off by 3e-2 or more.
TEST(CpuPeerTest, BothPeersFollowTheHostScheme) {
    constexpr int kWidth = 48, kHeight = 32, kFrames = 20;
    const perf::WaterState start = perf::RipplingWater(kWidth, kHeight);
    host::WaveState expected{{start.current.begin(), start.current.end()},
                             {start.last.begin(), start.last.end()},
                             {start.solution.begin(), start.solution.end()}};
    for (int frame = 0; frame < kFrames; ++frame)
        host::AdvanceFrame(kWidth, kHeight, perf::SceneWaveFactor(), expected);
    ASSERT_GT(LargestDifference(start.current, expected.current), 0.1) << "the water should move";

    for (auto make : {perf::MakePlainFrame, perf::MakeEigenFrame}) {
        const std::unique_ptr<perf::CpuFrame> peer = make(kWidth, kHeight);
        peer->SetState(start.current, start.last, start.solution);
        for (int frame = 0; frame < kFrames; ++frame) peer->Step();
        EXPECT_LE(LargestDifference(peer->Current(), expected.current), 1e-4)
            << (make == perf::MakePlainFrame ? "plain loops" : "Eigen");
    }
}

// The solvers to a tolerance, each on the layered system of a grid that is
// not square (conductivity rising a hundredfold across it), held against
// the host: the residual of the solution returned, formed from the host's own
// matrix, within the tolerance; conjugate gradients as many iterations as
// the host's in double, or, incompletely factorised, fewer than Jacobi's.
struct TolerancePeer {
    const char* name;
    perf::EigenSolver solver;
    double residualBound;  // of the solution, relative
};

void PrintTo(const TolerancePeer& peer, std::ostream* out) { *out << peer.name; }

class TolerancePeerTest : public ::testing::TestWithParam<TolerancePeer> {};

constexpr float kTolerance = 1e-5f;

TEST_P(TolerancePeerTest, SolvesTheSystemGivenToTheTolerance) {
    const host::Band a = host::Diffusion(48, 32, [](double x, double) { return std::pow(10.0, 2.0 * x); });
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> draw(-6, 6);
    std::vector<float> b(static_cast<size_t>(a.N()));
    for (float& v : b) v = static_cast<float>(draw(rng)) * 0.25f;
    const host::Vector bd(b.begin(), b.end()), zero(b.size(), 0.0);
    const auto peer = perf::MakeEigenToleranceSolve(a.offsets, a.diagonals, b, GetParam().solver);
    peer->Setup();
    const int iterations = peer->Solve(kTolerance);
    const double residual = host::RelativeResidual(a, bd, peer->Solution());
    EXPECT_TRUE(peer->Converged());
    EXPECT_LE(residual, GetParam().residualBound);
    EXPECT_NEAR(peer->TrueResidual(), residual, 1e-3 * residual + 1e-13);
    const int jacobi = host::Pcg(a, bd, zero, kTolerance, a.N(), true).iterations;
    switch (GetParam().solver) {
        case perf::EigenSolver::kPlainCg: {
            const int plain = host::Pcg(a, bd, zero, kTolerance, a.N(), false).iterations;
            EXPECT_NEAR(iterations, plain, 0.05 * plain);  // float32 drifts over hundreds of iterations
            break;
        }
        case perf::EigenSolver::kDiagonalCg: EXPECT_NEAR(iterations, jacobi, 3); break;
        case perf::EigenSolver::kIncompleteCholeskyCg:
        case perf::EigenSolver::kIncompleteCholeskyNaturalCg:
        case perf::EigenSolver::kIncompleteCholeskyCgDouble:
        case perf::EigenSolver::kIncompleteCholeskyNaturalCgDouble: EXPECT_LT(iterations, jacobi / 2); break;
        case perf::EigenSolver::kLdlt: EXPECT_EQ(iterations, 0); break;
    }
}

// Float iterates end a little above the recursive residual Eigen stops on;
// the direct solve works in double.
INSTANTIATE_TEST_SUITE_P(
    Solvers, TolerancePeerTest,
    ::testing::Values(TolerancePeer{"PlainCg", perf::EigenSolver::kPlainCg, 2 * kTolerance},
                      TolerancePeer{"DiagonalCg", perf::EigenSolver::kDiagonalCg, 2 * kTolerance},
                      TolerancePeer{"IncompleteCholeskyCg", perf::EigenSolver::kIncompleteCholeskyCg, 2 * kTolerance},
                      TolerancePeer{"IncompleteCholeskyNaturalCg", perf::EigenSolver::kIncompleteCholeskyNaturalCg,
                                    2 * kTolerance},
                      TolerancePeer{"IncompleteCholeskyCgDouble", perf::EigenSolver::kIncompleteCholeskyCgDouble,
                                    kTolerance},
                      TolerancePeer{"IncompleteCholeskyNaturalCgDouble",
                                    perf::EigenSolver::kIncompleteCholeskyNaturalCgDouble, kTolerance},
                      TolerancePeer{"Ldlt", perf::EigenSolver::kLdlt, 1e-12}),
    [](const ::testing::TestParamInfo<TolerancePeer>& info) { return info.param.name; });

}  // namespace
