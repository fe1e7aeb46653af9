// The benchmarks time the demo's frame beside two CPU peers; a peer that
// computed something else would make the comparison meaningless. Both follow
// the host scheme in double that the demo's own frame is held against in its
// tests, on a grid that is not square (a row and column mix-up shows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

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

}  // namespace
