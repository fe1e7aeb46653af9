#include "gpu/HeadlessContext.h"

// The library must build where no X headers are installed.
#define EGL_NO_X11
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// What InitFramework asks of the driver; a context without them is kept only
// when no platform offers better.
constexpr const char* kNeededExtensions[] = {"GL_EXT_framebuffer_object", "GL_ARB_shader_objects",
                                             "GL_ARB_shading_language_100"};

bool HasName(const char* list, const char* name) {
    if (list == nullptr) return false;
    const size_t length = std::strlen(name);
    for (const char* at = std::strstr(list, name); at != nullptr; at = std::strstr(at + 1, name))
        if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0')) return true;
    return false;
}

template <typename Function>
Function Load(const char* name) {
    return reinterpret_cast<Function>(eglGetProcAddress(name));
}

struct Candidate {
    EGLDisplay display;
    const char* platform;
};

// A context made current on one display, or nothing.
struct Made {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
    EGLSurface surface = EGL_NO_SURFACE;
    const char* platform = nullptr;
};

// Mesa lists its software rasteriser as a device too; the surfaceless
// platform offers the same one, so only real GPUs are device candidates.
void AddDevices(PFNEGLGETPLATFORMDISPLAYEXTPROC getDisplay, std::vector<Candidate>& candidates) {
    const auto queryDevices = Load<PFNEGLQUERYDEVICESEXTPROC>("eglQueryDevicesEXT");
    const auto queryString = Load<PFNEGLQUERYDEVICESTRINGEXTPROC>("eglQueryDeviceStringEXT");
    EGLint count = 0;
    if (queryDevices == nullptr || queryString == nullptr || !queryDevices(0, nullptr, &count) || count <= 0)
        return;
    std::vector<EGLDeviceEXT> devices(static_cast<size_t>(count));
    if (!queryDevices(count, devices.data(), &count)) return;
    for (EGLint i = 0; i < count; ++i) {
        if (HasName(queryString(devices[i], EGL_EXTENSIONS), "EGL_MESA_device_software")) continue;
        const EGLDisplay display = getDisplay(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
        if (display != EGL_NO_DISPLAY) candidates.push_back({display, "device"});
    }
}

std::vector<Candidate> Candidates() {
    std::vector<Candidate> candidates;
    const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    const auto getDisplay = Load<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    if (client == nullptr || getDisplay == nullptr) return candidates;
    if (HasName(client, "EGL_EXT_platform_device")) AddDevices(getDisplay, candidates);
    if (HasName(client, "EGL_MESA_platform_surfaceless")) {
        const EGLDisplay display = getDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display != EGL_NO_DISPLAY) candidates.push_back({display, "surfaceless"});
    }
    return candidates;
}

void Discard(const Made& made) {
    if (made.surface != EGL_NO_SURFACE) eglDestroySurface(made.display, made.surface);
    if (made.context != EGL_NO_CONTEXT) eglDestroyContext(made.display, made.context);
    eglTerminate(made.display);
}

// A display that can go without a surface needs no config either (Mesa's
// device displays have none); otherwise a 1x1 pbuffer stands in for one.
bool ChooseConfig(EGLDisplay display, bool surfaceless, EGLConfig& config) {
    const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE,
                             surfaceless ? 0 : EGL_PBUFFER_BIT, EGL_NONE};
    EGLint count = 0;
    if (eglChooseConfig(display, wanted, &config, 1, &count) && count > 0) return true;
    config = EGL_NO_CONFIG_KHR;
    return surfaceless && HasName(eglQueryString(display, EGL_EXTENSIONS), "EGL_KHR_no_config_context");
}

bool MakeCurrentContext(const Candidate& candidate, Made& made) {
    made = {candidate.display, EGL_NO_CONTEXT, EGL_NO_SURFACE, candidate.platform};
    if (!eglInitialize(candidate.display, nullptr, nullptr)) return false;
    const bool surfaceless =
        HasName(eglQueryString(candidate.display, EGL_EXTENSIONS), "EGL_KHR_surfaceless_context");
    EGLConfig config = nullptr;
    if (ChooseConfig(candidate.display, surfaceless, config) && eglBindAPI(EGL_OPENGL_API))
        made.context = eglCreateContext(candidate.display, config, EGL_NO_CONTEXT, nullptr);
    if (made.context != EGL_NO_CONTEXT && !surfaceless) {
        const EGLint size[] = {EGL_WIDTH, 1, EGL_HEIGHT, 1, EGL_NONE};
        made.surface = eglCreatePbufferSurface(candidate.display, config, size);
    }
    const bool current = made.context != EGL_NO_CONTEXT && (surfaceless || made.surface != EGL_NO_SURFACE) &&
                         eglMakeCurrent(candidate.display, made.surface, made.surface, made.context);
    if (!current) Discard(made);
    return current;
}

// Read from the current context as InitFramework will find it.
bool OffersWhatTheFrameworkNeeds() {
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (version == nullptr || std::atoi(version) < 2) return false;
    for (const char* name : kNeededExtensions)
        if (!HasName(extensions, name)) return false;
    return true;
}

}  // namespace

bool HeadlessContext::Open() {
    if (IsOpen()) {
        if (eglMakeCurrent(display_, surface_, surface_, context_)) return true;
        std::fprintf(stderr, "HeadlessContext::Open: the open context cannot be made current again\n");
        return false;
    }
    Made kept;
    for (const Candidate& candidate : Candidates()) {
        Made made;
        if (!MakeCurrentContext(candidate, made)) continue;
        // The new context has replaced the weaker one as the current.
        if (kept.context != EGL_NO_CONTEXT) Discard(kept);
        kept = made;
        if (OffersWhatTheFrameworkNeeds()) break;
    }
    // A failed try may have left no context current.
    if (kept.context == EGL_NO_CONTEXT ||
        !eglMakeCurrent(kept.display, kept.surface, kept.surface, kept.context)) {
        if (kept.context != EGL_NO_CONTEXT) Discard(kept);
        std::fprintf(stderr,
                     "HeadlessContext::Open: neither an EGL device nor Mesa's surfaceless platform "
                     "gives an OpenGL context\n");
        return false;
    }
    display_ = kept.display;
    context_ = kept.context;
    surface_ = kept.surface;
    platform_ = kept.platform;
    return true;
}

void HeadlessContext::Close() {
    if (!IsOpen()) return;
    if (eglGetCurrentContext() == context_)
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    Discard({display_, context_, surface_, platform_});
    display_ = context_ = surface_ = nullptr;
    platform_ = nullptr;
}
