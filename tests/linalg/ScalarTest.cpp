// GpuScalar: the 19 arithmetic operations against host formulas, operands
// that are the destination, the guarded division, ToString, the texture
// exchange and the class-wide program set.
#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

using ScalarTest = LinalgTest;
using S = GpuScalar;

struct ScalarCase {
    const char* name;
    bool inPlace;  // writes `a`; otherwise `d`
    void (*gpu)(S& a, S& b, S& d);
    double (*host)(double a, double b);
};

// clang-format off
#define CASE(name, inPlace, call, formula) {#name, inPlace, \
    [](S& a, S& b, S& d) { (void)b, (void)d, call; }, [](double a, double b) { return (void)b, formula; }}
const ScalarCase kCases[] = {
    CASE(AddValue, false, a.AddValue(1.5f, &d), a + 1.5),
    CASE(Combine, false, a.Combine(&b, &d, 4, 5), 4 * a + 5 * b),
    CASE(AddValueInPlace, true, a.AddValueInPlace(1.5f), a + 1.5),
    CASE(CombineInPlace, true, a.CombineInPlace(&b, 4, 5), 4 * a + 5 * b),
    CASE(MulValue, false, a.MulValue(2.5f, &d), 2.5 * a),
    CASE(Multiply, false, a.Multiply(&b, &d, 0.5f), 0.5 * a * b),
    CASE(MulValueInPlace, true, a.MulValueInPlace(2.5f), 2.5 * a),
    CASE(MultiplyInPlace, true, a.MultiplyInPlace(&b, 0.5f), 0.5 * a * b),
    CASE(SubtractFromInPlace, true, a.SubtractFromInPlace(3, &b), b - 3 * a),
    CASE(CombineSub, false, a.CombineSub(&b, &d, 4, 5), 4 * a - 5 * b),
    CASE(SubValueInPlace, true, a.SubValueInPlace(0.5f), a - 0.5),
    CASE(CombineSubInPlace, true, a.CombineSubInPlace(&b, 4, 5), 4 * a - 5 * b),
    CASE(Divide, false, a.Divide(&b, &d, 3, 2), 1.5 * a / b),
    CASE(MultiplyDivideInPlace, true, a.MultiplyDivideInPlace(4, &b), a * b / 4),
    CASE(DivValueInPlace, true, a.DivValueInPlace(4), a / 4),
    CASE(DivideInPlace, true, a.DivideInPlace(&b, 3, 2), 1.5 * a / b),
    CASE(Reciprocal, false, a.Reciprocal(&d, 3, 2), 1.5 / a),
    CASE(ReciprocalInPlace, true, a.ReciprocalInPlace(3, 2), 1.5 / a),
    CASE(SafeDivide, false, a.SafeDivide(&b, &d, 3, 2), 1.5 * a / b),
};
// clang-format on
#undef CASE

class ScalarOperationTest : public LinalgParamTest<ScalarCase> {};

// The result goes into a fresh pooled texture, the old one back to the pool;
// the other scalars keep value and texture, and nothing is read back.
TEST_P(ScalarOperationTest, MatchesTheHostAndExchangesOnlyTheDestinationsTexture) {
    const ScalarCase& c = GetParam();
    for (auto [av, bv] : {std::pair{2.0f, 3.0f}, std::pair{-1.5f, 4.0f}}) {
        auto a = MakeScalar(av), b = MakeScalar(bv), d = MakeScalar(-99);
        S& written = c.inPlace ? *a : *d;
        S& untouched = c.inPlace ? *d : *a;
        const GLuint before = written.Texture(), bTexture = b->Texture(), other = untouched.Texture();
        GlCallCounter calls;
        c.gpu(*a, *b, *d);
        EXPECT_EQ(calls.Counts().readPixels, 0);
        EXPECT_FLOAT_EQ(written.GetValue(), static_cast<float>(c.host(av, bv))) << "a = " << av;
        EXPECT_EQ(untouched.GetValue(), c.inPlace ? -99.0f : av);
        EXPECT_EQ(b->GetValue(), bv);
        EXPECT_NE(written.Texture(), before);
        EXPECT_TRUE(FreeInPool(before));
        EXPECT_FALSE(FreeInPool(written.Texture()));
        EXPECT_EQ(b->Texture(), bTexture);
        EXPECT_EQ(untouched.Texture(), other);
    }
}

INSTANTIATE_TEST_SUITE_P(All19, ScalarOperationTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ScalarCase>& info) { return info.param.name; });

// Each pass reads its operands before the exchange, so aliases see the old value.
TEST_F(ScalarTest, OperandsThatAreTheDestinationReadTheValueBeforeTheWrite) {
    auto a = MakeScalar(2.75f), b = MakeScalar(3);
    a->CombineInPlace(a.get(), 1, 1);
    EXPECT_EQ(a->GetValue(), 5.5f);
    a->Multiply(a.get(), a.get(), 2);
    EXPECT_EQ(a->GetValue(), 60.5f);
    a->SafeDivide(a.get(), a.get(), 2, 1);
    EXPECT_EQ(a->GetValue(), 2.0f);
    a->Combine(b.get(), b.get(), 4, 5);
    EXPECT_EQ(b->GetValue(), 23.0f);
    EXPECT_EQ(a->GetValue(), 2.0f);
}

TEST_F(ScalarTest, SafeDivideGivesZeroForAZeroDivisorOrAZeroDenominator) {
    auto a = MakeScalar(2), zero = MakeScalar(0), four = MakeScalar(4), d = MakeScalar(7);
    a->SafeDivide(zero.get(), d.get(), 1, 1);
    EXPECT_EQ(d->GetValue(), 0.0f) << "b = 0";
    for (S* b : {four.get(), zero.get()}) {
        d->SetValue(7);
        a->SafeDivide(b, d.get(), 1, 0);
        EXPECT_EQ(d->GetValue(), 0.0f) << "den = 0, b = " << b->GetValue();
    }
}

TEST_F(ScalarTest, ToStringIsPercentGOfTheValue) {
    auto a = MakeScalar(0.5f);
    EXPECT_EQ(Take(a->ToString()), "0.5");
    a->SetValue(1e-10f);
    EXPECT_EQ(Take(a->ToString()), "1e-10");
}

}  // namespace
}  // namespace lt
