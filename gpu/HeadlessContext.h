#pragma once

/// \file
/// An OpenGL context without a window (target Zentor::headless).

/// An OpenGL context with no window and no X server, made through EGL: for
/// programs on servers, in CI or on GPU machines without a display. A program
/// that already has a context current (its own window's) does not need one.
///
///     HeadlessContext context;
///     if (!context.Open() || !InitFramework()) return 1;
///     ... GPU work, then ShutdownFramework() while the context is still open
///
/// One per process, used on the thread that opened it. EGL stays out of this
/// header, so that including it needs neither EGL's nor X's headers.
class HeadlessContext {
public:
    /// Opens nothing yet: Open does.
    HeadlessContext() = default;
    /// Closes the context if it is open.
    ~HeadlessContext() { Close(); }
    HeadlessContext(const HeadlessContext&) = delete;
    HeadlessContext& operator=(const HeadlessContext&) = delete;

    /// Makes a context current on the calling thread. Tries the GPUs of the EGL
    /// device platform first, then Mesa's surfaceless platform, and keeps the
    /// first context with OpenGL 2.0 and the extensions InitFramework needs.
    /// When none has them, the last one made stays, so that InitFramework says
    /// what it lacks. False, with one line on standard error, when no platform
    /// gives an OpenGL context at all.
    bool Open();

    /// Destroys the context. Does nothing when none is open.
    void Close();

    /// Whether Open made a context that Close has not destroyed.
    bool IsOpen() const { return context_ != nullptr; }
    /// "device" or "surfaceless" while open ("webgl2" in the browser build,
    /// where the context is WebGL 2 on a hidden canvas), otherwise null.
    const char* Platform() const { return platform_; }

private:
    void* display_ = nullptr;  // EGLDisplay
    void* context_ = nullptr;  // EGLContext
    void* surface_ = nullptr;  // EGLSurface; none where surfaceless contexts are offered
    const char* platform_ = nullptr;
};
