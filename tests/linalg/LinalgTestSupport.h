#pragma once

// Helpers shared by the tests of GPU scalars and vectors: a fixture with the framework framebuffer bound, host models of vector
// contents, read-back of whole RGBA texels and views of the resource pool.

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"
#include "linalg/GpuScalar.h"
#include "linalg/GpuVector.h"
#include "linalg/UnpackedVector.h"
#include "support/GlTestMain.h"

namespace linalg_test {

struct Shape {
    int width;
    int height;
};

inline std::string ShapeName(const ::testing::TestParamInfo<Shape>& info) {
    return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

inline std::ostream& operator<<(std::ostream& out, const Shape& shape) {
    return out << shape.width << "x" << shape.height;
}

// Runs the GLSL check that the first ShaderProgram of a process would run.
// That check calls glewInit, which resets GLEW's function pointers and so
// undoes the wrapping through which a GlCallCounter made before it counts
// glCreateProgram and glDeleteProgram: a test that counts program creation
// and happens to build the process's first program would see none.
inline void RunGlslCheckUpFront() { CheckGlslSupport(); }

// Every test runs between the render-to-texture bracket of the demo: all
// kernels, reductions and read-backs need the framework framebuffer bound.
class LinalgTest : public GlTest {
protected:
    LinalgTest() { RunGlslCheckUpFront(); }

    FrameworkFramebufferScope framebuffer;
};

template <typename ParamType>
class LinalgParamTest : public LinalgTest, public ::testing::WithParamInterface<ParamType> {};

// A C-heap string from the dumps, freed with free() as the dump contract says.
struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

inline std::string TakeText(char* text) {
    HeapText owner(text);
    return owner ? std::string(owner.get()) : std::string("<null>");
}

// Deterministic values that keep every sum and product the tests form exact
// in single precision: multiples of `unit` between -range*unit and range*unit.
inline std::vector<float> Pattern(int count, unsigned seed, int range = 6, float unit = 0.25f) {
    std::vector<float> values(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n) {
        std::uint32_t h = static_cast<std::uint32_t>(n) * 2654435761u + seed * 40503u + 12345u;
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        const int k = static_cast<int>(h % static_cast<std::uint32_t>(2 * range + 1)) - range;
        values[static_cast<size_t>(n)] = static_cast<float>(k) * unit;
    }
    return values;
}

// The four channels of every texel, row-major: what a texture holds.
using Texels = std::vector<float>;

// What SetData of the unpacked layout leaves in the texture: the value in
// red, green and blue, 1 in alpha.
inline Texels UploadedTexels(const std::vector<float>& values) {
    Texels texels;
    texels.reserve(values.size() * 4);
    for (float v : values) {
        texels.push_back(v);
        texels.push_back(v);
        texels.push_back(v);
        texels.push_back(1.0f);
    }
    return texels;
}

// Reads every channel of a texture of the given size through the bound
// framework framebuffer.
inline Texels ReadTexels(GLuint texture, int width, int height) {
    Texels texels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, texture, 0);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_FLOAT, texels.data());
    return texels;
}

inline Texels ReadTexels(GpuVector& vector) {
    TextureDesc desc;
    vector.GetTextureDesc(&desc);
    return ReadTexels(vector.Texture(), desc.width, desc.height);
}

inline std::vector<float> Values(GpuVector& vector) {
    std::vector<float> values(static_cast<size_t>(vector.Size()));
    vector.GetData(values.data());
    return values;
}

inline std::unique_ptr<UnpackedVector> MakeVector(const Shape& shape, const std::vector<float>& values) {
    auto vector = std::make_unique<UnpackedVector>(shape.width, shape.height, 0);
    vector->SetData(values.data());
    return vector;
}

inline std::unique_ptr<GpuScalar> MakeScalar(float value) {
    auto scalar = std::make_unique<GpuScalar>();
    scalar->SetValue(value);
    return scalar;
}

// Element-wise comparison that names the first few differing elements.
inline ::testing::AssertionResult SameValues(const std::vector<float>& expected,
                                             const std::vector<float>& actual, int channels = 1) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure()
               << "sizes differ: expected " << expected.size() << ", got " << actual.size();
    int mismatches = 0;
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    for (size_t i = 0; i < expected.size(); ++i) {
        const ::testing::internal::FloatingPoint<float> e(expected[i]), a(actual[i]);
        if (e.AlmostEquals(a)) continue;
        if (++mismatches <= 8) {
            failure << "\n  element " << i / static_cast<size_t>(channels);
            if (channels > 1)
                failure << " channel "
                        << "rgba"[i % static_cast<size_t>(channels)];
            failure << ": expected " << expected[i] << ", got " << actual[i];
        }
    }
    if (mismatches == 0) return ::testing::AssertionSuccess();
    return failure << "\n  " << mismatches << " of " << expected.size() << " differ";
}

inline ::testing::AssertionResult SameTexels(const Texels& expected, const Texels& actual) {
    return SameValues(expected, actual, 4);
}

// Pool views. Entries are identified by index; a used entry's recorded
// texture name is stale, a free entry's is the texture it will hand out.
inline const std::vector<TextureEntry>& PoolTextures() { return g_resourcePool->Textures(); }

inline size_t PoolTextureCount() { return PoolTextures().size(); }

inline std::vector<bool> PoolUsedFlags() {
    std::vector<bool> used;
    for (const TextureEntry& entry : PoolTextures()) used.push_back(entry.used);
    return used;
}

inline bool IsFreeInPool(GLuint texture) {
    for (const TextureEntry& entry : PoolTextures())
        if (!entry.used && entry.texture == texture) return true;
    return false;
}

// A texture a live value holds must never sit in a free entry: the pool would
// hand it out to someone else.
inline ::testing::AssertionResult NotHandedBack(GLuint texture) {
    for (size_t i = 0; i < PoolTextures().size(); ++i) {
        const TextureEntry& entry = PoolTextures()[i];
        if (!entry.used && entry.texture == texture)
            return ::testing::AssertionFailure() << "texture " << texture << " sits in free entry " << i;
    }
    return ::testing::AssertionSuccess();
}

inline TextureDesc FloatDesc(int width, int height) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.internalFormat = GL_RGBA32F_ARB;
    desc.target = GL_TEXTURE_2D;
    return desc;
}

inline bool IsFreeEntryOf(GLuint texture, const TextureDesc& desc) {
    for (const TextureEntry& entry : PoolTextures())
        if (!entry.used && entry.texture == texture && entry.desc == desc) return true;
    return false;
}

// After the pool has grown by whatever an operation appended, the entries
// that existed before are used exactly as before and the new ones are free.
inline ::testing::AssertionResult PoolUsageRestored(const std::vector<bool>& before) {
    const std::vector<bool> after = PoolUsedFlags();
    if (after.size() < before.size()) return ::testing::AssertionFailure() << "the pool lost entries";
    for (size_t i = 0; i < after.size(); ++i) {
        const bool expected = i < before.size() ? before[i] : false;
        if (after[i] != expected)
            return ::testing::AssertionFailure() << "entry " << i << " is " << (after[i] ? "used" : "free")
                                                 << ", expected " << (expected ? "used" : "free");
    }
    return ::testing::AssertionSuccess();
}

}  // namespace linalg_test
