#pragma once

/// \file
/// The pool that owns every texture and framebuffer object of the framework.

#include <GL/glew.h>

#include <vector>

/// What a pooled texture looks like; the pool hands out textures by exact match.
struct TextureDesc {
    int width = 0;                  ///< in texels
    int height = 0;                 ///< in texels
    int internalFormat = GL_RGBA8;  ///< GL_RGBA32F_ARB for every GPU value
    int target = GL_TEXTURE_2D;     ///< the texture target

    /// The same size, format and target.
    bool operator==(const TextureDesc& other) const {
        return width == other.width && height == other.height && internalFormat == other.internalFormat &&
               target == other.target;
    }
    /// Any difference in size, format or target.
    bool operator!=(const TextureDesc& other) const { return !(*this == other); }
};

/// One framebuffer object of the pool.
struct FramebufferEntry {
    bool used = false;       ///< handed out and not yet released
    GLuint framebuffer = 0;  ///< the GL name
};

/// One texture of the pool.
struct TextureEntry {
    bool used = false;   ///< handed out and not yet released or returned
    TextureDesc desc;    ///< what the texture looks like
    GLuint texture = 0;  ///< the GL name it holds now
};

/// Owns every texture and framebuffer object of the framework. Entries are only
/// ever appended, so an index is a stable identity that clients keep; GL objects
/// are deleted only when the pool itself goes, which makes steady-state work free
/// of GL object creation.
class GpuResourcePool {
public:
    /// An empty pool: objects are made when first asked for.
    GpuResourcePool() = default;
    /// Deletes every texture and framebuffer object it made.
    virtual ~GpuResourcePool();

    GpuResourcePool(const GpuResourcePool&) = delete;
    GpuResourcePool& operator=(const GpuResourcePool&) = delete;

    /// A free framebuffer object, made if none is free: its entry's index, its
    /// GL name in framebuffer.
    int AcquireFramebuffer(GLuint& framebuffer);
    /// Frees the entry for the next AcquireFramebuffer; the object stays in the pool.
    void ReleaseFramebuffer(int index);

    /// A free texture of exactly desc, made if none is free: its entry's index,
    /// its GL name in texture.
    /// -1 (and texture 0) when the driver cannot allocate a texture of desc.
    int AcquireTexture(TextureDesc desc, GLuint& texture);
    /// Frees the entry for the next AcquireTexture; the texture stays in the pool.
    void ReleaseTexture(int index);
    /// Frees the entry and records `texture` as the one it now holds: the other
    /// half of a render-target exchange.
    void ReturnTexture(int index, const GLuint& texture);

    /// Every framebuffer entry, in the order made.
    const std::vector<FramebufferEntry>& Framebuffers() const { return framebuffers; }
    /// Every texture entry, in the order made.
    const std::vector<TextureEntry>& Textures() const { return textures; }

private:
    int FindFreeFramebuffer() const;
    int FindFreeTexture(const TextureDesc& desc) const;
    int CreateFramebuffer();
    int CreateTexture(const TextureDesc& desc);
    static void AllocateGlTexture(TextureEntry& entry);

    bool IsTextureIndex(int index) const;
    bool IsFramebufferIndex(int index) const;

    std::vector<FramebufferEntry> framebuffers;
    std::vector<TextureEntry> textures;
};
