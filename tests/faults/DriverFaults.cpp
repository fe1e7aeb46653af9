// Makes the GL driver of a process look weaker than it is, so that start-up
// failures can be tested end to end. Preloaded into the process under test
// (never into the X server); environment variables, read at every call:
//   ZENTOR_FAULT_HIDE_EXTENSIONS  comma-separated extensions to remove
//   ZENTOR_FAULT_HIDE_GL20=1      report OpenGL 1.5, lack an OpenGL 2.0 entry point
//   ZENTOR_FAULT_NO_VERSION=1     no version string: glewInit fails
//   ZENTOR_FAULT_EGL              gpu: EGL's software device passes for a GPU;
//                                 broken-gpu: and its display fails to start;
//                                 none: EGL gives no display on any platform
// GLEW with glewExperimental goes by which entry points resolve, and Mesa
// resolves any name, so hidden features lose an entry point as well.

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

// One entry point per extension is enough for GLEW to count it as missing.
constexpr const char* kExtensionEntryPoints[][2] = {
    {"GL_EXT_framebuffer_object", "glGenerateMipmapEXT"},
    {"GL_ARB_shader_objects", "glGetHandleARB"},
};
constexpr const char* kGl20EntryPoint = "glStencilOpSeparate";  // never called by the framework

using ProcAddress = void (*)();
using GetProcAddressFunction = ProcAddress (*)(const GLubyte*);

template <typename Function>
Function RealFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool Switched(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool ExtensionHidden(const std::string& name) {
    const char* list = std::getenv("ZENTOR_FAULT_HIDE_EXTENSIONS");
    return list != nullptr && ("," + std::string(list) + ",").find("," + name + ",") != std::string::npos;
}

bool EntryPointHidden(const char* name) {
    if (Switched("ZENTOR_FAULT_HIDE_GL20") && std::strcmp(name, kGl20EntryPoint) == 0) return true;
    for (const auto& item : kExtensionEntryPoints)
        if (std::strcmp(name, item[1]) == 0 && ExtensionHidden(item[0])) return true;
    return false;
}

// Valid until the next call.
const GLubyte* FilteredExtensions(const char* real) {
    static std::string filtered;
    filtered.clear();
    std::istringstream names(real);
    for (std::string name; names >> name;)
        if (!ExtensionHidden(name)) filtered += (filtered.empty() ? "" : " ") + name;
    return reinterpret_cast<const GLubyte*>(filtered.c_str());
}

// "1.5" followed by the real profile and vendor. Valid until the next call.
const GLubyte* VersionWithoutGl20(const char* real) {
    static std::string version;
    const char* rest = std::strchr(real, ' ');
    version = std::string("1.5 ") + (rest ? rest + 1 : "");
    return reinterpret_cast<const GLubyte*>(version.c_str());
}

// A hidden extension keeps its index, so that GL_NUM_EXTENSIONS stays right,
// but loses its name.
const GLubyte* FilteringGetStringi(GLenum name, GLuint index) {
    static const auto real = RealFunction<const GLubyte* (*)(GLenum, GLuint)>("glGetStringi");
    const GLubyte* result = real(name, index);
    if (name != GL_EXTENSIONS || result == nullptr) return result;
    return ExtensionHidden(reinterpret_cast<const char*>(result)) ? reinterpret_cast<const GLubyte*>("")
                                                                  : result;
}

template <typename GetProcAddress, typename Name>
ProcAddress Resolve(GetProcAddress real, Name name) {
    const char* text = reinterpret_cast<const char*>(name);
    if (EntryPointHidden(text)) return nullptr;
    if (std::strcmp(text, "glGetString") == 0) return reinterpret_cast<ProcAddress>(&glGetString);
    if (std::strcmp(text, "glGetStringi") == 0) return reinterpret_cast<ProcAddress>(&FilteringGetStringi);
    return real(name);
}

bool EglFault(const char* fault) {
    const char* value = std::getenv("ZENTOR_FAULT_EGL");
    return value != nullptr && std::strcmp(value, fault) == 0;
}

PFNEGLQUERYDEVICESTRINGEXTPROC g_realQueryDeviceString = nullptr;
PFNEGLGETPLATFORMDISPLAYEXTPROC g_realGetPlatformDisplay = nullptr;
EGLDisplay g_deviceDisplay = EGL_NO_DISPLAY;

// Mesa's software device, less the mark that tells it from a GPU.
const char* EGLAPIENTRY DeviceString(EGLDeviceEXT device, EGLint name) {
    const char* result = g_realQueryDeviceString(device, name);
    if (name != EGL_EXTENSIONS || result == nullptr || !(EglFault("gpu") || EglFault("broken-gpu")))
        return result;
    static std::string unmarked;
    unmarked = result;
    const std::string mark = "EGL_MESA_device_software";
    if (const size_t at = unmarked.find(mark); at != std::string::npos) unmarked.erase(at, mark.size());
    return unmarked.c_str();
}

EGLDisplay EGLAPIENTRY PlatformDisplay(EGLenum platform, void* native, const EGLint* attributes) {
    if (EglFault("none")) return EGL_NO_DISPLAY;
    const EGLDisplay display = g_realGetPlatformDisplay(platform, native, attributes);
    if (platform == EGL_PLATFORM_DEVICE_EXT) g_deviceDisplay = display;  // the broken GPU's
    return display;
}

}  // namespace

extern "C" {

const GLubyte* glGetString(GLenum name) {
    static const auto real = RealFunction<const GLubyte* (*)(GLenum)>("glGetString");
    const GLubyte* result = real(name);
    if (result == nullptr) return result;
    if (name == GL_EXTENSIONS) return FilteredExtensions(reinterpret_cast<const char*>(result));
    if (name == GL_VERSION && Switched("ZENTOR_FAULT_NO_VERSION")) return nullptr;
    if (name == GL_VERSION && Switched("ZENTOR_FAULT_HIDE_GL20"))
        return VersionWithoutGl20(reinterpret_cast<const char*>(result));
    return result;
}

const GLubyte* glGetStringi(GLenum name, GLuint index) { return FilteringGetStringi(name, index); }

ProcAddress glXGetProcAddressARB(const GLubyte* name) {
    static const auto real = RealFunction<GetProcAddressFunction>("glXGetProcAddressARB");
    return Resolve(real, name);
}

ProcAddress glXGetProcAddress(const GLubyte* name) {
    static const auto real = RealFunction<GetProcAddressFunction>("glXGetProcAddress");
    return Resolve(real, name);
}

EGLBoolean EGLAPIENTRY eglInitialize(EGLDisplay display, EGLint* major, EGLint* minor) {
    static const auto real = RealFunction<PFNEGLINITIALIZEPROC>("eglInitialize");
    if (EglFault("broken-gpu") && display == g_deviceDisplay) return EGL_FALSE;
    return real(display, major, minor);
}

__eglMustCastToProperFunctionPointerType EGLAPIENTRY eglGetProcAddress(const char* name) {
    static const auto real = RealFunction<PFNEGLGETPROCADDRESSPROC>("eglGetProcAddress");
    if (std::strcmp(name, "eglQueryDeviceStringEXT") == 0) {
        g_realQueryDeviceString = reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(real(name));
        return g_realQueryDeviceString ? reinterpret_cast<ProcAddress>(&DeviceString) : nullptr;
    }
    if (std::strcmp(name, "eglGetPlatformDisplayEXT") == 0) {
        g_realGetPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(real(name));
        return g_realGetPlatformDisplay ? reinterpret_cast<ProcAddress>(&PlatformDisplay) : nullptr;
    }
    return Resolve(real, name);
}

}  // extern "C"
