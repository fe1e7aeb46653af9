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

namespace {

void PrintRefusal(const char* call, const char* reason, void*) { std::fprintf(stderr, "%s: %s\n", call, reason); }

RefusalHandler g_refusalHandler = PrintRefusal;
void* g_refusalUserData = nullptr;

}  // namespace

RefusalHandler SetRefusalHandler(RefusalHandler handler, void* userData) {
    const RefusalHandler previous = g_refusalHandler;
    g_refusalHandler = handler != nullptr ? handler : PrintRefusal;
    g_refusalUserData = handler != nullptr ? userData : nullptr;
    return previous;
}

bool Refuse(const char* call, const char* reasonFormat, ...) {
    char reason[512];
    va_list arguments;
    va_start(arguments, reasonFormat);
    std::vsnprintf(reason, sizeof reason, reasonFormat, arguments);
    va_end(arguments);
    g_refusalHandler(call, reason, g_refusalUserData);
    return false;
}

FrameworkFramebufferScope::FrameworkFramebufferScope() {
    if (g_frameworkFbo == 0) return;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &previousDraw_);
    previousRead_ = previousDraw_;
    if (SeparateReadAndDrawBindings()) glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING_EXT, &previousRead_);
    rebound_ = static_cast<GLuint>(previousDraw_) != g_frameworkFbo || static_cast<GLuint>(previousRead_) != g_frameworkFbo;
    if (rebound_) glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo);
}

FrameworkFramebufferScope::~FrameworkFramebufferScope() {
    if (!rebound_) return;
    if (previousRead_ == previousDraw_) {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(previousDraw_));
        return;
    }
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, static_cast<GLuint>(previousDraw_));
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, static_cast<GLuint>(previousRead_));
}

void CheckGlslSupport() {
    if (g_glslSupported) return;
    if (GlslOffered()) {
        g_glslSupported = true;
        return;
    }
    std::exit(255);
}
