#include "gpu/Framework.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "gpu/ResourcePool.h"

GpuResourcePool* g_resourcePool = nullptr;
GLuint g_frameworkFbo = 0;
int g_frameworkFboIndex = 0;
bool g_glslSupported = false;
int g_iMaxTextureSize = 0;

namespace {

unsigned g_uGeneration = 0;
unsigned g_uLastGeneration = 0;

struct RequiredExtension {
    const char* name;
    const char* missingMessage;
};

// Tested in this order; only the first missing one is reported.
constexpr RequiredExtension kRequiredExtensions[] = {
    {"GL_EXT_framebuffer_object", "GL_EXT_framebuffer_object not supported.\n"},
    {"GL_ARB_shader_objects", "ARB_shader_objects not supported!\n"},
    {"GL_ARB_shading_language_100", "ARB_shading_language_100 not supported!\n"},
};

bool LoadGlEntryPoints() {
    // Resolve every entry point GLEW knows, whatever the extension string says.
    glewExperimental = GL_TRUE;
    // A GLEW built for GLX loads every GL entry point before it looks for a
    // GLX display, which a context made through EGL does not have: then only
    // its GLX part has failed, and the framework needs none of it.
    const GLenum result = glewInit();
    if (result != GLEW_OK && result != GLEW_ERROR_NO_GLX_DISPLAY) {
        std::printf("Error initializing GLEW %s\n",
                    reinterpret_cast<const char*>(glewGetErrorString(result)));
        if (result == GLEW_ERROR_NO_GL_VERSION)
            Refuse("InitFramework", "the GL gives no version, as when no OpenGL context is current on this thread: "
                                    "open a HeadlessContext (gpu/HeadlessContext.h) or create a window first");
        return false;
    }
    return true;
}

bool HasRequiredExtensions() {
    for (const RequiredExtension& extension : kRequiredExtensions) {
        if (!glewGetExtension(extension.name)) {
            std::fputs(extension.missingMessage, stdout);
            return false;
        }
    }
    return true;
}

// Programs are built through the OpenGL 2.0 entry points. A driver that offers
// GLSL only through the extensions may leave them unresolved (when no
// InitFramework had GLEW resolve everything), and a call through a null
// pointer would crash where the process should end cleanly.
bool ShaderEntryPointsResolved() {
    return glCreateShader && glShaderSource && glCompileShader && glGetShaderiv && glIsShader &&
           glDeleteShader && glCreateProgram && glAttachShader && glLinkProgram && glGetProgramiv &&
           glDeleteProgram && glUseProgram;
}

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

namespace {

bool SeparateReadAndDrawBindings() { return GLEW_VERSION_3_0 || GLEW_EXT_framebuffer_blit; }

}  // namespace

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
    glewInit();
    const bool glslOffered =
        GLEW_VERSION_2_0 ||
        (glewGetExtension("GL_ARB_shader_objects") && glewGetExtension("GL_ARB_shading_language_100"));
    if (glslOffered && ShaderEntryPointsResolved()) {
        g_glslSupported = true;
        return;
    }
    std::exit(255);
}
