#include "linalg/MultigridPreconditioner.h"

#include <GL/glew.h>

#include <algorithm>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/BandMatrix.h"
#include "linalg/GridOperator.h"
#include "linalg/KernelSupport.h"
#include "linalg/MultigridKernels.h"
#include "linalg/PackedVector.h"

namespace {

constexpr int kSlots = 3;  // x, the previous x and the next one rotate through them
const GLenum kTwoTargets[] = {GL_COLOR_ATTACHMENT0_EXT, GL_COLOR_ATTACHMENT1_EXT};
const std::vector<std::string> kBandSamplers = {"g_sX", "g_sPrevious", "g_sRhs", "g_sInverseDiagonal"};

bool Fail(std::string* reason, std::string why) {
    *reason = std::move(why);
    return false;
}

std::vector<float> ToFloats(const std::vector<double>& values) { return {values.begin(), values.end()}; }

// Null, after the vector has said why, when the driver cannot hold it.
std::unique_ptr<PackedVector> Upload(int width, int height, const std::vector<float>& values) {
    auto vector = std::make_unique<PackedVector>(width, height, 0);
    if (!vector->IsUsable() || (!values.empty() && !vector->SetData(values.data(), values.size())))
        return nullptr;
    return vector;
}

int OtherSlot(int a, int b) {
    for (int slot = 0; slot < kSlots; ++slot)
        if (slot != a && slot != b) return slot;
    return -1;
}

bool DrawBuffersForTwoTargets() {
    GLint buffers = 0;
    glGetIntegerv(GL_MAX_DRAW_BUFFERS, &buffers);
    return buffers >= 2;
}

void SetTexels(GLint location, int tw, int th) {
    const float w = static_cast<float>(tw), h = static_cast<float>(th);
    glUniform4f(location, w, h, 1.0f / w, 1.0f / h);
}

// Renders the bound program over a tw x th target (and a second one).
void Draw(int tw, int th, GLuint target, GLuint second = 0) {
    glViewport(0, 0, tw, th);
    AttachPassTarget(target);
    if (second != 0) {
        AttachPassTarget(second, GL_COLOR_ATTACHMENT1_EXT);
        glDrawBuffers(2, kTwoTargets);
    }
    DrawFullScreenPass();
    if (second != 0) {
        glDrawBuffers(1, kTwoTargets);
        AttachPassTarget(0, GL_COLOR_ATTACHMENT1_EXT);
    }
}

}  // namespace

struct MultigridPreconditioner::Level {
    int width = 0;
    int height = 0;
    long long points = 0;
    int tw = 0;  // the packed texture's sides
    int th = 0;
    std::vector<int> keys;                                 // the finest level: the matrix's, in its order
    std::vector<std::unique_ptr<PackedVector>> diagonals;  // coarser levels: their own, in tap order
    multigrid::BandTaps taps;
    std::vector<float> tapCoordinates;
    std::unique_ptr<PackedVector> inverseDiagonal;
    std::unique_ptr<PackedVector> rhs;  // coarser levels: the restricted residual
    std::unique_ptr<PackedVector> slots[kSlots];
    std::vector<MultigridHierarchy::Step> steps;
    const multigrid::Kernel* sweep = nullptr;
    const multigrid::Kernel* residual = nullptr;
    // The transfers with the next coarser level.
    const multigrid::Kernel* restriction = nullptr;
    const multigrid::Kernel* prolongation = nullptr;
    bool aligned = false;

    GpuVector* Slot(int slot) { return slots[slot].get(); }
    GLuint Diagonal(BandMatrix* matrix, std::size_t j) {
        return keys.empty() ? diagonals[j]->Texture() : matrix->GetDiagonal(keys[j])->Texture();
    }
};

// target = cx x + cp previous + alpha D^-1 (b - A x).
struct MultigridPreconditioner::Sweep {
    GpuVector* x;
    GpuVector* previous;
    GpuVector* b;
    GpuVector* target;
    float cx;
    float cp;
    float alpha;
};

MultigridPreconditioner::MultigridPreconditioner(BandMatrix* matrix) : m_pMatrix(matrix) {
    Build("MultigridPreconditioner");
}

MultigridPreconditioner::~MultigridPreconditioner() { Release(); }

bool MultigridPreconditioner::Rebuild() { return Build("MultigridPreconditioner::Rebuild"); }

// A grid operator's stencil is its matrix in double; any other band matrix
// is read back.
bool MultigridPreconditioner::Build(const char* call) {
    Release();
    std::string reason;
    GridStencil read;
    const auto* gridOperator = dynamic_cast<const GridOperator*>(m_pMatrix);
    const bool built = CheckMatrix(&reason) && (gridOperator != nullptr || ReadStencil(&read, &reason)) &&
                       m_hierarchy.Build(gridOperator != nullptr ? gridOperator->Stencil() : read, &reason) &&
                       MakeLevels(&reason);
    if (!built) {
        Release();
        return Refuse(call, "%s; the preconditioner is unusable", reason.c_str());
    }
    m_bCounting = true;
    m_cycleWork = {};
    RunCycle(nullptr, nullptr);
    m_bCounting = false;
    return true;
}

bool MultigridPreconditioner::CheckMatrix(std::string* reason) const {
    if (m_pMatrix == nullptr || !m_pMatrix->IsUsable())
        return Fail(reason, "the matrix is null or its grid cannot hold packed diagonals");
    const int count = m_pMatrix->NumDiagonals();
    for (int i = 0; i < count; ++i)
        for (int j = 0; j < i; ++j)
            if (m_pMatrix->KeyAt(i) == m_pMatrix->KeyAt(j))
                return Fail(reason, "the matrix stores the diagonal of key " +
                                        std::to_string(m_pMatrix->KeyAt(i)) + " more than once");
    GLint units = 0;
    glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &units);
    if (multigrid::kBandFixedUnits + count > units)
        return Fail(reason, "the matrix has " + std::to_string(count) +
                                " diagonals and a smoothing pass takes at most " +
                                std::to_string(units - multigrid::kBandFixedUnits) + " on this driver");
    if (!DrawBuffersForTwoTargets())
        return Fail(reason, "the driver has one draw buffer and the restriction writes two targets");
    return true;
}

// The matrix's diagonals, read back: floats, exact in double.
bool MultigridPreconditioner::ReadStencil(GridStencil* stencil, std::string* reason) const {
    const long long n = static_cast<long long>(m_pMatrix->Width()) * m_pMatrix->Height();
    std::vector<long long> offsets;
    std::vector<std::vector<float>> diagonals;
    for (int i = 0; i < m_pMatrix->NumDiagonals(); ++i) {
        offsets.push_back(m_pMatrix->KeyAt(i) - n);
        diagonals.emplace_back(static_cast<std::size_t>(n));
        if (!m_pMatrix->GetDiagonal(m_pMatrix->KeyAt(i))
                 ->GetData(diagonals.back().data(), diagonals.back().size()))
            return Fail(reason, "a diagonal of the matrix could not be read");
    }
    return StencilOfBand(m_pMatrix->Width(), m_pMatrix->Height(), offsets, diagonals, stencil, reason);
}

bool MultigridPreconditioner::MakeLevels(std::string* reason) {
    for (int index = 0; index < m_hierarchy.Levels(); ++index)
        if (!MakeLevel(index, reason)) return false;
    for (std::size_t index = 0; index + 1 < m_levels.size(); ++index) {
        Level& level = *m_levels[index];
        level.aligned = level.width % 8 == 0;
        level.restriction = multigrid::Acquire(multigrid::RestrictionSource(level.aligned),
                                               {"g_sFine", "g_sInverseDiagonal"});
        level.prolongation =
            multigrid::Acquire(multigrid::ProlongationSource(level.aligned), {"g_sFine", "g_sCoarse"});
        if (level.restriction == nullptr || level.prolongation == nullptr)
            return Fail(reason, "the driver could not build the grid transfer programs");
    }
    if (m_levels.size() > 1 || !m_hierarchy.DirectCoarsest()) {
        m_pScale =
            multigrid::Acquire(multigrid::ScaledInverseDiagonalSource(), {"g_sRhs", "g_sInverseDiagonal"});
        if (m_pScale == nullptr) return Fail(reason, "the driver could not build the first sweep's program");
    }
    return !m_hierarchy.DirectCoarsest() || MakeDenseSolve(reason);
}

bool MultigridPreconditioner::MakeLevel(int index, std::string* reason) {
    const GridStencil& op = m_hierarchy.Operator(index);
    m_levels.push_back(std::make_unique<Level>());
    Level& level = *m_levels.back();
    level.width = op.Width();
    level.height = op.Height();
    level.points = op.Points();
    level.steps = m_hierarchy.Steps(index);
    level.inverseDiagonal = Upload(level.width, level.height, ToFloats(m_hierarchy.InverseDiagonal(index)));
    if (!level.inverseDiagonal) return Fail(reason, "the driver cannot hold a level's textures");
    TextureDesc desc;
    level.inverseDiagonal->GetTextureDesc(&desc);
    level.tw = desc.width;
    level.th = desc.height;
    std::vector<long long> offsets;
    if (index == 0) {
        for (int i = 0; i < m_pMatrix->NumDiagonals(); ++i) {
            level.keys.push_back(m_pMatrix->KeyAt(i));
            offsets.push_back(level.keys.back() - level.points);
        }
    } else {
        for (int tap = 0; tap < op.NumTaps(); ++tap) {
            offsets.push_back(op.ElementOffset(tap));
            level.diagonals.push_back(Upload(level.width, level.height, ToFloats(op.Coefficients(tap))));
            if (!level.diagonals.back()) return Fail(reason, "the driver cannot hold a level's textures");
        }
        level.rhs = Upload(level.width, level.height, {});
        if (!level.rhs) return Fail(reason, "the driver cannot hold a level's textures");
    }
    // Every pass writes its whole target: the slots need no values yet.
    for (auto& slot : level.slots) {
        slot = Upload(level.width, level.height, {});
        if (!slot) return Fail(reason, "the driver cannot hold a level's textures");
    }
    level.taps = multigrid::PlanTaps(offsets);
    level.tapCoordinates = multigrid::TapCoordinates(level.taps, level.tw, level.th);
    std::vector<std::string> samplers = kBandSamplers;
    for (std::size_t j = 0; j < offsets.size(); ++j) samplers.push_back("g_sDiagonal" + std::to_string(j));
    level.sweep = multigrid::Acquire(multigrid::BandSource(level.taps, false), samplers);
    level.residual = multigrid::Acquire(multigrid::BandSource(level.taps, true), samplers);
    if (level.sweep == nullptr || level.residual == nullptr)
        return Fail(reason, "the driver could not build a level's smoothing programs");
    return true;
}

// The inverse a row per texel row, four columns a texel: the layout of a
// packed vector of a (2 ceil(n / 4)) x 2n grid.
bool MultigridPreconditioner::MakeDenseSolve(std::string* reason) {
    const std::vector<double>& inverse = m_hierarchy.CoarsestInverse();
    const std::size_t n = static_cast<std::size_t>(m_levels.back()->points), rowTexels = (n + 3) / 4;
    std::vector<float> rows(4 * rowTexels * n, 0.0f);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            rows[i * 4 * rowTexels + j] = static_cast<float>(inverse[i * n + j]);
    m_pDenseInverse = Upload(static_cast<int>(2 * rowTexels), static_cast<int>(2 * n), rows);
    m_pDenseSolve = multigrid::Acquire(multigrid::DenseSolveSource(), {"g_sRhs", "g_sInverse"});
    if (!m_pDenseInverse || m_pDenseSolve == nullptr)
        return Fail(reason, "the driver cannot hold or build the coarsest grid's solve");
    return true;
}

void MultigridPreconditioner::Release() {
    for (auto& level : m_levels)
        for (const multigrid::Kernel** kernel :
             {&level->sweep, &level->residual, &level->restriction, &level->prolongation})
            multigrid::Release(*kernel);
    m_levels.clear();
    m_pDenseInverse.reset();
    multigrid::Release(m_pDenseSolve);
    multigrid::Release(m_pScale);
}

bool MultigridPreconditioner::CheckOperands(const char* call, GpuVector* r, GpuVector* z) const {
    if (!IsUsable()) return Refuse(call, "the preconditioner was refused; nothing applied");
    if (!m_levels[0]->inverseDiagonal->IsUsable())
        return Refuse(call, "the preconditioner outlived the framework it was made under");
    for (GpuVector* operand : {r, z}) {
        if (operand == nullptr) return Refuse(call, "r or z is null");
        if (!operand->CheckUsable(call)) return false;
        if (dynamic_cast<PackedVector*>(operand) == nullptr || operand->Width() != m_levels[0]->width ||
            operand->Height() != m_levels[0]->height)
            return Refuse(call, "r and z must be packed vectors of the matrix's %dx%d grid",
                          m_levels[0]->width, m_levels[0]->height);
    }
    if (r == z) return Refuse(call, "z is r: z is written while r is read");
    const std::vector<int>& keys = m_levels[0]->keys;
    bool same = m_pMatrix->NumDiagonals() == static_cast<int>(keys.size());
    for (std::size_t i = 0; same && i < keys.size(); ++i)
        same = m_pMatrix->KeyAt(static_cast<int>(i)) == keys[i];
    if (!same)
        return Refuse(call, "the matrix's diagonals changed since the hierarchy was formed; call Rebuild");
    return true;
}

void MultigridPreconditioner::Apply(GpuVector* r, GpuVector* z) {
    if (!CheckOperands("MultigridPreconditioner::Apply", r, z)) return;
    FrameworkFramebufferScope framebuffer;
    RunCycle(r, z);
    glActiveTexture(GL_TEXTURE0);
}

// The finest level's first sweep from 0 is a scaling of r; the coarser
// levels' come with their right-hand sides.
void MultigridPreconditioner::RunCycle(GpuVector* r, GpuVector* z) {
    Level& finest = *m_levels[0];
    if (m_pScale != nullptr) ScaleByInverseDiagonal(finest, r, finest.Slot(0));
    Cycle(0, r, z);
}

// The cycle of level `index` for its right-hand side b, with x after the
// first sweep from 0 in slot 0 (unless the level is solved directly). The
// result goes into `out` when given, else into a slot; returns where it is.
GpuVector* MultigridPreconditioner::Cycle(std::size_t index, GpuVector* b, GpuVector* out) {
    Level& level = *m_levels[index];
    const bool coarsest = index + 1 == m_levels.size();
    if (coarsest && m_pDenseInverse) {
        GpuVector* target = out != nullptr ? out : level.Slot(1);
        SolveDense(level, b, target);
        return target;
    }
    if (coarsest) return SlotOrOut(level, Smooth(level, b, 1, 0, out), out);
    const int x = Smooth(level, b, 1, 0, nullptr);
    const int free = OtherSlot(x, -1);
    Residual(level, level.Slot(x), b, level.Slot(free));
    Level& coarse = *m_levels[index + 1];
    Restrict(level, level.Slot(free), coarse);
    GpuVector* e = Cycle(index + 1, coarse.rhs.get(), nullptr);
    Prolong(level, level.Slot(x), e, coarse, level.Slot(free));
    return SlotOrOut(level, Smooth(level, b, 0, free, out), out);
}

// Sweeps firstStep onwards of the level's polynomial from x in slot
// `current` (with firstStep 1, the x before it is 0). The last goes into out
// when given. Returns the slot holding the result, -1 for out.
int MultigridPreconditioner::Smooth(Level& level, GpuVector* b, std::size_t firstStep, int current,
                                    GpuVector* out) {
    int previous = -1;
    for (std::size_t k = firstStep; k < level.steps.size(); ++k) {
        const bool last = k + 1 == level.steps.size();
        const int next = last && out != nullptr ? -1 : OtherSlot(current, previous);
        const MultigridHierarchy::Step& step = level.steps[k];
        RunSweep(level,
                 {level.Slot(current), level.Slot(previous >= 0 ? previous : current), b,
                  SlotOrOut(level, next, out), static_cast<float>(1.0 + step.beta),
                  previous >= 0 ? static_cast<float>(-step.beta) : 0.0f, static_cast<float>(step.alpha)});
        previous = current;
        current = next;
    }
    return current;
}

GpuVector* MultigridPreconditioner::SlotOrOut(Level& level, int slot, GpuVector* out) {
    return slot >= 0 ? level.Slot(slot) : out;
}

bool MultigridPreconditioner::Counted(const Level& level, int fetches, int targets) {
    if (!m_bCounting) return false;
    const long long fragments = static_cast<long long>(level.tw) * level.th;
    m_cycleWork.passes += 1;
    m_cycleWork.fragments += fragments;
    m_cycleWork.texelsRead += fragments * fetches;
    m_cycleWork.texelsWritten += fragments * targets;
    return true;
}

// Binds a band program with x on unit 0, b on unit 2 and the diagonals from
// unit 4, and sets where its taps lie.
void MultigridPreconditioner::BindBand(Level& level, const multigrid::Kernel& kernel, GpuVector* x,
                                       GpuVector* b) {
    kernel.program->Bind();
    kernel::BindTexture(GL_TEXTURE0, x->Texture());
    kernel::BindTexture(GL_TEXTURE2, b->Texture());
    for (std::size_t j = 0; j < level.taps.terms.size(); ++j)
        kernel::BindTexture(GL_TEXTURE0 + multigrid::kBandFixedUnits + static_cast<GLenum>(j),
                            level.Diagonal(m_pMatrix, j));
    glUniform2f(kernel.texelSize, 1.0f / static_cast<float>(level.tw), 1.0f / static_cast<float>(level.th));
    glUniform2fv(kernel.taps, static_cast<GLsizei>(level.taps.shifts.size()), level.tapCoordinates.data());
}

void MultigridPreconditioner::RunSweep(Level& level, const Sweep& sweep) {
    if (Counted(level, multigrid::BandFetches(level.taps, 3))) return;
    BindBand(level, *level.sweep, sweep.x, sweep.b);
    kernel::BindTexture(GL_TEXTURE1, sweep.previous->Texture());
    kernel::BindTexture(GL_TEXTURE3, level.inverseDiagonal->Texture());
    glUniform3f(level.sweep->step, sweep.cx, sweep.cp, sweep.alpha);
    Draw(level.tw, level.th, sweep.target->Texture());
    level.sweep->program->Unbind();
}

void MultigridPreconditioner::Residual(Level& level, GpuVector* x, GpuVector* b, GpuVector* r) {
    if (Counted(level, multigrid::BandFetches(level.taps, 1))) return;
    BindBand(level, *level.residual, x, b);
    Draw(level.tw, level.th, r->Texture());
    level.residual->program->Unbind();
}

namespace {

void SetTransferUniforms(const multigrid::Kernel& kernel, int fineWidth, int fineHeight, long long finePoints,
                         int ftw, int fth, int coarseWidth, int coarseHeight, long long coarsePoints, int ctw,
                         int cth) {
    SetTexels(kernel.fineTexels, ftw, fth);
    SetTexels(kernel.coarseTexels, ctw, cth);
    glUniform4f(kernel.grids, static_cast<float>(fineWidth), static_cast<float>(fineHeight),
                static_cast<float>(coarseWidth), static_cast<float>(coarseHeight));
    glUniform2f(kernel.points, static_cast<float>(finePoints), static_cast<float>(coarsePoints));
}

}  // namespace

void MultigridPreconditioner::Restrict(Level& fine, GpuVector* r, Level& coarse) {
    if (Counted(coarse, multigrid::TransferFetches(true, fine.aligned), 2)) return;
    const multigrid::Kernel& kernel = *fine.restriction;
    kernel.program->Bind();
    kernel::BindTexture(GL_TEXTURE0, r->Texture());
    kernel::BindTexture(GL_TEXTURE1, coarse.inverseDiagonal->Texture());
    SetTransferUniforms(kernel, fine.width, fine.height, fine.points, fine.tw, fine.th, coarse.width,
                        coarse.height, coarse.points, coarse.tw, coarse.th);
    glUniform1f(kernel.factor, static_cast<float>(coarse.steps[0].alpha));
    Draw(coarse.tw, coarse.th, coarse.rhs->Texture(), coarse.Slot(0)->Texture());
    kernel.program->Unbind();
}

void MultigridPreconditioner::Prolong(Level& fine, GpuVector* x, GpuVector* e, Level& coarse,
                                      GpuVector* target) {
    if (Counted(fine, multigrid::TransferFetches(false, fine.aligned))) return;
    const multigrid::Kernel& kernel = *fine.prolongation;
    kernel.program->Bind();
    kernel::BindTexture(GL_TEXTURE0, x->Texture());
    kernel::BindTexture(GL_TEXTURE1, e->Texture());
    SetTransferUniforms(kernel, fine.width, fine.height, fine.points, fine.tw, fine.th, coarse.width,
                        coarse.height, coarse.points, coarse.tw, coarse.th);
    Draw(fine.tw, fine.th, target->Texture());
    kernel.program->Unbind();
}

void MultigridPreconditioner::ScaleByInverseDiagonal(Level& level, GpuVector* b, GpuVector* target) {
    if (Counted(level, 2)) return;
    m_pScale->program->Bind();
    kernel::BindTexture(GL_TEXTURE0, b->Texture());
    kernel::BindTexture(GL_TEXTURE1, level.inverseDiagonal->Texture());
    glUniform1f(m_pScale->factor, static_cast<float>(level.steps[0].alpha));
    Draw(level.tw, level.th, target->Texture());
    m_pScale->program->Unbind();
}

void MultigridPreconditioner::SolveDense(Level& level, GpuVector* b, GpuVector* target) {
    if (Counted(level, multigrid::DenseSolveFetches(level.tw * level.th))) return;
    m_pDenseSolve->program->Bind();
    kernel::BindTexture(GL_TEXTURE0, b->Texture());
    kernel::BindTexture(GL_TEXTURE1, m_pDenseInverse->Texture());
    TextureDesc inverse;
    m_pDenseInverse->GetTextureDesc(&inverse);
    SetTexels(m_pDenseSolve->coarseTexels, level.tw, level.th);
    SetTexels(m_pDenseSolve->inverseTexels, inverse.width, inverse.height);
    glUniform2f(m_pDenseSolve->points, 0.0f, static_cast<float>(level.points));
    Draw(level.tw, level.th, target->Texture());
    m_pDenseSolve->program->Unbind();
}
