#include "gpu/Framework.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "gpu/GlPlatform.h"
#include "gpu/ResourcePool.h"

GpuResourcePool* g_resourcePool = nullptr;
GLuint g_frameworkFbo = 0;
int g_frameworkFboIndex = 0;
bool g_glslSupported = false;
int g_iMaxTextureSize = 0;

namespace {

unsigned g_uGeneration = 0;
unsigned g_uLastGeneration = 0;

}  // namespace

bool InitFramework() {
    if (!LoadGlEntryPoints() || !HasRequiredExtensions()) return false;
    if (g_resourcePool == nullptr) {
        g_resourcePool = new GpuResourcePool();
        g_uGeneration = ++g_uLastGeneration;
    }
    if (g_frameworkFbo == 0) g_frameworkFboIndex = g_resourcePool->AcquireFramebuffer(g_frameworkFbo);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &g_iMaxTextureSize);
    return true;
}

void ShutdownFramework() {
    if (g_frameworkFbo != 0) {
        // The pool may be gone already if a caller tore it down by hand.
        if (g_resourcePool != nullptr) g_resourcePool->ReleaseFramebuffer(g_frameworkFboIndex);
        g_frameworkFbo = 0;
    }
    if (g_resourcePool != nullptr) {
        delete g_resourcePool;
        g_resourcePool = nullptr;
    }
    ReleasePlatformObjects();
    g_uGeneration = 0;
}

unsigned FrameworkGeneration() { return g_uGeneration; }

bool Refuse(const char* call, const char* reasonFormat, ...) {
    std::fprintf(stderr, "%s: ", call);
    va_list arguments;
    va_start(arguments, reasonFormat);
    std::vfprintf(stderr, reasonFormat, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    return false;
}

FrameworkFramebufferScope::FrameworkFramebufferScope() {
    if (g_frameworkFbo == 0) return;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &previous_);
    rebound_ = static_cast<GLuint>(previous_) != g_frameworkFbo;
    if (rebound_) glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo);
}

FrameworkFramebufferScope::~FrameworkFramebufferScope() {
    if (rebound_) glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(previous_));
}

void CheckGlslSupport() {
    if (g_glslSupported) return;
    if (GlslOffered()) {
        g_glslSupported = true;
        return;
    }
    std::exit(255);
}
