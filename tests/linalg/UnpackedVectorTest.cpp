// The unpacked layout's CreateForLength, text dumps, the shared program set's
// lifetime and destruction after the framework is gone.
#include "linalg/CgSolver.h"
#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

using UnpackedVectorTest = LinalgTest;

// Gives access to the protected default constructor.
struct LengthVector : UnpackedVector {
    explicit LengthVector(int n) { CreateForLength(n, 0, GL_RGBA32F_ARB); }
};

TEST_F(UnpackedVectorTest, CreateForLengthMakesTheSmallestPowerOfTwoTexture) {
    const int cases[][3] = {{1000, 32, 32}, {1024, 32, 32}, {1025, 64, 32}, {512, 32, 16},
                            {3, 2, 2},      {1, 1, 1},      {0, 1, 1},      {-7, 1, 1}};
    for (const auto& c : cases) {
        LengthVector v(c[0]);
        TextureDesc desc;
        v.GetTextureDesc(&desc);
        EXPECT_EQ(desc.width, c[1]) << "n = " << c[0];
        EXPECT_EQ(desc.height, c[2]) << "n = " << c[0];
    }
}

// Formats as printf does: "%7.5f" per value, "\t " between and "\n" after each texture row.
TEST_F(UnpackedVectorTest, DumpsMatchPrintf) {
    auto v = Make(3, 2, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(Take(v->ToString(0)), "1.00000\t 2.00000\t 3.00000\n4.00000\t 5.00000\t 6.00000\n");
    EXPECT_EQ(Take(v->ToString(4)), "1.00000\t 2.00000\t 3.00000\n4.00000\t ");
    // Above 1e-5 in magnitude only; maxCount stops after the entry that exceeds it.
    auto sparse = Make(8, 1, {0, 2, 0, -0.000003f, 5, 0, 0, 0});
    EXPECT_EQ(Take(sparse->ToStringNonZero(0)), "1:2.00000\t 4:5.00000\t ");
    EXPECT_EQ(Take(sparse->ToStringNonZero(1)), "1:2.00000\t 4:5.00000\t ");
    // "%7.5f" of -FLT_MAX is 46 characters: no 20-byte field holds it.
    const Floats huge = {1e30f, -FLT_MAX, FLT_MAX, 0.5f};
    auto big = Make(2, 2, huge);
    std::string text, nonZero;
    char entry[128];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(entry, sizeof entry, i % 2 ? "%7.5f\n" : "%7.5f\t ", static_cast<double>(huge[i]));
        text += entry;
        std::snprintf(entry, sizeof entry, "%i:%7.5f\t ", i, static_cast<double>(huge[i]));
        nonZero += entry;
    }
    EXPECT_EQ(Take(big->ToString(0)), text);
    EXPECT_EQ(Take(big->ToStringNonZero(0)), nonZero);
}

// Class-wide programs live from the first object of a class to its last:
// the survivors of each class keep working, and a set built again works.
TEST_F(UnpackedVectorTest, KernelProgramsOutliveEveryObjectButTheLast) {
    auto u = Make(4, 4, Indices(16));
    auto p = Make<PackedVector>(4, 4, Indices(16));
    auto s1 = MakeScalar(1), s2 = MakeScalar(2);
    u.reset();
    s1.reset();
    p->Scale(2);
    EXPECT_EQ(p->SumValue(), 240.0f) << "the packed survivor runs the shared set";
    s2->AddValueInPlace(1);
    EXPECT_EQ(s2->GetValue(), 3.0f);
    p.reset();
    s2.reset();
    u = Make(4, 4, Indices(16));
    u->Scale(2);
    EXPECT_EQ(u->SumValue(), 240.0f) << "a set built again runs";
    EXPECT_EQ(MakeScalar(4)->GetValue(), 4.0f);
}

// The framework is shut down mid-test, so no framebuffer scope from the fixture.
using AfterShutdownTest = GlTest;

// Values made while no framework runs, or outliving the one they were made
// under, refuse every call (no crash, no write into a later pool) and are
// destroyed quietly.
TEST_F(AfterShutdownTest, ValuesWithoutTheirFrameworkRefuseAndAreDestroyedQuietly) {
    auto v = Make(4, 4, Quarters(16, 1));
    auto s = MakeScalar(1);
    auto oldB = Make<PackedVector>(4, 4, Quarters(16, 2));
    v->Sum(s.get());
    ShutdownFramework();
    RefusalRecorder refusals;
    UnpackedVector early(4, 4, 0);
    GpuScalar earlyScalar;
    v->Fill(1);
    EXPECT_TRUE(std::isnan(s->GetValue()));
    const std::string shutDown = refusals.Take();
    EXPECT_EQ(shutDown,
              "GpuVector::Create: the framework is not initialised (call InitFramework first)\n"
              "GpuScalar::Create: the framework is not initialised (call InitFramework first)\n"
              "GpuVector::Fill: the vector outlived the framework it was made under\n"
              "GpuScalar::ReadValue: the scalar has no texture of the running framework\n");
    ASSERT_TRUE(InitFramework());
    v->Scale(2);
    early.Fill(1);
    EXPECT_NE(refusals.Take(), "") << "a new framework does not adopt old values";
    auto w = Make(4, 4, Indices(16));
    auto fresh = MakeScalar(1);
    w->Sum(s.get());
    fresh->Combine(s.get(), fresh.get(), 1, 1);
    EXPECT_EQ(CgSolver::Create(std::make_unique<BandMatrix>(4, 4), Make<PackedVector>(4, 4, Indices(16)),
                               std::move(oldB)),
              nullptr);
    EXPECT_EQ(refusals.Take(),
              "GpuVector::Sum: the result is not a usable scalar\n"
              "GpuScalar::Combine: an operand is null or has no texture of the running framework\n"
              "CgSolver::Create: x or b has no texture of the running framework; no solver made\n");
    EXPECT_EQ(fresh->GetValue(), 1.0f);
    v.reset();
    s.reset();
    w->Scale(2);
    EXPECT_EQ(w->SumValue(), 240.0f) << "a framework initialised again works";
}

}  // namespace
}  // namespace lt
