#include "GlObjectCounter.h"

#include <GL/glew.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace perf {
namespace {

std::atomic<long long> g_created{0}, g_deleted{0}, g_readBacks{0}, g_passes{0};

template <typename Function>
Function Next(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "GlObjectCounter: %s not found\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

// One counting wrapper per GLEW pointer: the real function is kept in a static
// of the wrapper's own instantiation.
template <auto& Pointer, std::atomic<long long>& Counter, typename Result, typename... Args>
struct Wrapper {
    static inline Result(GLAPIENTRY* real)(Args...) = nullptr;
    static Result GLAPIENTRY Call(Args... args) {
        Counter.fetch_add(1, std::memory_order_relaxed);
        return real(args...);
    }
    static void Install() {
        if (Pointer == nullptr || Pointer == &Call) return;
        real = Pointer;
        Pointer = &Call;
    }
};

template <auto& Pointer, std::atomic<long long>& Counter, typename Result, typename... Args>
void WrapAs(Result(GLAPIENTRY*)(Args...)) {
    Wrapper<Pointer, Counter, Result, Args...>::Install();
}

#define ZENTOR_WRAP(pointer, counter) WrapAs<pointer, counter>(pointer)

}  // namespace

void GlObjectCounter::Install() {
    ZENTOR_WRAP(__glewGenFramebuffersEXT, g_created);
    ZENTOR_WRAP(__glewGenFramebuffers, g_created);
    ZENTOR_WRAP(__glewGenRenderbuffersEXT, g_created);
    ZENTOR_WRAP(__glewGenRenderbuffers, g_created);
    ZENTOR_WRAP(__glewGenBuffers, g_created);
    ZENTOR_WRAP(__glewGenBuffersARB, g_created);
    ZENTOR_WRAP(__glewGenQueries, g_created);
    ZENTOR_WRAP(__glewCreateShader, g_created);
    ZENTOR_WRAP(__glewCreateProgram, g_created);
    ZENTOR_WRAP(__glewCreateShaderObjectARB, g_created);
    ZENTOR_WRAP(__glewCreateProgramObjectARB, g_created);
    ZENTOR_WRAP(__glewDeleteFramebuffersEXT, g_deleted);
    ZENTOR_WRAP(__glewDeleteFramebuffers, g_deleted);
    ZENTOR_WRAP(__glewDeleteRenderbuffersEXT, g_deleted);
    ZENTOR_WRAP(__glewDeleteRenderbuffers, g_deleted);
    ZENTOR_WRAP(__glewDeleteBuffers, g_deleted);
    ZENTOR_WRAP(__glewDeleteBuffersARB, g_deleted);
    ZENTOR_WRAP(__glewDeleteQueries, g_deleted);
    ZENTOR_WRAP(__glewDeleteShader, g_deleted);
    ZENTOR_WRAP(__glewDeleteProgram, g_deleted);
    ZENTOR_WRAP(__glewDeleteObjectARB, g_deleted);
    ZENTOR_WRAP(__glewGetBufferSubData, g_readBacks);
    ZENTOR_WRAP(__glewGetnTexImage, g_readBacks);
    ZENTOR_WRAP(__glewReadnPixels, g_readBacks);
    ZENTOR_WRAP(__glewGetTextureImage, g_readBacks);
    ZENTOR_WRAP(__glewGetTextureSubImage, g_readBacks);
}

GlObjectCounts GlObjectCounter::Counts() { return {g_created, g_deleted, g_readBacks, g_passes}; }

}  // namespace perf

// Definitions in the executable take precedence over libGL's for every call
// made from code linked into it, the framework's static libraries included.
extern "C" {

void GLAPIENTRY glGenTextures(GLsizei n, GLuint* textures) {
    static auto real = perf::Next<void(GLAPIENTRY*)(GLsizei, GLuint*)>("glGenTextures");
    perf::g_created += n;
    real(n, textures);
}

void GLAPIENTRY glDeleteTextures(GLsizei n, const GLuint* textures) {
    static auto real = perf::Next<void(GLAPIENTRY*)(GLsizei, const GLuint*)>("glDeleteTextures");
    perf::g_deleted += n;
    real(n, textures);
}

GLuint GLAPIENTRY glGenLists(GLsizei range) {
    static auto real = perf::Next<GLuint(GLAPIENTRY*)(GLsizei)>("glGenLists");
    perf::g_created += range;
    return real(range);
}

void GLAPIENTRY glReadPixels(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format, GLenum type,
                             void* pixels) {
    static auto real =
        perf::Next<void(GLAPIENTRY*)(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void*)>("glReadPixels");
    ++perf::g_readBacks;
    real(x, y, width, height, format, type, pixels);
}

void GLAPIENTRY glGetTexImage(GLenum target, GLint level, GLenum format, GLenum type, void* pixels) {
    static auto real = perf::Next<void(GLAPIENTRY*)(GLenum, GLint, GLenum, GLenum, void*)>("glGetTexImage");
    ++perf::g_readBacks;
    real(target, level, format, type, pixels);
}

void GLAPIENTRY glBegin(GLenum mode) {
    static auto real = perf::Next<void(GLAPIENTRY*)(GLenum)>("glBegin");
    ++perf::g_passes;
    real(mode);
}

}  // extern "C"
