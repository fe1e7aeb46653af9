// GPU scalar: every arithmetic operation, in-place forms
// whose operand is the destination, the guarded division, text dumps, the
// texture exchange after each write and the class-wide program set.
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "linalg/LinalgTestSupport.h"
#include "support/GlCallCounter.h"

namespace linalg_test {
namespace {

using ScalarTest = LinalgTest;

// Which scalar an operation writes.
enum class Writes { kDst, kThis };

struct ScalarCase {
    const char* name;
    float a;  // this
    float b;  // the second operand
    Writes writes;
    float expected;
    std::function<void(GpuScalar& a, GpuScalar& b, GpuScalar& dst)> run;
};

std::ostream& operator<<(std::ostream& out, const ScalarCase& c) { return out << c.name; }

// The nineteen arithmetic operations with separate operands.
const ScalarCase kCases[] = {
    {"AddValue", 2, 3, Writes::kDst, 3.5f,
     [](GpuScalar& a, GpuScalar&, GpuScalar& d) { a.AddValue(1.5f, &d); }},
    {"Combine", 2, 3, Writes::kDst, 23,
     [](GpuScalar& a, GpuScalar& b, GpuScalar& d) { a.Combine(&b, &d, 4, 5); }},
    {"AddValueInPlace", 2, 3, Writes::kThis, 3.5f,
     [](GpuScalar& a, GpuScalar&, GpuScalar&) { a.AddValueInPlace(1.5f); }},
    {"CombineInPlace", 2, 3, Writes::kThis, 23,
     [](GpuScalar& a, GpuScalar& b, GpuScalar&) { a.CombineInPlace(&b, 4, 5); }},
    {"MulValue", 2, 3, Writes::kDst, 5, [](GpuScalar& a, GpuScalar&, GpuScalar& d) { a.MulValue(2.5f, &d); }},
    {"Multiply", 2, 3, Writes::kDst, 3,
     [](GpuScalar& a, GpuScalar& b, GpuScalar& d) { a.Multiply(&b, &d, 0.5f); }},
    {"MulValueInPlace", 2, 3, Writes::kThis, 5,
     [](GpuScalar& a, GpuScalar&, GpuScalar&) { a.MulValueInPlace(2.5f); }},
    {"MultiplyInPlace", 2, 3, Writes::kThis, 3,
     [](GpuScalar& a, GpuScalar& b, GpuScalar&) { a.MultiplyInPlace(&b, 0.5f); }},
    {"SubtractFromInPlace", 2, 10, Writes::kThis, 4,
     [](GpuScalar& a, GpuScalar& b, GpuScalar&) { a.SubtractFromInPlace(3, &b); }},
    {"CombineSub", 2, 3, Writes::kDst, -7,
     [](GpuScalar& a, GpuScalar& b, GpuScalar& d) { a.CombineSub(&b, &d, 4, 5); }},
    {"SubValueInPlace", 2, 3, Writes::kThis, 1.5f,
     [](GpuScalar& a, GpuScalar&, GpuScalar&) { a.SubValueInPlace(0.5f); }},
    {"CombineSubInPlace", 2, 3, Writes::kThis, -7,
     [](GpuScalar& a, GpuScalar& b, GpuScalar&) { a.CombineSubInPlace(&b, 4, 5); }},
    {"Divide", 2, 3, Writes::kDst, 1,
     [](GpuScalar& a, GpuScalar& b, GpuScalar& d) { a.Divide(&b, &d, 3, 2); }},
    {"MultiplyDivideInPlace", 2, 10, Writes::kThis, 5,
     [](GpuScalar& a, GpuScalar& b, GpuScalar&) { a.MultiplyDivideInPlace(4, &b); }},
    {"DivValueInPlace", 2, 3, Writes::kThis, 0.5f,
     [](GpuScalar& a, GpuScalar&, GpuScalar&) { a.DivValueInPlace(4); }},
    {"DivideInPlace", 2, 3, Writes::kThis, 1,
     [](GpuScalar& a, GpuScalar& b, GpuScalar&) { a.DivideInPlace(&b, 3, 2); }},
    {"Reciprocal", 4, 3, Writes::kDst, 0.25f,
     [](GpuScalar& a, GpuScalar&, GpuScalar& d) { a.Reciprocal(&d, 1, 1); }},
    {"ReciprocalInPlace", 4, 3, Writes::kThis, 0.5f,
     [](GpuScalar& a, GpuScalar&, GpuScalar&) { a.ReciprocalInPlace(2, 1); }},
    {"SafeDivide", 2, 4, Writes::kDst, 0.5f,
     [](GpuScalar& a, GpuScalar& b, GpuScalar& d) { a.SafeDivide(&b, &d, 1, 1); }},
};

class ScalarOperationTest : public LinalgParamTest<ScalarCase> {};

TEST_P(ScalarOperationTest, WritesItsResultIntoAFreshTextureAndLeavesTheOperandsAlone) {
    const ScalarCase& c = GetParam();
    GpuScalar a, b, dst;
    a.SetValue(c.a);
    b.SetValue(c.b);
    dst.SetValue(-99);
    GpuScalar& written = c.writes == Writes::kDst ? dst : a;
    const GLuint writtenBefore = written.Texture();
    const GLuint bBefore = b.Texture();
    const GLuint untouchedBefore = (c.writes == Writes::kDst ? a : dst).Texture();

    GlCallCounter calls;
    c.run(a, b, dst);

    EXPECT_EQ(calls.Counts().readPixels, 0) << "a scalar operation stays on the GPU";
    EXPECT_FLOAT_EQ(written.GetValue(), c.expected);
    if (c.writes == Writes::kDst) {
        EXPECT_FLOAT_EQ(a.GetValue(), c.a);
    } else {
        EXPECT_FLOAT_EQ(dst.GetValue(), -99);
    }
    EXPECT_FLOAT_EQ(b.GetValue(), c.b);

    EXPECT_NE(written.Texture(), writtenBefore) << "the result goes into a fresh texture";
    EXPECT_TRUE(IsFreeEntryOf(writtenBefore, FloatDesc(1, 1))) << "the previous texture is back in the pool";
    EXPECT_TRUE(NotHandedBack(written.Texture()));
    EXPECT_EQ(b.Texture(), bBefore);
    EXPECT_EQ((c.writes == Writes::kDst ? a : dst).Texture(), untouchedBefore);
}

INSTANTIATE_TEST_SUITE_P(AllNineteen, ScalarOperationTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ScalarCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ScalarTest, CoversTheNineteenArithmeticOperations) {
    EXPECT_EQ(sizeof kCases / sizeof kCases[0], 19u);
}

// The result is written to all four channels so a kernel's
// result can feed the vector kernels that sample its first channel.
TEST_F(ScalarTest, KernelResultFillsAllFourChannels) {
    auto a = MakeScalar(2);
    auto b = MakeScalar(3);
    a->Combine(b.get(), a.get(), 4, 5);
    EXPECT_TRUE(SameTexels({23, 23, 23, 23}, ReadTexels(a->Texture(), 1, 1)));
}

TEST_F(ScalarTest, SetValueLeavesTheValueInRedGreenBlueAndOneInAlpha) {
    auto a = MakeScalar(1.5f);
    EXPECT_TRUE(SameTexels({1.5f, 1.5f, 1.5f, 1.0f}, ReadTexels(a->Texture(), 1, 1)));
}

// Read-backs take the red channel: an uploaded texel has the value in red,
// green and blue, which a luminance read-back on some GLs would add up.
TEST_F(ScalarTest, ReadBackAfterUploadIsTheValueNotTheSumOfChannels) {
    auto a = MakeScalar(1.5f);
    EXPECT_FLOAT_EQ(a->GetValue(), 1.5f);
    float out = 0;
    a->ReadValue(&out);
    EXPECT_FLOAT_EQ(out, 1.5f);
    auto negative = MakeScalar(-0.75f);
    EXPECT_FLOAT_EQ(negative->GetValue(), -0.75f);
}

TEST_F(ScalarTest, CombineInPlaceWithItselfDoubles) {
    auto a = MakeScalar(2.75f);
    a->CombineInPlace(a.get(), 1, 1);
    EXPECT_FLOAT_EQ(a->GetValue(), 5.5f);
}

TEST_F(ScalarTest, OperationsWhoseOperandIsTheDestinationReadTheValueBeforeTheWrite) {
    auto a = MakeScalar(3);
    a->Combine(a.get(), a.get(), 2, 3);
    EXPECT_FLOAT_EQ(a->GetValue(), 15) << "Combine(this, this, 2, 3)";

    a->SetValue(3);
    a->Multiply(a.get(), a.get(), 1);
    EXPECT_FLOAT_EQ(a->GetValue(), 9) << "Multiply(this, this, 1)";

    a->SetValue(3);
    a->MultiplyInPlace(a.get(), 2);
    EXPECT_FLOAT_EQ(a->GetValue(), 18) << "MultiplyInPlace(this, 2)";

    a->SetValue(3);
    a->CombineSubInPlace(a.get(), 3, 1);
    EXPECT_FLOAT_EQ(a->GetValue(), 6) << "CombineSubInPlace(this, 3, 1)";

    a->SetValue(3);
    a->SubtractFromInPlace(3, a.get());
    EXPECT_FLOAT_EQ(a->GetValue(), -6) << "SubtractFromInPlace(3, this)";

    a->SetValue(3);
    a->MultiplyDivideInPlace(2, a.get());
    EXPECT_FLOAT_EQ(a->GetValue(), 4.5f) << "MultiplyDivideInPlace(2, this)";

    a->SetValue(3);
    a->DivideInPlace(a.get(), 1, 4);
    EXPECT_FLOAT_EQ(a->GetValue(), 0.25f) << "DivideInPlace(this, 1, 4)";

    a->SetValue(3);
    a->SafeDivide(a.get(), a.get(), 2, 1);
    EXPECT_FLOAT_EQ(a->GetValue(), 2) << "SafeDivide(this, this, 2, 1)";
}

TEST_F(ScalarTest, TheSecondOperandMayBeTheDestination) {
    auto a = MakeScalar(2);
    auto b = MakeScalar(3);
    a->Combine(b.get(), b.get(), 4, 5);
    EXPECT_FLOAT_EQ(b->GetValue(), 23);
    EXPECT_FLOAT_EQ(a->GetValue(), 2);

    b->SetValue(3);
    a->Divide(b.get(), b.get(), 3, 2);
    EXPECT_FLOAT_EQ(b->GetValue(), 1);

    b->SetValue(4);
    a->SafeDivide(b.get(), b.get(), 1, 1);
    EXPECT_FLOAT_EQ(b->GetValue(), 0.5f);
}

TEST_F(ScalarTest, SafeDivideByAZeroScalarGivesZero) {
    auto a = MakeScalar(2);
    auto zero = MakeScalar(0);
    auto dst = MakeScalar(7);
    a->SafeDivide(zero.get(), dst.get(), 1, 1);
    EXPECT_EQ(dst->GetValue(), 0.0f);
    auto negativeZero = MakeScalar(-0.0f);
    dst->SetValue(7);
    a->SafeDivide(negativeZero.get(), dst.get(), 1, 1);
    EXPECT_EQ(dst->GetValue(), 0.0f);
}

TEST_F(ScalarTest, SafeDivideWithAZeroDenominatorGivesZeroWhateverTheDivisor) {
    auto a = MakeScalar(2);
    auto dst = MakeScalar(7);
    for (float b : {4.0f, -0.5f, 0.0f}) {
        auto divisor = MakeScalar(b);
        dst->SetValue(7);
        a->SafeDivide(divisor.get(), dst.get(), 1, 0);
        EXPECT_EQ(dst->GetValue(), 0.0f) << "b = " << b;
        dst->SetValue(7);
        a->SafeDivide(divisor.get(), dst.get(), 1, -0.0f);
        EXPECT_EQ(dst->GetValue(), 0.0f) << "b = " << b << ", den = -0";
    }
    a->SafeDivide(a.get(), a.get(), 5, 0);
    EXPECT_EQ(a->GetValue(), 0.0f) << "in place";
}

TEST_F(ScalarTest, SafeDivideOfNonZeroOperandsIsTheQuotient) {
    auto a = MakeScalar(2);
    auto b = MakeScalar(4);
    auto dst = MakeScalar(0);
    a->SafeDivide(b.get(), dst.get(), 3, 2);
    EXPECT_FLOAT_EQ(dst->GetValue(), 0.75f);
}

TEST_F(ScalarTest, ToStringFormatsTheValueWithPercentG) {
    auto a = MakeScalar(0.5f);
    EXPECT_EQ(TakeText(a->ToString()), "0.5");
    a->SetValue(1e-10f);
    EXPECT_EQ(TakeText(a->ToString()), "1e-10");
    a->SetValue(-3.0f);
    EXPECT_EQ(TakeText(a->ToString()), "-3");
    a->SetValue(-3.4e38f);
    EXPECT_EQ(TakeText(a->ToString()), "-3.4e+38");
    a->SetValue(std::numeric_limits<float>::infinity());
    EXPECT_EQ(TakeText(a->ToString()), "inf");
    a->SetValue(-std::numeric_limits<float>::infinity());
    EXPECT_EQ(TakeText(a->ToString()), "-inf");
    a->SetValue(std::numeric_limits<float>::quiet_NaN());
    EXPECT_NE(TakeText(a->ToString()).find("nan"), std::string::npos);
}

TEST_F(ScalarTest, ToStringOfAKernelResult) {
    auto a = MakeScalar(0.25f);
    a->MulValueInPlace(2);
    EXPECT_EQ(TakeText(a->ToString()), "0.5");
}

TEST_F(ScalarTest, EveryWriteExchangesTheTextureAndHandsThePreviousOneBack) {
    auto a = MakeScalar(1);
    auto b = MakeScalar(2);
    const std::function<void()> writes[] = {
        [&] { a->AddValueInPlace(1); },
        [&] { a->MulValueInPlace(2); },
        [&] { a->CombineInPlace(b.get(), 1, 1); },
        [&] { a->ReciprocalInPlace(1, 1); },
        [&] { b->Combine(b.get(), a.get(), 1, 0); },
        [&] { a->SafeDivide(b.get(), a.get(), 1, 1); },
    };
    for (const auto& write : writes) {
        const GLuint before = a->Texture();
        const size_t poolSize = PoolTextureCount();
        write();
        EXPECT_NE(a->Texture(), before);
        EXPECT_TRUE(IsFreeEntryOf(before, FloatDesc(1, 1)));
        EXPECT_TRUE(NotHandedBack(a->Texture()));
        EXPECT_TRUE(NotHandedBack(b->Texture()));
        EXPECT_LE(PoolTextureCount(), poolSize + 1) << "at most the one render target is new";
    }
    // 1 -> 2 -> 4 -> 6 -> 1/6, then a = b = 2, then a = a / b = 1.
    EXPECT_FLOAT_EQ(a->GetValue(), 1.0f);
    EXPECT_FLOAT_EQ(b->GetValue(), 2.0f);
}

TEST_F(ScalarTest, DestroyingAScalarFreesTheTextureItHoldsNow) {
    auto a = MakeScalar(1);
    a->AddValueInPlace(1);
    a->AddValueInPlace(1);
    const GLuint current = a->Texture();
    const size_t poolSize = PoolTextureCount();
    ASSERT_TRUE(NotHandedBack(current));
    a.reset();
    EXPECT_TRUE(IsFreeEntryOf(current, FloatDesc(1, 1)));
    EXPECT_EQ(PoolTextureCount(), poolSize) << "destruction deletes no texture";
}

TEST_F(ScalarTest, ThreeScalarsShareOneProgramSetBuiltOnceAndDeletedWithTheLast) {
    ASSERT_EQ(GpuScalar::Instances(), 0) << "no scalar may be alive between tests";
    constexpr long kScalarPrograms = 7;

    GlCallCounter first;
    auto s1 = std::make_unique<GpuScalar>();
    EXPECT_EQ(first.Counts().createProgram, kScalarPrograms);
    EXPECT_EQ(first.Counts().linkProgram, kScalarPrograms);
    EXPECT_EQ(GpuScalar::Instances(), 1);

    GlCallCounter more;
    auto s2 = std::make_unique<GpuScalar>();
    auto s3 = std::make_unique<GpuScalar>();
    EXPECT_EQ(more.Counts().createProgram, 0);
    EXPECT_EQ(GpuScalar::Instances(), 3);

    GlCallCounter twoGone;
    s1.reset();
    s2.reset();
    EXPECT_EQ(twoGone.Counts().deleteProgram, 0);
    EXPECT_EQ(GpuScalar::Instances(), 1);
    // The survivor still computes with the shared set.
    s3->SetValue(2);
    s3->MulValueInPlace(3);
    EXPECT_FLOAT_EQ(s3->GetValue(), 6);

    GlCallCounter last;
    s3.reset();
    EXPECT_EQ(last.Counts().deleteProgram, kScalarPrograms);
    EXPECT_EQ(GpuScalar::Instances(), 0);

    GlCallCounter again;
    auto s4 = MakeScalar(2);
    auto s5 = MakeScalar(3);
    EXPECT_EQ(again.Counts().createProgram, kScalarPrograms) << "a later scalar builds the set again";
    s4->Combine(s5.get(), s4.get(), 4, 5);
    EXPECT_FLOAT_EQ(s4->GetValue(), 23) << "the rebuilt set runs";
    s4->SafeDivide(s5.get(), s4.get(), 3, 1);
    EXPECT_FLOAT_EQ(s4->GetValue(), 23);
}

}  // namespace
}  // namespace linalg_test
