// Calls a user can get wrong: each is refused with one line on standard error
// naming the call, a failure result where the call has one, and operands
// left as they were. Also the work that must succeed whatever framebuffer the
// caller has bound, and a solve that recovers from a non-finite right-hand side.
#include <climits>
#include <cmath>

#include "linalg/CgSolver.h"
#include "linalg/GridOperatorBuilder.h"
#include "linalg/LinalgTestSupport.h"
#include "linalg/MultigridPreconditioner.h"
#include "support/GlCallCounter.h"

namespace lt {
namespace {

constexpr int kW = 8, kH = 8, kN = kW * kH;

// What the cases may touch; a, b, s and the matrix must come out unchanged.
struct Operands {
    const Floats aValues = Quarters(kN, 1), bValues = Quarters(kN, 2);
    std::unique_ptr<PackedVector> a = Make<PackedVector>(kW, kH, aValues), b = Make<PackedVector>(kW, kH, bValues);
    std::unique_ptr<PackedVector> taller = Make<PackedVector>(kW, 2 * kH, Quarters(2 * kN, 3));
    // The same 4 x 4 texture as a, holding another grid.
    std::unique_ptr<UnpackedVector> unpacked = Make(kW / 2, kH / 2, Quarters(kN / 4, 4));
    std::unique_ptr<GpuScalar> s = MakeScalar(2);
    std::unique_ptr<BandMatrix> matrix{Upload({kW, kH, {0, 1}, {Floats(kN, 1), Floats(kN, 0)}})};
};

PackedVector* NewPacked(int w, int h) { return Make<PackedVector>(w, h, Floats(static_cast<size_t>(w * h), 1)).release(); }

// A solver over band, with x = b = 1.
std::unique_ptr<CgSolver> SolverOver(const HostBand& band) {
    return std::make_unique<CgSolver>(Upload(band), NewPacked(band.w, band.h), NewPacked(band.w, band.h), 0);
}

// The identity with one main-diagonal entry replaced, or with no main
// diagonal, or with it stored twice.
HostBand Diagonal(float entry, int copies = 1) {
    HostBand band{kW, kH, {}, {}};
    for (int i = 0; i < copies; ++i) band.offsets.push_back(0), band.diagonals.push_back(Floats(kN, 1));
    if (copies == 0) band.offsets.push_back(1), band.diagonals.push_back(Floats(kN, 0));
    band.diagonals[0][17] = entry;
    return band;
}

bool JacobiTaken(const HostBand& band) {
    return SolverOver(band)->SetPreconditioner(CgSolver::Preconditioner::kJacobi);
}

// The 8 x 8 Poisson matrix with one entry changed (or a diagonal added).
HostBand PoissonWith(int offset, size_t row, float entry) {
    HostBand band = host::Diffusion(kW, kH, [](double, double) { return 1.0; });
    const size_t k = static_cast<size_t>(std::find(band.offsets.begin(), band.offsets.end(), offset) - band.offsets.begin());
    if (k == band.offsets.size()) {
        band.offsets.push_back(offset);
        band.diagonals.emplace_back(kN, 0.0f);
    }
    band.diagonals[k][row] = entry;
    return band;
}

bool MultigridTaken(const HostBand& band) {
    std::unique_ptr<BandMatrix> matrix(Upload(band));
    return MultigridPreconditioner(matrix.get()).IsUsable();
}

// Apply of a preconditioner over the Poisson matrix to r into z.
void ApplyMultigrid(GpuVector* r, GpuVector* z) {
    std::unique_ptr<BandMatrix> matrix(Upload(PoissonWith(0, 0, 4.0f)));
    MultigridPreconditioner(matrix.get()).Apply(r, z);
}

CgSolver::Stop StopOfSolveTo(float tolerance, int budget) {
    return SolverOver(Diagonal(1))->SolveTo(tolerance, budget).stop;
}

std::unique_ptr<GridOperator> Identity() { return GridOperatorBuilder(kW, kH).Tap(0, 0, 1.0).Build(); }

// Refused changes leave the operator as the identity, on the GPU and in its stencil.
void ExpectIdentity(GridOperator& matrix) {
    EXPECT_TRUE((matrix.Stencil().Offsets() == std::vector<StencilOffset>{{0, 0}}));
    EXPECT_EQ(matrix.Stencil().Coefficients(0), Doubles(kN, 1));
    EXPECT_EQ(matrix.NumDiagonals(), 1);
    EXPECT_TRUE(Near(Values(*matrix.GetDiagonal(kN)), Floats(kN, 1)));
}

// Takes every free pooled texture of desc but `spare`, so that the next ones
// must be allocated, and has the driver refuse allocations while act runs.
void WithoutTextureMemory(const TextureDesc& desc, const std::function<void()>& act, int spare = 0) {
    std::vector<int> taken;
    for (const TextureEntry& entry : g_resourcePool->Textures())
        if (!entry.used && entry.desc == desc && spare-- <= 0) {
            GLuint texture = 0;
            taken.push_back(g_resourcePool->AcquireTexture(desc, texture));
        }
    {
        TextureMemoryFault fault;
        act();
    }
    for (int index : taken) g_resourcePool->ReleaseTexture(index);
}

TextureDesc DescOf(GpuVector& v) {
    TextureDesc desc;
    v.GetTextureDesc(&desc);
    return desc;
}

struct Misuse {
    const char* name;
    const char* call;  // the first refusal names it
    std::function<void(Operands&)> act;
    const char* says = "";  // and says this
};

// Gives access to the protected default constructor.
struct LengthVector : UnpackedVector {
    explicit LengthVector(int n) { CreateForLength(n, 0, GL_RGBA32F_ARB); }
};

const Misuse kMisuses[] = {
    {"CombineWithAnotherSize", "GpuVector::Combine", [](Operands& o) { o.a->Combine(o.taller.get(), o.a.get(), 1, 1); }},
    {"CombineWithAnotherLayout", "GpuVector::Combine",
     [](Operands& o) { o.a->Combine(o.unpacked.get(), o.a.get(), 1, 1); }},
    {"DotIntoNoScalar", "GpuVector::Dot", [](Operands& o) { o.a->Dot(o.b.get(), nullptr); }},
    {"DotValueWithAnotherSize", "GpuVector::DotValue",
     [](Operands& o) { EXPECT_TRUE(std::isnan(o.a->DotValue(o.taller.get()))); }},
    {"MulAddScalarWithoutCoefficient", "GpuVector::MulAddScalar",
     [](Operands& o) { o.a->MulAddScalar(o.b.get(), o.a.get(), 1, nullptr); }},
    {"CopyFromNothing", "GpuVector::CopyFrom", [](Operands& o) { o.a->CopyFrom(nullptr); }},
    {"ShiftedProductRotationOutside0To3", "PackedVector::MulShifted",
     [](Operands& o) {
         o.b->MulShifted(o.b.get(), o.a.get(), 1, 0, 4);
         o.b->MulShiftedAdd(o.b.get(), o.a.get(), 1, 1, -1);
     },
     "rotation -1 is outside 0..3"},
    {"SetDataFromAShortBuffer", "GpuVector::SetData",
     [](Operands& o) { EXPECT_FALSE(o.a->SetData(Floats(kN - 1, 9).data(), kN - 1)); }},
    {"GetDataIntoAShortBuffer", "GpuVector::GetData",
     [](Operands& o) {
         Floats buffer(kN - 1, 9);
         EXPECT_FALSE(o.a->GetData(buffer.data(), buffer.size()));
         EXPECT_EQ(buffer, Floats(kN - 1, 9));
     }},
    {"GetDataIntoNothing", "GpuVector::GetData", [](Operands& o) { EXPECT_FALSE(o.a->GetData(nullptr, kN)); }},
    {"ZeroSizeVector", "GpuVector::Create",
     [](Operands& o) {
         UnpackedVector empty(0, 0, 0);
         EXPECT_TRUE(std::isnan(empty.SumValue()));
         empty.Dot(&empty, o.s.get());
         empty.Fill(1);
         EXPECT_EQ(empty.Size(), 0);
     }},
    {"PackedGridWithoutPoints", "PackedVector",
     [](Operands&) { EXPECT_FALSE(PackedVector(0, 5, 0).IsUsable() || PackedVector(5, 0, 0).IsUsable()); },
     "a 5x0 grid is not positive"},
    {"GridNoTextureHolds", "UnpackedVector",
     [](Operands&) { EXPECT_FALSE(UnpackedVector(1 << 30, 1, 0).IsUsable()); }},
    {"ElementCountPastInt", "UnpackedVector",
     [](Operands&) {
         EXPECT_FALSE(UnpackedVector(65536, 65536, 0).IsUsable());
         EXPECT_FALSE(LengthVector(1 << 30).IsUsable());
     },
     "more elements than an int counts"},
    {"CreateTwice", "GpuVector::Create",
     [](Operands& o) {
         const size_t pool = PoolSize();
         o.a->Create(kW / 2, kH / 2, 0, GL_RGBA32F_ARB);
         EXPECT_EQ(PoolSize(), pool);
     }},
    {"KeysOutside1To2NMinus1", "BandMatrix::SetDiagonals",
     [](Operands& o) {
         for (int key : {0, 2 * kN, INT_MIN, INT_MAX}) o.matrix->SetDiagonals(&key, 1);
     }},
    {"NoKeyArray", "BandMatrix::SetDiagonals", [](Operands& o) { o.matrix->SetDiagonals(nullptr, 2); }},
    {"ZeroSizeMatrix", "BandMatrix",
     [](Operands& o) { BandMatrix(0, 0).MultiplyVector(0, o.b.get(), nullptr, o.a.get()); }},
    {"ProductOfAnotherSize", "BandMatrix::MultiplyVector",
     [](Operands& o) { o.matrix->MultiplyVector(0, o.taller.get(), nullptr, o.a.get()); }},
    {"ProductIntoItsInput", "BandMatrix::MultiplyVector",
     [](Operands& o) { o.matrix->MultiplyVector(0, o.a.get(), nullptr, o.a.get()); }},
    {"ProductOfAnUnpackedVector", "BandMatrix::MultiplyVectorAdd",
     [](Operands& o) { o.matrix->MultiplyVectorAdd(0, o.unpacked.get(), nullptr, o.a.get()); }},
    {"SetDiagonalOfAnotherSize", "BandMatrix::SetDiagonal",
     [](Operands& o) { EXPECT_FALSE(o.matrix->SetDiagonal(o.taller.get(), kN)); }},
    // The solver owns what it is given: destroying it must free x = b once.
    {"SolverWithXAsB", "CgSolver",
     [](Operands&) {
         PackedVector* x = NewPacked(kW, kH);
         EXPECT_EQ(CgSolver(Upload({kW, kH, {0}, {Floats(kN, 1)}}), x, x, 0).Solve(2), 0);
     }},
    {"SolverWithoutB", "CgSolver",
     [](Operands&) { EXPECT_EQ(CgSolver(new BandMatrix(kW, kH), NewPacked(kW, kH), nullptr, 0).Solve(2), 0); }},
    {"SolverWithAMatrixOfAnotherSize", "CgSolver",
     [](Operands&) {
         EXPECT_EQ(CgSolver(new BandMatrix(kW, 2 * kH), NewPacked(kW, kH), NewPacked(kW, kH), 0).Solve(2), 0);
     },
     "(x 8x8, b 8x8, the matrix 8x16)"},
    // Made from unique_ptrs, a refused solver is none, and what it was given is freed once.
    {"SolverMadeWithXAsB", "CgSolver::Create",
     [](Operands&) {
         PackedVector* x = NewPacked(kW, kH);
         EXPECT_EQ(CgSolver::Create(std::make_unique<BandMatrix>(kW, kH), std::unique_ptr<GpuVector>(x),
                                    std::unique_ptr<GpuVector>(x)),
                   nullptr);
     }},
    {"SolverMadeWithBOfAnotherSize", "CgSolver::Create",
     [](Operands&) {
         EXPECT_EQ(CgSolver::Create(std::make_unique<BandMatrix>(kW, kH),
                                    std::unique_ptr<GpuVector>(NewPacked(kW, kH)),
                                    std::unique_ptr<GpuVector>(NewPacked(2 * kW, kH))),
                   nullptr);
     },
     "(x 8x8, b 16x8, the matrix 8x8)"},
    // Band products address packed vectors: any other layout is refused.
    {"SolverWorkingInTheUnpackedLayout", "CgSolver",
     [](Operands&) { EXPECT_EQ(CgSolver(new BandMatrix(kW, kH), NewPacked(kW, kH), NewPacked(kW, kH), 1).Solve(2), 0); }},
    {"SolverWithAnUnpackedX", "CgSolver",
     [](Operands& o) {
         auto* x = Make(kW, kH, o.aValues).release();
         EXPECT_EQ(CgSolver(new BandMatrix(kW, kH), x, NewPacked(kW, kH), 0).Solve(2), 0);
     }},
    {"SolveToANegativeTolerance", "CgSolver::SolveTo",
     [](Operands&) { EXPECT_EQ(StopOfSolveTo(-1e-5f, 10), CgSolver::Stop::kRefused); }},
    {"SolveToANaNTolerance", "CgSolver::SolveTo",
     [](Operands&) { EXPECT_EQ(StopOfSolveTo(std::nanf(""), 10), CgSolver::Stop::kRefused); }},
    {"SolveToANegativeBudget", "CgSolver::SolveTo",
     [](Operands&) { EXPECT_EQ(StopOfSolveTo(1e-5f, -1), CgSolver::Stop::kRefused); }},
    {"RefinedSolveIntoAnXOfAnotherSize", "CgSolver::SolveRefined",
     [](Operands&) {
         Doubles x(kN - 1, 0.0);
         const auto report = SolverOver(Diagonal(1))->SolveRefined(Doubles(kN, 1.0), x, 1e-10, 10);
         EXPECT_EQ(report.stop, CgSolver::Stop::kRefused);
     }},
    // Jacobi needs one main diagonal whose entries are positive and finite.
    {"JacobiWithoutAMainDiagonal", "JacobiPreconditioner", [](Operands&) { EXPECT_FALSE(JacobiTaken(Diagonal(0, 0))); }},
    {"JacobiWithTheMainDiagonalTwice", "JacobiPreconditioner",
     [](Operands&) { EXPECT_FALSE(JacobiTaken(Diagonal(1, 2))); }},
    {"JacobiWithAZeroOnTheDiagonal", "JacobiPreconditioner", [](Operands&) { EXPECT_FALSE(JacobiTaken(Diagonal(0))); }},
    {"JacobiWithANegativeEntry", "JacobiPreconditioner", [](Operands&) { EXPECT_FALSE(JacobiTaken(Diagonal(-2))); }},
    {"JacobiWithANaN", "JacobiPreconditioner", [](Operands&) { EXPECT_FALSE(JacobiTaken(Diagonal(std::nanf("")))); }},
    {"JacobiWithAnOverflowingReciprocal", "JacobiPreconditioner",
     [](Operands&) { EXPECT_FALSE(JacobiTaken(Diagonal(1e-39f))); }},
    // Grid operators: taps and coefficients the GPU cannot hold as they read.
    {"TapsTwiceOnOneDiagonalPastTheGridOrOnTooLargeAGrid", "GridOperatorBuilder::Build",
     [](Operands&) {
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(0, 0, 1.0).Tap(1, 0, 1.0).Tap(0, 0, 2.0).Build());
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(kW - 1, 0, 1.0).Tap(-1, 1, 1.0).Build());
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(kW, 0, 1.0).Build());
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(0, -kH, 1.0).Build());
         EXPECT_FALSE(GridOperatorBuilder(65536, 65536).Tap(0, 0, 1.0).Build());
     }},
    {"CoefficientsOfAnotherLengthOrNotFiniteFloats", "GridOperatorBuilder::Build",
     [](Operands&) {
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(0, 0, Doubles(kN - 1, 1)).Build());
         const auto nanAtColumn3 = [](int x, int) { return x == 3 ? NAN : 1.0; };
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(1, 0, nanAtColumn3).Build());
         EXPECT_FALSE(GridOperatorBuilder(kW, kH).Tap(0, 0, 1e39).Build());
     }},
    {"StencilWithTwinTapsOrANaN", "GridOperator::Create",
     [](Operands&) {
         EXPECT_FALSE(GridOperator::Create(GridStencil(kW, kH, {{0, 0}, {0, 0}})));
         GridStencil stencil(kW, kH, {{0, 0}});
         stencil.Set(0, 2, 2, NAN);
         EXPECT_FALSE(GridOperator::Create(stencil));
     },
     "tap (0, 0) is given twice"},
    {"DiffusionWithAZeroKANegativeCOrANegativeH", "MakeDiffusionOperator",
     [](Operands&) {
         const auto zeroAtOneCell = [](int x, int y) { return x == 2 && y == 3 ? 0.0 : 1.0; };
         EXPECT_FALSE(MakeDiffusionOperator(kW, kH, zeroAtOneCell));
         EXPECT_FALSE(MakeDiffusionOperator(kW, kH, 1.0, [](int, int y) { return y == 2 ? -0.5 : 0.0; }));
         EXPECT_FALSE(MakeDiffusionOperator(kW, kH, 1.0, 0.0, -1.0));
     }},
    {"SetStencilOfOtherTapsOrANaN", "GridOperator::SetStencil",
     [](Operands&) {
         const std::unique_ptr<GridOperator> matrix = Identity();
         EXPECT_FALSE(matrix->SetStencil(GridStencil(kW, kH, {{1, 0}})));
         EXPECT_FALSE(matrix->SetStencil(GridStencil(kW, 2 * kH, {{0, 0}})));
         GridStencil poisoned = matrix->Stencil();
         poisoned.Set(0, 2, 2, NAN);
         EXPECT_FALSE(matrix->SetStencil(poisoned));
         ExpectIdentity(*matrix);
     }},
    // Its diagonals are its stencil's: writing one directly would part them.
    {"SetDiagonalOfAGridOperator", "GridOperator::SetDiagonal",
     [](Operands& o) {
         const std::unique_ptr<GridOperator> matrix = Identity();
         EXPECT_FALSE(matrix->SetDiagonal(o.b.get(), kN));
         const int key = kN + 1;
         matrix->SetDiagonals(&key, 1);
         ExpectIdentity(*matrix);
     }},
    // Multigrid takes symmetric grid operators with a positive diagonal.
    {"MultigridAcrossTheGridsEdge", "MultigridPreconditioner",
     [](Operands&) { EXPECT_FALSE(MultigridTaken(PoissonWith(1, kW - 1, -1.0f))); }},
    {"MultigridOfANonGridOffset", "MultigridPreconditioner",
     [](Operands&) { EXPECT_FALSE(MultigridTaken(PoissonWith(3, 0, -1.0f))); }},
    {"MultigridOfANonSymmetricMatrix", "MultigridPreconditioner",
     [](Operands&) { EXPECT_FALSE(MultigridTaken(PoissonWith(1, 0, -0.5f))); }},
    {"MultigridWithANegativeDiagonalEntry", "MultigridPreconditioner",
     [](Operands&) { EXPECT_FALSE(MultigridTaken(PoissonWith(0, 9, -4.0f))); }},
    {"MultigridWithADiagonalStoredTwice", "MultigridPreconditioner",
     [](Operands&) { EXPECT_FALSE(MultigridTaken(Diagonal(1, 2))); }},
    {"MultigridIntoItsInput", "MultigridPreconditioner::Apply", [](Operands& o) { ApplyMultigrid(o.a.get(), o.a.get()); }},
    {"MultigridOfAnotherSize", "MultigridPreconditioner::Apply",
     [](Operands& o) { ApplyMultigrid(o.taller.get(), o.a.get()); }},
    {"MultigridAfterTheMatrixChanged", "MultigridPreconditioner::Apply",
     [](Operands& o) {
         std::unique_ptr<BandMatrix> matrix(Upload(PoissonWith(0, 0, 4.0f)));
         MultigridPreconditioner changing(matrix.get());
         const int key = kN;
         matrix->SetDiagonals(&key, 1);
         changing.Apply(o.a.get(), o.b.get());
     }},
    {"ScalarWithoutOperand", "GpuScalar::Combine", [](Operands& o) { o.s->Combine(nullptr, o.s.get(), 1, 1); }},
    // The pool gives nothing when the driver cannot allocate a texture.
    {"ScalarResultWithoutTextureMemory", "GpuScalar::AddValue",
     [](Operands& o) { WithoutTextureMemory({1, 1, GL_RGBA32F_ARB, GL_TEXTURE_2D}, [&] { o.s->AddValueInPlace(1); }); }},
    {"VectorResultWithoutTextureMemory", "GpuVector::Scale",
     [](Operands& o) { WithoutTextureMemory(DescOf(*o.a), [&] { o.a->Scale(2); }); }},
    {"ReductionWithoutTextureMemory", "GpuVector::Dot",
     [](Operands& o) { WithoutTextureMemory(DescOf(*o.a), [&] { o.a->Dot(o.b.get(), o.s.get()); }); }},
    {"ReductionWithOneScratchTexture", "GpuVector::Dot",
     [](Operands& o) { WithoutTextureMemory(DescOf(*o.a), [&] { o.a->Dot(o.b.get(), o.s.get()); }, 1); }},
    {"ReductionToTheHostWithoutATotal", "GpuVector::DotValue",
     [](Operands& o) {
         const TextureDesc total{1, 1, GL_RGBA32F_ARB, GL_TEXTURE_2D};
         WithoutTextureMemory(total, [&] { EXPECT_TRUE(std::isnan(o.a->DotValue(o.b.get()))); });
     }},
    {"SolveWithoutTextureMemory", "CgSolver::Solve",
     [](Operands&) {
         PackedVector* x = NewPacked(kW, kH);
         CgSolver solver(Upload(Diagonal(2)), x, NewPacked(kW, kH), 0);
         WithoutTextureMemory(DescOf(*x), [&] { solver.Solve(2); });
         EXPECT_TRUE(Near(Values(*x), Floats(kN, 1)));
         WithoutTextureMemory(DescOf(*x), [&] { solver.SolveTo(1e-5f, 10); });
         EXPECT_TRUE(Near(Values(*x), Floats(kN, 1)));
     }},
};

class MisuseTest : public LinalgParamTest<Misuse> {};

TEST_P(MisuseTest, IsRefusedWithAMessageAndLeavesTheOperands) {
    Operands o;
    const GLuint aTexture = o.a->Texture(), bTexture = o.b->Texture(), sTexture = o.s->Texture();
    RefusalRecorder refusals;
    GetParam().act(o);
    const std::string errors = refusals.Take();
    EXPECT_EQ(errors.rfind(std::string(GetParam().call) + ": ", 0), 0u) << errors;
    EXPECT_NE(errors.find(GetParam().says), std::string::npos) << errors;
    EXPECT_EQ(errors.back(), '\n');
    EXPECT_EQ(o.a->Texture(), aTexture);
    EXPECT_EQ(o.b->Texture(), bTexture);
    EXPECT_EQ(o.s->Texture(), sTexture);
    EXPECT_TRUE(Near(Values(*o.a), o.aValues));
    EXPECT_TRUE(Near(Values(*o.b), o.bValues));
    EXPECT_EQ(o.s->GetValue(), 2.0f);
    EXPECT_EQ(o.matrix->NumDiagonals(), 2);
}

INSTANTIATE_TEST_SUITE_P(Calls, MisuseTest, ::testing::ValuesIn(kMisuses),
                         [](const ::testing::TestParamInfo<Misuse>& info) { return info.param.name; });

// What a caller may have bound: the window, a framebuffer of its own, one to
// draw into and another to read from, or the framework's to draw into.
enum class CallerBinding { kWindow, kOwn, kReadApartFromDraw, kFrameworksForDrawing };

std::string BindingName(CallerBinding binding) {
    const char* const names[] = {"Window", "Own", "ReadApartFromDraw", "FrameworksForDrawing"};
    return names[static_cast<int>(binding)];
}

GLint Binding(GLenum which) {
    GLint name = -1;
    glGetIntegerv(which, &name);
    return name;
}

// No fixture framebuffer: each case binds what a caller might have bound.
class AnyFramebufferTest : public GlTest, public ::testing::WithParamInterface<CallerBinding> {};

// Work done with the window's framebuffer (or the caller's own) bound lands in
// the library's targets; the caller's bindings and its own framebuffer's
// attachment are back afterwards, and the framework's framebuffer draws into
// one target again after a pass into two.
TEST_P(AnyFramebufferTest, WorkSucceedsAndTheCallersFramebufferIsRestored) {
    const CallerBinding binding = GetParam();
    GLuint own[2] = {0, 0}, attached = 0;
    glGenFramebuffersEXT(2, own);
    glGenTextures(1, &attached);
    glBindTexture(GL_TEXTURE_2D, attached);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, own[0]);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, attached, 0);
    const GLuint draw[] = {0, own[0], own[0], g_frameworkFbo}, read[] = {0, own[0], own[1], own[1]};
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, draw[static_cast<int>(binding)]);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, read[static_cast<int>(binding)]);
    const GLint drawBefore = Binding(GL_DRAW_FRAMEBUFFER_BINDING_EXT);
    const GLint readBefore = Binding(GL_READ_FRAMEBUFFER_BINDING_EXT);
    const HostBand host = RandomBand(kW, kH, {-1, 0, 4}, 7);
    std::unique_ptr<BandMatrix> matrix(Upload(host));
    const Floats x = Quarters(kN, 8), diagonal = Quarters(kN, 9);
    auto vx = Make<PackedVector>(kW, kH, x), source = Make<PackedVector>(kW, kH, diagonal);
    PackedVector y(kW, kH, 0);
    ASSERT_TRUE(matrix->SetDiagonal(source.get(), kN));
    matrix->MultiplyVector(0, vx.get(), nullptr, &y);
    HostBand expected = host;
    expected.diagonals[1] = diagonal;
    EXPECT_TRUE(Near(Values(y), expected.Multiply(ToDoubles(x))));
    auto s = MakeScalar(0);
    vx->Dot(vx.get(), s.get());
    EXPECT_EQ(s->GetValue(), static_cast<float>(Dot(ToDoubles(x), ToDoubles(x))));
    const HostBand spd = host::Diffusion(kW, kH, [](double, double) { return 1.0; });
    auto solver = CgSolver::Create(std::unique_ptr<BandMatrix>(Upload(spd)), Make<PackedVector>(kW, kH, x),
                                   Make<PackedVector>(kW, kH, diagonal));
    solver->Solve(2);
    const Doubles twoSteps = host::Cg(spd, ToDoubles(diagonal), ToDoubles(x), 2);
    EXPECT_TRUE(Near(Values(*solver->X()), twoSteps, kSolverDrift * 4));
    EXPECT_EQ(Binding(GL_DRAW_FRAMEBUFFER_BINDING_EXT), drawBefore);
    EXPECT_EQ(Binding(GL_READ_FRAMEBUFFER_BINDING_EXT), readBefore);
    GLint attachment = 0;
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, own[0]);
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &attachment);
    EXPECT_EQ(attachment, static_cast<GLint>(attached));
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo);
    EXPECT_EQ(Binding(GL_DRAW_BUFFER1), GL_NONE);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteFramebuffersEXT(2, own);
    glDeleteTextures(1, &attached);
}

INSTANTIATE_TEST_SUITE_P(Bound, AnyFramebufferTest,
                         ::testing::Values(CallerBinding::kWindow, CallerBinding::kOwn, CallerBinding::kReadApartFromDraw,
                                           CallerBinding::kFrameworksForDrawing),
                         [](const ::testing::TestParamInfo<CallerBinding>& info) { return BindingName(info.param); });

using NonFiniteTest = LinalgTest;

// A NaN or an infinity in b makes that solve non-finite; the next finite b
// starts again from 0 instead of carrying the poisoned warm start forever.
TEST_F(NonFiniteTest, ASolveWithAFiniteRightHandSideRecovers) {
    HostBand spd{kW, kH, {0, 1, -1}, {Floats(kN, 4), Floats(kN, -1), Floats(kN, -1)}};
    spd.diagonals[1].back() = 0, spd.diagonals[2].front() = 0;
    const Floats b = Quarters(kN, 5);
    PackedVector* x = Make<PackedVector>(kW, kH, Floats(kN, 0)).release();
    PackedVector* rhs = Make<PackedVector>(kW, kH, b).release();
    CgSolver solver(Upload(spd), x, rhs, 0);
    for (float poison : {NAN, INFINITY}) {
        Floats bad = b;
        bad[7] = poison;
        rhs->SetData(bad.data(), bad.size());
        solver.Solve(3);
        EXPECT_FALSE(std::isfinite(Values(*x)[0]));
        rhs->SetData(b.data(), b.size());
        solver.Solve(3);
        const Doubles expected = host::Cg(spd, ToDoubles(b), Doubles(kN, 0.0), 3);
        EXPECT_TRUE(Near(Values(*x), expected, kSolverDrift * 4)) << "after " << poison;
    }
}

}  // namespace
}  // namespace lt
