#pragma once

/// \file
/// Starting and stopping the framework, its process-wide state, how calls
/// refuse work, and the scope that binds the framework framebuffer.

#include <GL/glew.h>

class GpuResourcePool;

/// \name Process-wide framework state
/// Valid on the thread that owns the GL context.
///@{

/// The pool of every texture and framebuffer object; null while no framework runs.
extern GpuResourcePool* g_resourcePool;
extern GLuint g_frameworkFbo;    ///< every kernel pass renders through this one
extern int g_frameworkFboIndex;  ///< its entry in the pool
/// Set once CheckGlslSupport has found GLSL usable, so that it checks only once.
extern bool g_glslSupported;
extern int g_iMaxTextureSize;    ///< the driver's largest texture side, read at start-up
///@}

/// Loads the GL entry points, checks the required extensions and creates the
/// pool with the framework framebuffer. Needs a current GL context. Prints the
/// reason and returns false when the driver cannot run the framework.
bool InitFramework();

/// Releases the framework framebuffer and destroys the pool with every pooled
/// texture. Every GPU value must be gone by then: they hand textures back.
void ShutdownFramework();

/// Ends the process with status 255 when GLSL cannot be used.
void CheckGlslSupport();

/// Identifies the pool of the running framework: 0 before InitFramework and
/// after ShutdownFramework, a new number for every pool. GPU values remember
/// the one they were made under, so that a value outliving its pool refuses
/// work instead of using indices into a pool that is gone.
unsigned FrameworkGeneration();

/// Reports "call: reason" and returns false: how every library call refuses
/// work it cannot do. The reason is printf-style. By default the line goes to
/// standard error; an application can take refusals itself.
bool Refuse(const char* call, const char* reasonFormat, ...) __attribute__((format(printf, 2, 3)));

/// Receives each refusal: the call, and the reason without a trailing newline.
/// userData is what was passed to SetRefusalHandler.
using RefusalHandler = void (*)(const char* call, const char* reason, void* userData);
/// Replaces the handler and returns the previous one; null restores the
/// default, which prints "call: reason" on standard error.
RefusalHandler SetRefusalHandler(RefusalHandler handler, void* userData = nullptr);

/// Binds the framework framebuffer for the lifetime of the scope and restores
/// whatever the caller had bound, so GPU work lands in its own targets whatever
/// framebuffer is current. Where the driver binds reading and drawing apart
/// (OpenGL 3.0, GL_EXT_framebuffer_blit), each binding comes back on its own.
/// Scopes nest; the inner ones find it bound already.
class FrameworkFramebufferScope {
public:
    /// Binds the framework framebuffer unless it is bound already.
    FrameworkFramebufferScope();
    /// Gives back the bindings the caller had.
    ~FrameworkFramebufferScope();
    FrameworkFramebufferScope(const FrameworkFramebufferScope&) = delete;
    FrameworkFramebufferScope& operator=(const FrameworkFramebufferScope&) = delete;

private:
    GLint previousDraw_ = 0;
    GLint previousRead_ = 0;
    bool rebound_ = false;
};
