#pragma once

#include <GL/glew.h>

#include <vector>

// What a pooled texture looks like; the pool hands out textures by exact match.
struct TextureDesc {
    int width = 0;
    int height = 0;
    int internalFormat = GL_RGBA8;
    int target = GL_TEXTURE_2D;

    bool operator==(const TextureDesc& other) const {
        return width == other.width && height == other.height && internalFormat == other.internalFormat &&
               target == other.target;
    }
    bool operator!=(const TextureDesc& other) const { return !(*this == other); }
};

struct FramebufferEntry {
    bool used = false;
    GLuint framebuffer = 0;
};

struct TextureEntry {
    bool used = false;
    TextureDesc desc;
    GLuint texture = 0;
};

// Owns every texture and framebuffer object of the framework. Entries are only
// ever appended, so an index is a stable identity that clients keep; GL objects
// are deleted only when the pool itself goes, which makes steady-state work free
// of GL object creation.
class GpuResourcePool {
public:
    GpuResourcePool() = default;
    virtual ~GpuResourcePool();

    GpuResourcePool(const GpuResourcePool&) = delete;
    GpuResourcePool& operator=(const GpuResourcePool&) = delete;

    int AcquireFramebuffer(GLuint& framebuffer);
    void ReleaseFramebuffer(int index);

    // -1 (and texture 0) when the driver cannot allocate a texture of desc.
    int AcquireTexture(TextureDesc desc, GLuint& texture);
    void ReleaseTexture(int index);
    // Frees the entry and records `texture` as the one it now holds: the other
    // half of a render-target exchange.
    void ReturnTexture(int index, const GLuint& texture);

    const std::vector<FramebufferEntry>& Framebuffers() const { return framebuffers; }
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
