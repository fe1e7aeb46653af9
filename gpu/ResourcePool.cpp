#include "gpu/ResourcePool.h"

#include <cassert>

#include "gpu/GlPlatform.h"

GpuResourcePool::~GpuResourcePool() {
    for (TextureEntry& entry : textures) {
        if (entry.texture != 0) {
            glDeleteTextures(1, &entry.texture);
            entry.texture = 0;
        }
    }
    textures.clear();
    textures.shrink_to_fit();
    for (FramebufferEntry& entry : framebuffers) {
        if (entry.framebuffer != 0) {
            glDeleteFramebuffersEXT(1, &entry.framebuffer);
            entry.framebuffer = 0;
        }
    }
    framebuffers.clear();
    framebuffers.shrink_to_fit();
}

int GpuResourcePool::AcquireFramebuffer(GLuint& framebuffer) {
    int index = FindFreeFramebuffer();
    if (index == -1) index = CreateFramebuffer();
    FramebufferEntry& entry = framebuffers[index];
    framebuffer = entry.framebuffer;
    entry.used = true;
    return index;
}

// A bad index would otherwise write outside the array; callers only ever pass
// indices an acquisition returned, so this is a programming error.
void GpuResourcePool::ReleaseFramebuffer(int index) {
    assert(IsFramebufferIndex(index));
    if (!IsFramebufferIndex(index)) return;
    framebuffers[index].used = false;
}

int GpuResourcePool::AcquireTexture(TextureDesc desc, GLuint& texture) {
    int index = FindFreeTexture(desc);
    if (index == -1) index = CreateTexture(desc);
    if (index == -1) {
        texture = 0;
        return -1;
    }
    TextureEntry& entry = textures[index];
    texture = entry.texture;
    entry.used = true;
    return index;
}

void GpuResourcePool::ReleaseTexture(int index) {
    assert(IsTextureIndex(index));
    if (!IsTextureIndex(index)) return;
    textures[index].used = false;
}

void GpuResourcePool::ReturnTexture(int index, const GLuint& texture) {
    assert(IsTextureIndex(index));
    if (!IsTextureIndex(index)) return;
    textures[index].texture = texture;
    textures[index].used = false;
}

int GpuResourcePool::FindFreeFramebuffer() const {
    for (size_t i = 0; i < framebuffers.size(); ++i)
        if (!framebuffers[i].used) return static_cast<int>(i);
    return -1;
}

int GpuResourcePool::FindFreeTexture(const TextureDesc& desc) const {
    for (size_t i = 0; i < textures.size(); ++i)
        if (!textures[i].used && textures[i].desc == desc) return static_cast<int>(i);
    return -1;
}

int GpuResourcePool::CreateFramebuffer() {
    FramebufferEntry entry;
    glGenFramebuffersEXT(1, &entry.framebuffer);
    framebuffers.push_back(entry);
    return static_cast<int>(framebuffers.size()) - 1;
}

// A texture the driver could not give storage (too large, out of memory) is
// not kept: it would read back as zeros and swallow every write.
int GpuResourcePool::CreateTexture(const TextureDesc& desc) {
    TextureEntry entry;
    entry.desc = desc;
    for (int pending = 0; pending < 8 && glGetError() != GL_NO_ERROR; ++pending) {
    }
    AllocateGlTexture(entry);
    if (glGetError() != GL_NO_ERROR) {
        glDeleteTextures(1, &entry.texture);
        return -1;
    }
    textures.push_back(entry);
    return static_cast<int>(textures.size()) - 1;
}

void GpuResourcePool::AllocateGlTexture(TextureEntry& entry) {
    const TextureDesc& desc = entry.desc;
    if (entry.texture != 0) {
        glDeleteTextures(1, &entry.texture);
        entry.texture = 0;
    }
    glGenTextures(1, &entry.texture);
    glBindTexture(desc.target, entry.texture);
    // Nearest filtering makes every kernel lookup hit exactly one texel.
    glTexParameterf(desc.target, GL_TEXTURE_MIN_FILTER, static_cast<GLfloat>(GL_NEAREST));
    glTexParameterf(desc.target, GL_TEXTURE_MAG_FILTER, static_cast<GLfloat>(GL_NEAREST));
    glTexParameterf(desc.target, GL_TEXTURE_WRAP_S, static_cast<GLfloat>(GL_REPEAT));
    glTexParameterf(desc.target, GL_TEXTURE_WRAP_T, static_cast<GLfloat>(GL_REPEAT));
    UploadFloatTexels(desc.target, desc.internalFormat, desc.width, desc.height, GL_RGBA, nullptr);
    glBindTexture(desc.target, 0);
}

bool GpuResourcePool::IsTextureIndex(int index) const {
    return index >= 0 && static_cast<size_t>(index) < textures.size();
}

bool GpuResourcePool::IsFramebufferIndex(int index) const {
    return index >= 0 && static_cast<size_t>(index) < framebuffers.size();
}
