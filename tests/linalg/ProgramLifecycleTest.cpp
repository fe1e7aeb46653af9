// Class-wide program sets of the vectors: the shared set is
// built once for the first vector of any layout and deleted with the last
// vector of all layouts; a later vector builds it again. Program creation is
// observed by counting glCreateProgram and glDeleteProgram. Also: scalars and
// vectors that outlive the framework are destroyed without a crash.
//
// PackedVector appears here only as the second user of the shared set.
#include <memory>

#include "linalg/LinalgTestSupport.h"
#include "linalg/PackedVector.h"
#include "support/GlCallCounter.h"

namespace linalg_test {
namespace {

// The twelve element-wise and reduction programs plus the two that reductions of textures
// with a side below 4 need (an element-wise product and a final pass that
// skips a missing partner).
constexpr long kSharedPrograms = 14;
constexpr long kUnpackedPrograms = 4;  // shifted and unshifted product and accumulate
constexpr long kScalarPrograms = 7;

using ProgramLifecycleTest = LinalgTest;

void ExpectNothingAlive() {
    ASSERT_EQ(UnpackedVector::Instances(), 0) << "no vector may be alive between tests";
    ASSERT_EQ(PackedVector::Instances(), 0) << "no vector may be alive between tests";
    ASSERT_EQ(GpuVector::SharedProgramUsers(), 0);
    ASSERT_EQ(GpuScalar::Instances(), 0) << "no scalar may be alive between tests";
}

bool AllTexels(GpuVector& vector, float value) {
    for (float channel : ReadTexels(vector))
        if (channel != value) return false;
    return true;
}

TEST_F(ProgramLifecycleTest, TheSharedSetIsBuiltOnceAcrossBothLayoutsAndDeletedWithTheLastVector) {
    ExpectNothingAlive();

    GlCallCounter firstUnpacked;
    auto u1 = std::make_unique<UnpackedVector>(8, 8, 0);
    EXPECT_EQ(firstUnpacked.Counts().createProgram, kSharedPrograms + kUnpackedPrograms);
    EXPECT_EQ(GpuVector::SharedProgramUsers(), 1);

    GlCallCounter secondUnpacked;
    auto u2 = std::make_unique<UnpackedVector>(4, 4, 0);
    EXPECT_EQ(secondUnpacked.Counts().createProgram, 0);

    GlCallCounter firstPacked;
    auto p1 = std::make_unique<PackedVector>(8, 8, 0);
    const long packedPrograms = firstPacked.Counts().createProgram;
    EXPECT_GT(packedPrograms, 0) << "the packed layout builds its own programs";
    EXPECT_EQ(GpuVector::SharedProgramUsers(), 2) << "layouts with live vectors";

    GlCallCounter secondPacked;
    auto p2 = std::make_unique<PackedVector>(8, 8, 0);
    EXPECT_EQ(secondPacked.Counts().createProgram, 0);

    GlCallCounter unpackedGone;
    u1.reset();
    EXPECT_EQ(unpackedGone.Counts().deleteProgram, 0);
    u2.reset();
    EXPECT_EQ(unpackedGone.Counts().deleteProgram, kUnpackedPrograms) << "only the unpacked layout's own";
    EXPECT_EQ(GpuVector::SharedProgramUsers(), 1);

    // The packed vectors still run the shared kernels.
    p1->Fill(1.5f);
    EXPECT_TRUE(AllTexels(*p1, 1.5f));
    p2->CopyFrom(p1.get());
    p2->Scale(2);
    EXPECT_TRUE(AllTexels(*p2, 3.0f));

    GlCallCounter packedGone;
    p1.reset();
    EXPECT_EQ(packedGone.Counts().deleteProgram, 0);
    p2.reset();
    EXPECT_EQ(packedGone.Counts().deleteProgram, packedPrograms + kSharedPrograms)
        << "the last vector of the last layout deletes the shared set";
    EXPECT_EQ(GpuVector::SharedProgramUsers(), 0);

    // Built again by a later first user, whichever layout it is.
    GlCallCounter packedFirst;
    auto p3 = std::make_unique<PackedVector>(8, 8, 0);
    EXPECT_EQ(packedFirst.Counts().createProgram, kSharedPrograms + packedPrograms);
    GlCallCounter unpackedSecond;
    auto u3 = std::make_unique<UnpackedVector>(8, 8, 0);
    EXPECT_EQ(unpackedSecond.Counts().createProgram, kUnpackedPrograms);
    EXPECT_EQ(GpuVector::SharedProgramUsers(), 2);

    GlCallCounter allGone;
    p3.reset();
    EXPECT_EQ(allGone.Counts().deleteProgram, packedPrograms);
    u3.reset();
    EXPECT_EQ(allGone.Counts().deleteProgram, packedPrograms + kUnpackedPrograms + kSharedPrograms);
    ExpectNothingAlive();
}

TEST_F(ProgramLifecycleTest, ARebuiltSetComputes) {
    ExpectNothingAlive();
    {
        auto v = std::make_unique<UnpackedVector>(4, 4, 0);
        v->Fill(1);
    }
    GlCallCounter rebuild;
    auto a = MakeVector({4, 4}, Pattern(16, 1));
    auto b = MakeVector({4, 4}, Pattern(16, 2));
    EXPECT_EQ(rebuild.Counts().createProgram, kSharedPrograms + kUnpackedPrograms);
    auto c = MakeScalar(0.5f);
    a->MulAddScalar(b.get(), a.get(), 1, c.get());
    a->MulShiftedAdd(b.get(), a.get(), 1, 1);
    std::vector<float> expected(16);
    const std::vector<float> pa = Pattern(16, 1), pb = Pattern(16, 2);
    for (int n = 0; n < 16; ++n) {
        const float first = pa[static_cast<size_t>(n)] + 0.5f * pb[static_cast<size_t>(n)];
        expected[static_cast<size_t>(n)] = first + first * pb[static_cast<size_t>((n + 1) % 16)];
    }
    EXPECT_TRUE(SameValues(expected, Values(*a)));
    double sum = 0;
    for (float x : expected) sum += x;
    EXPECT_FLOAT_EQ(a->SumValue(), static_cast<float>(sum));
}

TEST_F(ProgramLifecycleTest, VectorProgramsAreNotRebuiltPerOperation) {
    auto a = MakeVector({8, 4}, Pattern(32, 1));
    auto b = MakeVector({8, 4}, Pattern(32, 2));
    auto s = MakeScalar(1);
    GlCallCounter calls;
    a->Combine(b.get(), a.get(), 1, 1);
    a->MulShifted(b.get(), a.get(), 1, 3);
    a->DotValue(b.get());
    a->Sum(s.get());
    s->AddValueInPlace(1);
    EXPECT_EQ(calls.Counts().createProgram, 0);
    EXPECT_EQ(calls.Counts().linkProgram, 0);
    EXPECT_EQ(calls.Counts().deleteProgram, 0);
}

// Without the framework framebuffer bracket of the other tests: the
// framework is shut down in the middle, which deletes that framebuffer.
class AfterShutdownTest : public GlTest {
protected:
    AfterShutdownTest() { RunGlslCheckUpFront(); }
};

TEST_F(AfterShutdownTest, ScalarsAndVectorsDestroyedAfterThePoolIsGoneDoNotCrash) {
    ExpectNothingAlive();
    std::unique_ptr<UnpackedVector> v;
    std::unique_ptr<GpuScalar> s;
    {
        FrameworkFramebufferScope framebuffer;
        v = MakeVector({4, 4}, Pattern(16, 1));
        v->Scale(2);
        s = MakeScalar(1);
        s->AddValueInPlace(1);
        v->Sum(s.get());
    }
    ShutdownFramework();
    ASSERT_EQ(g_resourcePool, nullptr);

    GlCallCounter calls;
    v.reset();
    s.reset();
    EXPECT_EQ(calls.Counts().deleteTextures, 0) << "the pool deleted every texture already";
    EXPECT_EQ(calls.Counts().deleteProgram, kSharedPrograms + kUnpackedPrograms + kScalarPrograms)
        << "the programs still go with the last instances";
    EXPECT_EQ(UnpackedVector::Instances(), 0);
    EXPECT_EQ(GpuVector::SharedProgramUsers(), 0);
    EXPECT_EQ(GpuScalar::Instances(), 0);

    ASSERT_TRUE(InitFramework());
    FrameworkFramebufferScope framebuffer;
    auto w = MakeVector({4, 4}, Pattern(16, 3));
    auto t = MakeScalar(2);
    w->MulAddScalar(w.get(), w.get(), 1, t.get());
    std::vector<float> expected = Pattern(16, 3);
    for (float& x : expected) x *= 3;
    EXPECT_TRUE(SameValues(expected, Values(*w))) << "a framework initialised again works";
}

}  // namespace
}  // namespace linalg_test
