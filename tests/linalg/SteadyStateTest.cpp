// Steady state: once one round of an operation
// has warmed the pool up, repeating it creates no GL texture or framebuffer
// and the pool keeps its size.
#include <functional>
#include <memory>
#include <string>

#include "linalg/LinalgTestSupport.h"
#include "support/GlCallCounter.h"

namespace linalg_test {
namespace {

struct Operation {
    const char* name;
    std::function<void()> run;
};

class SteadyStateTest : public LinalgParamTest<Shape> {
protected:
    void SetUp() override {
        const Shape& s = GetParam();
        const int count = s.width * s.height;
        a = MakeVector(s, Pattern(count, 1));
        b = MakeVector(s, Pattern(count, 2));
        dst = MakeVector(s, Pattern(count, 3));
        c = MakeScalar(0.5f);
        d = MakeScalar(2);
        result = MakeScalar(0);
        data = Pattern(count, 4);
    }

    std::vector<Operation> Operations() {
        return {
            {"Fill", [&] { a->Fill(1); }},
            {"CopyFrom", [&] { dst->CopyFrom(b.get()); }},
            {"Scale", [&] { a->Scale(1); }},
            {"Combine", [&] { a->Combine(b.get(), dst.get(), 1, 1); }},
            {"CombineInPlace", [&] { a->Combine(b.get(), a.get(), 1, 0); }},
            {"CombineSub", [&] { a->CombineSub(b.get(), b.get(), 0, -1); }},
            {"CombineOp", [&] { a->CombineOp(2, b.get(), dst.get(), 1, 1); }},
            {"MulAddScalar", [&] { a->MulAddScalar(b.get(), dst.get(), 1, c.get()); }},
            {"MulSubScalar", [&] { a->MulSubScalar(b.get(), b.get(), 0, c.get()); }},
            {"MulShifted", [&] { a->MulShifted(b.get(), dst.get(), 1, 1); }},
            {"MulShiftedUnshifted", [&] { a->MulShifted(b.get(), dst.get(), 1, 0); }},
            {"MulShiftedAdd", [&] { a->MulShiftedAdd(b.get(), dst.get(), 1, -GetParam().width); }},
            {"MulShiftedAddInPlace", [&] { a->MulShiftedAdd(dst.get(), dst.get(), 1, 0); }},
            {"Sum", [&] { a->Sum(result.get()); }},
            {"Dot", [&] { a->Dot(b.get(), result.get()); }},
            {"SumValue", [&] { a->SumValue(); }},
            {"DotValue", [&] { a->DotValue(b.get()); }},
            {"SetData", [&] { dst->SetData(data.data()); }},
            {"GetData", [&] { Values(*dst); }},
            {"ScalarCombine", [&] { c->Combine(d.get(), c.get(), 1, 0); }},
            {"ScalarSafeDivide", [&] { c->SafeDivide(d.get(), result.get(), 1, 1); }},
            {"ScalarSetValue", [&] { d->SetValue(2); }},
        };
    }

    std::unique_ptr<UnpackedVector> a, b, dst;
    std::unique_ptr<GpuScalar> c, d, result;
    std::vector<float> data;
};

TEST_P(SteadyStateTest, EachOperationRepeatedAfterAWarmUpCreatesNoTexture) {
    for (const Operation& operation : Operations()) {
        SCOPED_TRACE(operation.name);
        operation.run();
        const size_t poolSize = PoolTextureCount();
        const size_t framebuffers = g_resourcePool->Framebuffers().size();
        GlCallCounter calls;
        for (int i = 0; i < 3; ++i) operation.run();
        EXPECT_EQ(calls.Counts().genTextures, 0);
        EXPECT_EQ(calls.Counts().deleteTextures, 0);
        EXPECT_EQ(calls.Counts().genFramebuffers, 0);
        EXPECT_EQ(calls.Counts().deleteFramebuffers, 0);
        EXPECT_EQ(calls.Counts().createProgram, 0);
        EXPECT_EQ(PoolTextureCount(), poolSize);
        EXPECT_EQ(g_resourcePool->Framebuffers().size(), framebuffers);
    }
}

// A solver-like sequence: kernels and reductions interleaved, repeated.
TEST_P(SteadyStateTest, AMixedRoundRepeatedCreatesNoTexture) {
    const std::vector<Operation> operations = Operations();
    auto round = [&] {
        for (const Operation& operation : operations) operation.run();
    };
    round();
    const size_t poolSize = PoolTextureCount();
    GlCallCounter calls;
    for (int i = 0; i < 3; ++i) round();
    EXPECT_EQ(calls.Counts().genTextures, 0);
    EXPECT_EQ(calls.Counts().deleteTextures, 0);
    EXPECT_EQ(calls.Counts().genFramebuffers, 0);
    EXPECT_EQ(PoolTextureCount(), poolSize);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SteadyStateTest,
                         ::testing::Values(Shape{1, 1}, Shape{2, 8}, Shape{8, 4}, Shape{4, 8}, Shape{64, 64}),
                         ShapeName);

}  // namespace
}  // namespace linalg_test
