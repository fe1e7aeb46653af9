// The framework's frame, the plain-loop peer and the Eigen peer compute the
// same water: from one state, after a run of frames, their heights agree to
// float rounding. And the benchmarks' rebuilt frame is the scene's own frame:
// at 512 x 512 the two give identical texels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "CpuPeers.h"
#include "GpuFrame.h"
#include "PassCounter.h"
#include "WorkModel.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace {

// Every implementation rounds its own way (fused multiply-adds in the GL
// JIT, summation orders in the inner products): over 25 frames the heights,
// of order one, drift apart by about 6e-6. One CG iteration too few shows
// as differences of order 0.1.
constexpr float kTolerance = 5e-5f;

struct Difference {
    float largest = 0.0f;
    size_t at = 0;
};

Difference Compare(const std::vector<float>& a, const std::vector<float>& b) {
    Difference d;
    for (size_t i = 0; i < a.size(); ++i) {
        const float difference = std::fabs(a[i] - b[i]);
        if (!(difference <= d.largest)) {
            d.largest = difference;
            d.at = i;
        }
    }
    return d;
}

void ExpectAgree(const std::vector<float>& expected, const std::vector<float>& actual, const char* what) {
    ASSERT_EQ(expected.size(), actual.size()) << what;
    const Difference d = Compare(expected, actual);
    EXPECT_LE(d.largest, kTolerance) << what << ": largest difference at element " << d.at << " ("
                                     << expected[d.at] << " against " << actual[d.at] << ")";
}

// The water must have moved, or agreement would prove nothing.
void ExpectMoved(const perf::WaterState& start, const std::vector<float>& now) {
    EXPECT_GT(Compare(start.current, now).largest, 0.1f);
}

class PeerAgreementTest : public ::testing::TestWithParam<int> {};

TEST_P(PeerAgreementTest, FrameworkAndBothPeersAgreeAfterManyFrames) {
    const int grid = GetParam();
    constexpr int kFrames = 25;
    const perf::WaterState start = perf::RipplingWater(grid, grid);
    perf::GpuFrame gpu(grid, grid);
    gpu.SetState(start.current, start.last, start.solution);
    std::unique_ptr<perf::CpuFrame> plain = perf::MakePlainFrame(grid, grid);
    std::unique_ptr<perf::CpuFrame> eigen = perf::MakeEigenFrame(grid, grid);
    plain->SetState(start.current, start.last, start.solution);
    eigen->SetState(start.current, start.last, start.solution);
    for (int frame = 0; frame < kFrames; ++frame) {
        gpu.Step();
        plain->Step();
        eigen->Step();
    }
    const std::vector<float> heights = gpu.Current();
    ExpectMoved(start, heights);
    ExpectAgree(plain->Current(), heights, "plain loops against the framework");
    ExpectAgree(eigen->Current(), heights, "Eigen against the framework");
    ExpectAgree(plain->Current(), eigen->Current(), "plain loops against Eigen");
    ExpectAgree(plain->Last(), gpu.Last(), "last heights, plain loops against the framework");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

INSTANTIATE_TEST_SUITE_P(Grids, PeerAgreementTest, ::testing::Values(64, 128),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

void LoadScene(const perf::WaterState& state) {
    g_pHeightCurrent->SetData(state.current.data());
    g_pHeightLast->SetData(state.last.data());
    g_pSolution->SetData(state.solution.data());
}

// The benchmarks time the frame at every size on objects of their own; at
// the scene's size those must do exactly what the scene's frame does.
TEST(SceneAgreementTest, RebuiltFrameIsTheScenesFrame) {
    const int w = g_iGridWidth, h = g_iGridHeight;
    const perf::WaterState start = perf::RipplingWater(w, h);
    LoadScene(start);
    perf::GpuFrame rebuilt(w, h);
    rebuilt.SetState(start.current, start.last, start.solution);
    for (int frame = 0; frame < 3; ++frame) {
        PassCounter sceneCounter;
        SimulationStep();
        const long long scenePasses = sceneCounter.Take().passes;
        PassCounter rebuiltCounter;
        rebuilt.Step();
        EXPECT_EQ(rebuiltCounter.Take().passes, scenePasses);
    }
    const std::vector<float> scene = perf::ReadUnpacked(g_pHeightCurrent);
    ExpectMoved(start, scene);
    EXPECT_EQ(Compare(scene, rebuilt.Current()).largest, 0.0f);
    EXPECT_EQ(Compare(perf::ReadUnpacked(g_pHeightLast), rebuilt.Last()).largest, 0.0f);
    EXPECT_EQ(Compare(perf::ReadPacked(g_pSolution), perf::ReadPacked(rebuilt.Solution())).largest, 0.0f);
}

// The scene's own frame against both peers at the demo's size.
TEST(SceneAgreementTest, SceneFrameAgreesWithBothPeers) {
    const int w = g_iGridWidth, h = g_iGridHeight;
    const perf::WaterState start = perf::RipplingWater(w, h);
    LoadScene(start);
    std::unique_ptr<perf::CpuFrame> plain = perf::MakePlainFrame(w, h);
    std::unique_ptr<perf::CpuFrame> eigen = perf::MakeEigenFrame(w, h);
    plain->SetState(start.current, start.last, start.solution);
    eigen->SetState(start.current, start.last, start.solution);
    for (int frame = 0; frame < 5; ++frame) {
        SimulationStep();
        plain->Step();
        eigen->Step();
    }
    const std::vector<float> scene = perf::ReadUnpacked(g_pHeightCurrent);
    ExpectMoved(start, scene);
    ExpectAgree(plain->Current(), scene, "plain loops against the scene");
    ExpectAgree(eigen->Current(), scene, "Eigen against the scene");
}

}  // namespace
