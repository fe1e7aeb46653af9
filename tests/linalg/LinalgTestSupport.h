#pragma once

// Shared by both linalg test executables: a fixture with the framework
// framebuffer bound, random test data, read-back, host models and pool views.
//
// Tolerances, all in one place. Test data are small multiples of 1/4 drawn at
// random, so every product (a multiple of 1/16 or 1/64) and every partial sum
// the kernels form stays far inside float32's 24-bit significand: kernels,
// reductions (up to 512 x 512 values of at most 1.5: |dot| < 2^20 sixteenths),
// shifted and band products are exact whatever order the GPU adds in, and are
// compared exactly. Only the solver divides; its tolerances are below.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "linalg/BandMatrix.h"
#include "linalg/GpuScalar.h"
#include "linalg/MultigridHierarchy.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"
#include "support/HostReference.h"

namespace lt {

// Float32 CG iterates drift from double ones through the rounding of two
// reductions (about log2(N) * eps relative each) and the updates per
// iteration; over 20 iterations on the well-conditioned test system this
// stays below 1e-5 of the solution's scale (measured on llvmpipe: 3e-7),
// while the iterates move x by 1.5 to 2 times that scale, so a wrong step
// length or direction cannot hide.
constexpr double kSolverDrift = 1e-5;

using Floats = std::vector<float>;
using Doubles = std::vector<double>;

struct Shape {
    int w, h;
};
inline std::ostream& operator<<(std::ostream& out, const Shape& s) { return out << s.w << "x" << s.h; }
inline std::string ShapeName(const ::testing::TestParamInfo<Shape>& info) {
    return std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
}

// Every kernel, reduction and read-back needs the framework framebuffer bound.
class LinalgTest : public GlTest {
protected:
    FrameworkFramebufferScope framebuffer;
};
template <typename Param>
class LinalgParamTest : public LinalgTest, public ::testing::WithParamInterface<Param> {};

// Multiples of 1/4 in [-range/4, range/4].
inline Floats Quarters(size_t count, unsigned seed, int range = 6) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> draw(-range, range);
    Floats values(count);
    for (float& v : values) v = static_cast<float>(draw(rng)) * 0.25f;
    return values;
}

inline Floats Indices(int count) {
    Floats values(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n) values[static_cast<size_t>(n)] = static_cast<float>(n);
    return values;
}

template <typename Vector = UnpackedVector>
std::unique_ptr<Vector> Make(int w, int h, const Floats& values) {
    auto vector = std::make_unique<Vector>(w, h, 0);
    EXPECT_TRUE(vector->SetData(values.data(), values.size()));
    return vector;
}

inline std::unique_ptr<GpuScalar> MakeScalar(float value) {
    auto scalar = std::make_unique<GpuScalar>();
    scalar->SetValue(value);
    return scalar;
}

inline Floats Values(GpuVector& v) {
    Floats values(static_cast<size_t>(v.Size()));
    EXPECT_TRUE(v.GetData(values.data(), values.size()));
    return values;
}

// All four channels of the vector's texture, row-major.
inline Floats Texels(GpuVector& v) {
    TextureDesc desc;
    v.GetTextureDesc(&desc);
    Floats texels(static_cast<size_t>(desc.width * desc.height * 4));
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, v.Texture(), 0);
    glReadPixels(0, 0, desc.width, desc.height, GL_RGBA, GL_FLOAT, texels.data());
    return texels;
}

// What the unpacked layout's SetData leaves: the value in red, green, blue; 1 in alpha.
inline Floats Uploaded(const Floats& values) {
    Floats texels;
    for (float v : values) texels.insert(texels.end(), {v, v, v, 1.0f});
    return texels;
}

inline std::string Take(char* text) {
    std::string result = text != nullptr ? text : "<null>";
    std::free(text);
    return result;
}

// |actual - expected| <= tolerance everywhere (NaN fails); names the first few misses.
template <typename Expected>
::testing::AssertionResult Near(const Floats& actual, const Expected& expected, double tolerance = 0) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "size " << actual.size() << ", expected " << expected.size();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    size_t misses = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        if (std::fabs(static_cast<double>(actual[i]) - static_cast<double>(expected[i])) <= tolerance)
            continue;
        if (++misses <= 6) failure << "\n  [" << i << "] " << actual[i] << ", expected " << expected[i];
    }
    if (misses == 0) return ::testing::AssertionSuccess();
    return failure << "\n  " << misses << " of " << actual.size() << " differ";
}

// out[n] = d[n] * x[(n + shift) mod count] * factor, for `channels` values per element.
inline Doubles ShiftedProduct(const Floats& d, const Floats& x, double factor, long shift,
                              size_t channels = 1) {
    const long count = static_cast<long>(d.size() / channels);
    Doubles out(d.size());
    for (long n = 0; n < count; ++n)
        for (size_t c = 0; c < channels; ++c) {
            const size_t m = static_cast<size_t>(((n + shift) % count + count) % count);
            out[static_cast<size_t>(n) * channels + c] =
                d[static_cast<size_t>(n) * channels + c] * factor * x[m * channels + c];
        }
    return out;
}

// Pool views: a used entry's recorded name is stale, a free entry's is what it hands out next.
inline bool FreeInPool(GLuint texture) {
    for (const TextureEntry& entry : g_resourcePool->Textures())
        if (!entry.used && entry.texture == texture) return true;
    return false;
}
inline long UsedTextures() {
    long used = 0;
    for (const TextureEntry& entry : g_resourcePool->Textures()) used += entry.used;
    return used;
}
inline size_t PoolSize() { return g_resourcePool->Textures().size(); }

using HostBand = host::Band;
using host::Dot;

// The matrix on the GPU, owned by the caller.
inline BandMatrix* Upload(const HostBand& band) {
    auto* matrix = new BandMatrix(band.w, band.h);
    std::vector<int> keys;
    for (int offset : band.offsets) keys.push_back(band.N() + offset);
    matrix->SetDiagonals(keys.data(), static_cast<int>(keys.size()));
    for (size_t k = 0; k < keys.size(); ++k)
        matrix->GetDiagonal(keys[k])->SetData(band.diagonals[k].data(), band.diagonals[k].size());
    return matrix;
}

// Random entries; those whose column falls outside the matrix are 0, as a band matrix must hold them.
inline HostBand RandomBand(int w, int h, const std::vector<int>& offsets, unsigned seed) {
    HostBand band{w, h, offsets, {}};
    for (int offset : offsets) {
        Floats diagonal = Quarters(static_cast<size_t>(band.N()), seed++);
        for (int row = 0; row < band.N(); ++row)
            if (row + offset < 0 || row + offset >= band.N()) diagonal[static_cast<size_t>(row)] = 0;
        band.diagonals.push_back(diagonal);
    }
    return band;
}

inline Doubles ToDoubles(const Floats& values) { return Doubles(values.begin(), values.end()); }

// Coarse point c of a side sits on fine point 2c + 1; bilinear interpolation
// is the hat of half-width 2 around it.
inline double Hat(int fine, int coarse) {
    return std::max(0.0, 1.0 - std::abs(fine - (2 * coarse + 1)) / 2.0);
}

// One multigrid cycle as the textbook writes it, in double, from a
// hierarchy's operators and smoothing bounds: Chebyshev over [bound / 4,
// bound] by its direction recurrence, the coarsest grid solved by conjugate
// gradients to rounding.
class HostCycle {
public:
    explicit HostCycle(const MultigridHierarchy& hierarchy) : h_(hierarchy) {}

    Doubles Apply(const Doubles& b, int level = 0) const {
        const GridStencil& a = h_.Operator(level);
        const bool coarsest = level + 1 == h_.Levels();
        if (coarsest && h_.DirectCoarsest()) return Solve(a, b);
        const int sweeps = static_cast<int>(h_.Steps(level).size());
        Doubles x(b.size(), 0.0), r(b.size());
        Smooth(level, b, x, sweeps);
        if (coarsest) return x;
        const GridStencil& c = h_.Operator(level + 1);
        Doubles bc(static_cast<size_t>(c.Points()), 0.0);
        a.Residual(b.data(), x.data(), r.data());
        Transfer(a, c, [&](size_t f, size_t k, double w) { bc[k] += w * r[f] / 4; });
        const Doubles e = Apply(bc, level + 1);
        Transfer(a, c, [&](size_t f, size_t k, double w) { x[f] += w * e[k]; });
        Smooth(level, b, x, sweeps);
        return x;
    }

private:
    // Every fine point f within the hat of coarse point k, with its weight.
    template <typename Visit>
    static void Transfer(const GridStencil& a, const GridStencil& c, Visit visit) {
        for (int j = 0; j < c.Height(); ++j)
            for (int i = 0; i < c.Width(); ++i)
                for (int y = 2 * j; y <= 2 * j + 2 && y < a.Height(); ++y)
                    for (int x = 2 * i; x <= 2 * i + 2 && x < a.Width(); ++x)
                        visit(static_cast<size_t>(y * a.Width() + x), static_cast<size_t>(j * c.Width() + i),
                              Hat(x, i) * Hat(y, j));
    }
    void Smooth(int level, const Doubles& b, Doubles& x, int sweeps) const {
        const GridStencil& a = h_.Operator(level);
        const double upper = h_.SpectrumBound(level), lower = upper / 4, theta = (upper + lower) / 2,
                     delta = (upper - lower) / 2, sigma = theta / delta;
        const Doubles& diagonal = a.Coefficients(a.FindTap(0, 0));
        Doubles r(b.size()), d(b.size());
        const auto preconditioned = [&] {
            a.Residual(b.data(), x.data(), r.data());
            for (size_t i = 0; i < r.size(); ++i) r[i] /= diagonal[i];
        };
        preconditioned();
        for (size_t i = 0; i < d.size(); ++i) d[i] = r[i] / theta;
        double rho = 1 / sigma;
        for (int k = 0; k < sweeps; ++k) {
            for (size_t i = 0; i < x.size(); ++i) x[i] += d[i];
            preconditioned();
            const double next = 1 / (2 * sigma - rho);
            for (size_t i = 0; i < d.size(); ++i) d[i] = next * rho * d[i] + 2 * next / delta * r[i];
            rho = next;
        }
    }
    static Doubles Solve(const GridStencil& a, const Doubles& b) {
        Doubles x(b.size(), 0.0), r = b, p = b, q(b.size());
        double rr = host::Dot(r, r);
        for (long long k = 0; k < 4 * a.Points() && rr > 1e-30 * host::Dot(b, b); ++k) {
            a.Apply(p.data(), q.data());
            const double alpha = rr / host::Dot(p, q);
            for (size_t i = 0; i < x.size(); ++i) x[i] += alpha * p[i], r[i] -= alpha * q[i];
            const double next = host::Dot(r, r);
            for (size_t i = 0; i < p.size(); ++i) p[i] = r[i] + next / rr * p[i];
            rr = next;
        }
        return x;
    }
    const MultigridHierarchy& h_;
};

}  // namespace lt
