// Makes the GL driver of a process look weaker than it is, so that start-up
// failures can be tested end to end on a driver that has everything. Loaded
// with LD_PRELOAD into the process under test (never into the X server) and
// controlled by environment variables read at every call:
//
//   ZENTOR_FAULT_HIDE_EXTENSIONS  comma-separated extension names, removed from
//                                 the extension string; entry points that only
//                                 those extensions provide stop resolving
//   ZENTOR_FAULT_HIDE_GL20=1      the driver reports OpenGL 1.5 and lacks an
//                                 OpenGL 2.0 entry point
//   ZENTOR_FAULT_NO_VERSION=1     the driver has no version string, which makes
//                                 glewInit fail
//
// The entry points matter because GLEW with glewExperimental sets its version
// and extension flags by whether their entry points resolve (glewGetExtension
// alone goes by the string), and Mesa resolves every name it is asked for.
// GLEW looks glGetString and glGetStringi up through glXGetProcAddressARB, and
// reads the extensions one by one on drivers from OpenGL 3.0 on.

#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct ExtensionEntryPoint {
    const char* extension;
    const char* entryPoint;
};

// One entry point per extension is enough for GLEW to count it as missing.
constexpr ExtensionEntryPoint kExtensionEntryPoints[] = {
    {"GL_EXT_framebuffer_object", "glGenerateMipmapEXT"},
    {"GL_ARB_shader_objects", "glGetHandleARB"},
};

// Part of OpenGL 2.0 but never called by the framework.
constexpr const char* kGl20EntryPoint = "glStencilOpSeparate";
constexpr const char* kReportedVersionWithoutGl20 = "1.5 ";

using ProcAddress = void (*)();
using GetStringFunction = const GLubyte* (*)(GLenum);
using GetStringiFunction = const GLubyte* (*)(GLenum, GLuint);
using GetProcAddressFunction = ProcAddress (*)(const GLubyte*);

template <typename Function>
Function RealFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool Switched(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool Gl20Hidden() { return Switched("ZENTOR_FAULT_HIDE_GL20"); }

bool ExtensionHidden(const char* name, size_t length) {
    const char* list = std::getenv("ZENTOR_FAULT_HIDE_EXTENSIONS");
    if (list == nullptr) return false;
    while (*list != '\0') {
        const char* comma = std::strchr(list, ',');
        const size_t itemLength = comma ? static_cast<size_t>(comma - list) : std::strlen(list);
        if (itemLength == length && std::strncmp(list, name, length) == 0) return true;
        if (comma == nullptr) break;
        list = comma + 1;
    }
    return false;
}

bool ExtensionHidden(const char* name) { return ExtensionHidden(name, std::strlen(name)); }

bool EntryPointHidden(const char* name) {
    if (Gl20Hidden() && std::strcmp(name, kGl20EntryPoint) == 0) return true;
    for (const ExtensionEntryPoint& item : kExtensionEntryPoints)
        if (std::strcmp(name, item.entryPoint) == 0 && ExtensionHidden(item.extension)) return true;
    return false;
}

// The returned text stays valid until the next call.
const GLubyte* FilteredExtensions(const GLubyte* real) {
    static std::string filtered;
    filtered.clear();
    const char* cursor = reinterpret_cast<const char*>(real);
    while (*cursor != '\0') {
        const size_t length = std::strcspn(cursor, " ");
        if (length > 0 && !ExtensionHidden(cursor, length)) {
            if (!filtered.empty()) filtered += ' ';
            filtered.append(cursor, length);
        }
        cursor += length;
        cursor += std::strspn(cursor, " ");
    }
    return reinterpret_cast<const GLubyte*>(filtered.c_str());
}

// Keeps what follows the version number: profile and vendor. Valid until the
// next call.
const GLubyte* VersionWithoutGl20(const GLubyte* real) {
    static std::string version;
    const char* text = reinterpret_cast<const char*>(real);
    const char* rest = std::strchr(text, ' ');
    version = kReportedVersionWithoutGl20;
    version += rest ? rest + 1 : "";
    return reinterpret_cast<const GLubyte*>(version.c_str());
}

// A hidden extension keeps its index, so that GL_NUM_EXTENSIONS stays right,
// but loses its name.
const GLubyte* FilteringGetStringi(GLenum name, GLuint index) {
    static const auto real = RealFunction<GetStringiFunction>("glGetStringi");
    const GLubyte* result = real(name, index);
    if (name != GL_EXTENSIONS || result == nullptr) return result;
    return ExtensionHidden(reinterpret_cast<const char*>(result)) ? reinterpret_cast<const GLubyte*>("")
                                                                  : result;
}

ProcAddress Resolve(GetProcAddressFunction real, const GLubyte* name) {
    const char* text = reinterpret_cast<const char*>(name);
    if (EntryPointHidden(text)) return nullptr;
    if (std::strcmp(text, "glGetString") == 0) return reinterpret_cast<ProcAddress>(&glGetString);
    if (std::strcmp(text, "glGetStringi") == 0) return reinterpret_cast<ProcAddress>(&FilteringGetStringi);
    return real(name);
}

}  // namespace

extern "C" {

const GLubyte* glGetString(GLenum name) {
    static const auto real = RealFunction<GetStringFunction>("glGetString");
    const GLubyte* result = real(name);
    if (result == nullptr) return result;
    if (name == GL_EXTENSIONS) return FilteredExtensions(result);
    if (name == GL_VERSION && Switched("ZENTOR_FAULT_NO_VERSION")) return nullptr;
    if (name == GL_VERSION && Gl20Hidden()) return VersionWithoutGl20(result);
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

}  // extern "C"
