// The unpacked layout's size, upload and read-back order, CreateForLength,
// text dumps, the shared program set's lifetime and destruction after the
// framework is gone.
#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

using UnpackedVectorTest = LinalgTest;

TEST_F(UnpackedVectorTest, SizeWidthHeightAndTheTexelsSetDataLeaves) {
    for (const Shape& s : {Shape{8, 4}, Shape{4, 8}, Shape{1, 1}, Shape{512, 512}}) {
        SCOPED_TRACE(::testing::PrintToString(s));
        UnpackedVector v(s.w, s.h, 0);
        EXPECT_EQ(v.Size(), s.w * s.h);
        EXPECT_EQ(v.Width(), s.w);
        EXPECT_EQ(v.Height(), s.h);
        v.SetData(Indices(s.w * s.h).data(), static_cast<size_t>(s.w * s.h));
        EXPECT_TRUE(Near(Texels(v), Uploaded(Indices(s.w * s.h)))) << "texel n holds n in rgb, 1 in alpha";
        const Floats values = Quarters(s.w * s.h, 5, 1000);
        v.SetData(values.data(), values.size());
        EXPECT_TRUE(Near(Values(v), values)) << "GetData returns SetData's order";
    }
}

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
    auto v = Make(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(Take(v->ToString(0)), "1.00000\t 2.00000\n3.00000\t 4.00000\n");
    EXPECT_EQ(Take(v->ToString(3)), "1.00000\t 2.00000\n3.00000\t ");
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

// Shared set: 6 element-wise programs, 8 for the pass-by-pass reduction steps
// and 3 block folds.
constexpr long kShared = 17, kUnpacked = 4, kScalar = 7;

TEST_F(UnpackedVectorTest, TheSharedSetIsBuiltOnceAcrossBothLayoutsAndDeletedWithTheLastVector) {
    ASSERT_EQ(GpuVector::SharedProgramUsers(), 0) << "no vector may be alive between tests";
    GlCallCounter unpacked;
    auto u1 = std::make_unique<UnpackedVector>(8, 8, 0), u2 = std::make_unique<UnpackedVector>(4, 4, 0);
    EXPECT_EQ(unpacked.Counts().createProgram, kShared + kUnpacked);
    GlCallCounter packed;
    auto p1 = std::make_unique<PackedVector>(8, 8, 0), p2 = std::make_unique<PackedVector>(8, 8, 0);
    const long packedOwn = packed.Counts().createProgram;
    EXPECT_GT(packedOwn, 0);
    GlCallCounter release;
    u1.reset();
    u2.reset();
    p1.reset();
    EXPECT_EQ(release.Counts().deleteProgram, kUnpacked);
    p2->Fill(1.5f);
    EXPECT_TRUE(Near(Texels(*p2), Floats(64, 1.5f))) << "the survivor still runs the shared set";
    p2.reset();
    EXPECT_EQ(release.Counts().deleteProgram, kUnpacked + packedOwn + kShared);
    GlCallCounter again;
    auto u3 = Make(4, 4, Indices(16));
    EXPECT_EQ(again.Counts().createProgram, kShared + kUnpacked);
    EXPECT_EQ(u3->SumValue(), 120.0f) << "the rebuilt set runs";
}

// The framework is shut down mid-test, so no framebuffer scope from the fixture.
using AfterShutdownTest = GlTest;

// Values made while no framework runs, or outliving the one they were made
// under, refuse every call (no crash, no write into a later pool) and are
// destroyed quietly.
TEST_F(AfterShutdownTest, ValuesWithoutTheirFrameworkRefuseAndAreDestroyedQuietly) {
    auto v = Make(4, 4, Quarters(16, 1));
    auto s = MakeScalar(1);
    v->Sum(s.get());
    ShutdownFramework();
    ::testing::internal::CaptureStderr();
    UnpackedVector early(4, 4, 0);
    GpuScalar earlyScalar;
    v->Fill(1);
    EXPECT_TRUE(std::isnan(s->GetValue()));
    const std::string shutDown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(shutDown,
              "GpuVector::Create: the framework is not initialised (call InitFramework first)\n"
              "GpuScalar::Create: the framework is not initialised (call InitFramework first)\n"
              "GpuVector::Fill: the vector outlived the framework it was made under\n"
              "GpuScalar::ReadValue: the scalar has no texture of the running framework\n");
    ASSERT_TRUE(InitFramework());
    ::testing::internal::CaptureStderr();
    v->Scale(2);
    early.Fill(1);
    EXPECT_NE(::testing::internal::GetCapturedStderr(), "") << "a new framework does not adopt old values";
    GlCallCounter calls;
    v.reset();
    s.reset();
    EXPECT_EQ(calls.Counts().deleteProgram, kShared + kUnpacked + kScalar);
    auto w = Make(4, 4, Indices(16));
    w->Scale(2);
    EXPECT_EQ(w->SumValue(), 240.0f) << "a framework initialised again works";
}

}  // namespace
}  // namespace lt
