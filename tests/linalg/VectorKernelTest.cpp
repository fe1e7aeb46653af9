// Element-wise kernels, reductions and unpacked shifted products against host
// models on every channel of square, wide, tall and thin textures.
#include <numeric>

#include "linalg/KernelSupport.h"
#include "linalg/LinalgTestSupport.h"

namespace lt {
namespace {

const auto kShapes = ::testing::Values(Shape{1, 1}, Shape{8, 4}, Shape{4, 8}, Shape{64, 64});
using V = UnpackedVector;

struct KernelCase {
    const char* name;
    int writes;  // 0: a, 1: b, 2: c, -1: nothing
    void (*gpu)(V& a, V& b, V& c, GpuScalar& s);
    float (*host)(float a, float b);  // s = 0.75
};

// clang-format off
#define CASE(name, writes, call, formula) {name, writes, \
    [](V& a, V& b, V& c, GpuScalar& s) { (void)a, (void)b, (void)c, (void)s, call; }, \
    [](float a, float b) { return (void)a, (void)b, static_cast<float>(formula); }}
const KernelCase kKernels[] = {
    CASE("Fill", 2, c.Fill(2.5f), 2.5),
    CASE("CopyFrom", 2, c.CopyFrom(&a), a),
    CASE("Scale", 0, a.Scale(-1.5f), -1.5f * a),
    CASE("Combine", 2, a.Combine(&b, &c, 2, 0.5f), 2 * a + 0.5f * b),
    CASE("Combine into this", 0, a.Combine(&b, &a, -1.5f, 2), -1.5f * a + 2 * b),
    CASE("Combine into b", 1, a.Combine(&b, &b, 1, -0.5f), a - 0.5f * b),
    CASE("Combine a with a into a", 0, a.Combine(&a, &a, 2, 3), 5 * a),
    CASE("CombineSub", 2, a.CombineSub(&b, &c, 0.5f, 2), 0.5f * a - 2 * b),
    CASE("CombineOp 1", 2, a.CombineOp(1, &b, &c, 3, -0.25f), 3 * a - 0.25f * b),
    CASE("CombineOp 2 into b", 1, a.CombineOp(2, &b, &b, 0.5f, 2), 0.5f * a - 2 * b),
    CASE("CombineOp 0", -1, a.CombineOp(0, &b, &c, 2, 3), 0),
    CASE("CombineOp 3", -1, a.CombineOp(3, &b, &a, 2, 3), 0),
    CASE("MulAddScalar", 2, a.MulAddScalar(&b, &c, 1.5f, &s), 1.5f * a + 0.75f * b),
    CASE("MulSubScalar", 2, a.MulSubScalar(&b, &c, -2, &s), -2 * a - 0.75f * b),
    CASE("MulAddScalar into b", 1, a.MulAddScalar(&b, &b, 1, &s), a + 0.75f * b),
    CASE("MulSubScalar into this", 0, a.MulSubScalar(&b, &a, 2, &s), 2 * a - 0.75f * b),
};
// clang-format on
#undef CASE

class VectorKernelTest : public LinalgParamTest<Shape> {
protected:
    int N() const { return GetParam().w * GetParam().h; }
    std::unique_ptr<V> Vec(unsigned seed) { return Make(GetParam().w, GetParam().h, Quarters(N(), seed)); }
};

// Operands that are not written keep their texels; the written vector's
// texture is never left in a free pool entry; no pool entry stays taken.
TEST_P(VectorKernelTest, EveryKernelMatchesTheHostOnAllChannels) {
    auto s = MakeScalar(0.75f);
    for (const KernelCase& k : kKernels) {
        SCOPED_TRACE(k.name);
        std::unique_ptr<V> v[3] = {Vec(1), Vec(2), Vec(3)};
        const Floats before[3] = {Texels(*v[0]), Texels(*v[1]), Texels(*v[2])};
        const long used = UsedTextures();
        GlCallCounter calls;
        k.gpu(*v[0], *v[1], *v[2], *s);
        EXPECT_EQ(calls.Counts().readPixels, 0);
        EXPECT_EQ(UsedTextures(), used);
        for (int i = 0; i < 3; ++i) {
            Floats expected = before[i];
            if (i == k.writes)
                for (size_t t = 0; t < expected.size(); ++t) expected[t] = k.host(before[0][t], before[1][t]);
            EXPECT_TRUE(Near(Texels(*v[i]), expected)) << "vector " << i;
            EXPECT_FALSE(FreeInPool(v[i]->Texture()));
        }
        EXPECT_EQ(s->GetValue(), 0.75f);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, VectorKernelTest, kShapes, ShapeName);

struct ReductionCase {
    bool packed;
    Shape shape;
};
std::string ReductionName(const ::testing::TestParamInfo<ReductionCase>& info) {
    return std::string(info.param.packed ? "Packed" : "Unpacked") + ShapeName({info.param.shape, 0});
}
class ReductionTest : public LinalgParamTest<ReductionCase> {
protected:
    std::unique_ptr<GpuVector> Vec(const Floats& values) {
        const Shape s = GetParam().shape;
        if (GetParam().packed) return Make<PackedVector>(s.w, s.h, values);
        return Make(s.w, s.h, values);
    }
};

// Sum, Dot (of two vectors and of one with itself) and the read-back forms;
// the vectors keep texture and values and every scratch entry is free again.
TEST_P(ReductionTest, SumsAndDotsMatchTheHostAndLeaveTheVectorsAlone) {
    const size_t n = static_cast<size_t>(GetParam().shape.w * GetParam().shape.h);
    const Floats a = Quarters(n, 11), b = Quarters(n, 12);
    const double sum = std::accumulate(a.begin(), a.end(), 0.0);
    const double dot = Dot(ToDoubles(a), ToDoubles(b)), squares = Dot(ToDoubles(a), ToDoubles(a));
    auto va = Vec(a), vb = Vec(b);
    auto result = MakeScalar(-1);
    const GLuint aTexture = va->Texture();
    const long used = UsedTextures();
    const std::tuple<const char*, double, std::function<float()>> reductions[] = {
        {"Sum", sum, [&] { return va->Sum(result.get()), result->GetValue(); }},
        {"Dot", dot, [&] { return va->Dot(vb.get(), result.get()), result->GetValue(); }},
        {"Dot with itself", squares, [&] { return va->Dot(va.get(), result.get()), result->GetValue(); }},
        {"SumValue", sum, [&] { return va->SumValue(); }},
        {"DotValue", dot, [&] { return va->DotValue(vb.get()); }},
    };
    for (const auto& [name, expected, reduce] : reductions) {
        SCOPED_TRACE(name);
        EXPECT_EQ(reduce(), static_cast<float>(expected));
        EXPECT_EQ(UsedTextures(), used);
        EXPECT_EQ(va->Texture(), aTexture);
        EXPECT_TRUE(Near(Values(*va), a));
    }
}

// Powers of two, thin textures, sides whose fold blocks run past the region,
// and vectors whose last texel is part padding (odd packed grids, a column
// longer than a texture).
INSTANTIATE_TEST_SUITE_P(
    Shapes, ReductionTest,
    ::testing::Values(ReductionCase{false, {1, 1}}, ReductionCase{false, {8, 4}}, ReductionCase{false, {4, 8}},
                      ReductionCase{false, {1, 7}}, ReductionCase{false, {17, 1}}, ReductionCase{false, {3, 5}},
                      ReductionCase{false, {100, 100}}, ReductionCase{true, {2, 2}}, ReductionCase{true, {6, 4}},
                      ReductionCase{true, {10, 6}}, ReductionCase{true, {20, 36}}, ReductionCase{true, {512, 512}},
                      ReductionCase{true, {1, 1}}, ReductionCase{true, {5, 3}}, ReductionCase{true, {301, 199}},
                      ReductionCase{false, {1, 40000}}),
    ReductionName);

// The halving passes a caller drives itself, ReduceSquare and then the
// layout's ReduceInto, are exact on power-of-two sides. The caller supplies
// the two scratch textures the passes ping-pong between.
template <typename Layout>
class SteppedVector : public Layout {
public:
    SteppedVector(int w, int h) : Layout(w, h, 0) {}
    float Reduce(GpuVector* other) {
        TextureDesc desc;
        this->GetTextureDesc(&desc);
        const int slots[2] = {g_resourcePool->AcquireTexture(desc, this->tempTexture[0]),
                              g_resourcePool->AcquireTexture(desc, this->tempTexture[1])};
        GpuScalar total;
        kernel::BindTexture(GL_TEXTURE1, other != nullptr ? other->Texture() : 0);
        kernel::BindTexture(GL_TEXTURE0, this->Texture());
        this->ReduceInto(this->ReduceSquare(other != nullptr), total.Texture());
        for (int slot : slots) g_resourcePool->ReleaseTexture(slot);
        return total.GetValue();
    }
};

// The sum of a and its inner product with b, each through the stepped passes.
template <typename Layout>
std::pair<float, float> SteppedSumAndDot(Shape s, const Floats& a, const Floats& b) {
    SteppedVector<Layout> va(s.w, s.h), vb(s.w, s.h);
    EXPECT_TRUE(va.SetData(a.data(), a.size()) && vb.SetData(b.data(), b.size()));
    return {va.Reduce(nullptr), va.Reduce(&vb)};
}

class SteppedReductionTest : public ReductionTest {};

TEST_P(SteppedReductionTest, SumsAndDotsMatchTheHost) {
    const Shape s = GetParam().shape;
    const size_t n = static_cast<size_t>(s.w * s.h);
    const Floats a = Quarters(n, 21), b = Quarters(n, 22);
    const auto [sum, dot] = GetParam().packed ? SteppedSumAndDot<PackedVector>(s, a, b)
                                              : SteppedSumAndDot<UnpackedVector>(s, a, b);
    EXPECT_EQ(sum, static_cast<float>(std::accumulate(a.begin(), a.end(), 0.0)));
    EXPECT_EQ(dot, static_cast<float>(Dot(ToDoubles(a), ToDoubles(b))));
}

// Square, oblong both ways, one texel wide or high, below the square pass.
INSTANTIATE_TEST_SUITE_P(
    Shapes, SteppedReductionTest,
    ::testing::Values(ReductionCase{false, {16, 16}}, ReductionCase{false, {8, 2}}, ReductionCase{false, {2, 8}},
                      ReductionCase{false, {1, 8}}, ReductionCase{false, {8, 1}}, ReductionCase{true, {16, 8}},
                      ReductionCase{true, {4, 4}}),
    ReductionName);

// A layout written against the vector's table of operations as it always
// was: Sum, Dot and their Value forms still end in its ReduceInto (or
// ReduceFinal) and ReadReduced, which the base finishes with its fold.
class CountingLayout : public GpuVector {
public:
    using GpuVector::GetData;
    using GpuVector::SetData;
    CountingLayout(int w, int h) { Create(w, h, 0, GL_RGBA32F_ARB); }
    ~CountingLayout() override { ReleaseSharedPrograms(); }
    int Size() override { return width * height; }
    int Width() override { return width; }
    int Height() override { return height; }
    void SetData(const float* values) override { UploadTexels(GL_LUMINANCE, values); }
    void GetData(float* values) override { ReadTexels(texture, width, height, GL_RED, values); }
    void CreatePrograms() override { CreateSharedPrograms(); }
    void ReduceFinal(int step, GLuint target, bool sumChannels) override {
        ++finals;
        GpuVector::ReduceFinal(step, target, sumChannels);
    }
    void ReduceInto(int step, GLuint target) override {
        ++reduceIntos;
        ReduceFinal(step, target, false);
    }
    float ReadReduced(GLuint source) override {
        ++readBacks;
        float value = 0;
        ReadTexels(source, 1, 1, GL_RED, &value);
        return value;
    }
    int finals = 0, reduceIntos = 0, readBacks = 0;
};

using LayoutTableTest = LinalgTest;

TEST_F(LayoutTableTest, ReductionsCallTheLayoutsLastSteps) {
    const Floats a = Quarters(35, 41), b = Quarters(35, 42);
    CountingLayout va(7, 5), vb(7, 5);
    ASSERT_TRUE(va.SetData(a.data(), a.size()) && vb.SetData(b.data(), b.size()));
    auto result = MakeScalar(0);
    va.Dot(&vb, result.get());
    EXPECT_EQ(result->GetValue(), static_cast<float>(Dot(ToDoubles(a), ToDoubles(b))));
    EXPECT_EQ(va.SumValue(), static_cast<float>(std::accumulate(a.begin(), a.end(), 0.0)));
    EXPECT_EQ(va.reduceIntos, 1);
    EXPECT_EQ(va.finals, 2);
    EXPECT_EQ(va.readBacks, 1);
}

// A pass into two targets draws nothing, and says so, when either is missing.
TEST_F(LayoutTableTest, APassIntoTwoTargetsNeedsBoth) {
    auto v = Make(2, 2, Floats(4, 1));
    TextureDesc desc;
    v->GetTextureDesc(&desc);
    EXPECT_FALSE(kernel::DrawIntoTwoTargets(nullptr, desc, v->Texture(), 0, {}));
    EXPECT_FALSE(kernel::DrawIntoTwoTargets(nullptr, desc, 0, v->Texture(), {}));
}

class ShiftedProductTest : public LinalgParamTest<Shape> {};

// Shifts pair elements across row ends and wrap past either end of the
// texture; the accumulating form adds to dst, which may be src itself.
TEST_P(ShiftedProductTest, MulShiftedAndMulShiftedAddMatchTheWrappedHostProduct) {
    const int w = GetParam().w, n = w * GetParam().h;
    const Floats d = Uploaded(Quarters(n, 21)), x = Uploaded(Quarters(n, 22));
    auto vd = Make(w, GetParam().h, Quarters(n, 21)), vx = Make(w, GetParam().h, Quarters(n, 22));
    V y(w, GetParam().h, 0);
    for (int shift : {0, 1, -1, w, -w, w + 1, -(w + 1), 2 * n + 3, -(3 * n + 5)}) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        vd->MulShifted(vx.get(), &y, 0.5f, shift);
        const Doubles product = ShiftedProduct(d, x, 0.5, shift, 4);
        EXPECT_TRUE(Near(Texels(y), product));
        vd->MulShiftedAdd(vx.get(), &y, 0.5f, shift);
        Doubles twice = product;
        for (double& t : twice) t *= 2;
        EXPECT_TRUE(Near(Texels(y), twice)) << "accumulated";
        const Floats old = Texels(y);
        vd->MulShiftedAdd(&y, &y, -1.5f, shift);
        Doubles inPlace = ShiftedProduct(d, old, -1.5, shift, 4);
        for (size_t i = 0; i < old.size(); ++i) inPlace[i] += old[i];
        EXPECT_TRUE(Near(Texels(y), inPlace)) << "src = dst";
    }
    EXPECT_TRUE(Near(Texels(*vd), d));
    EXPECT_TRUE(Near(Texels(*vx), x));
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShiftedProductTest, kShapes, ShapeName);

}  // namespace
}  // namespace lt
