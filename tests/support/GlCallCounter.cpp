#include "support/GlCallCounter.h"

#include <GL/glew.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

GlCallCounts g_counts;
bool g_noTextureMemory = false;
GLenum g_pendingError = GL_NO_ERROR;

template <typename Function>
Function NextDefinition(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "GlCallCounter: %s not found\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

PFNGLGENFRAMEBUFFERSEXTPROC g_realGenFramebuffers = nullptr;
PFNGLDELETEFRAMEBUFFERSEXTPROC g_realDeleteFramebuffers = nullptr;

void GLAPIENTRY CountingGenFramebuffers(GLsizei n, GLuint* framebuffers) {
    ++g_counts.genFramebuffers;
    g_realGenFramebuffers(n, framebuffers);
}

void GLAPIENTRY CountingDeleteFramebuffers(GLsizei n, const GLuint* framebuffers) {
    ++g_counts.deleteFramebuffers;
    g_realDeleteFramebuffers(n, framebuffers);
}

PFNGLCREATESHADERPROC g_realCreateShader = nullptr;
PFNGLDELETESHADERPROC g_realDeleteShader = nullptr;
PFNGLLINKPROGRAMPROC g_realLinkProgram = nullptr;

GLuint GLAPIENTRY CountingCreateShader(GLenum type) {
    ++g_counts.createShader;
    return g_realCreateShader(type);
}

void GLAPIENTRY CountingDeleteShader(GLuint shader) {
    ++g_counts.deleteShader;
    g_realDeleteShader(shader);
}

void GLAPIENTRY CountingLinkProgram(GLuint program) {
    ++g_counts.linkProgram;
    g_realLinkProgram(program);
}

PFNGLCREATEPROGRAMPROC g_realCreateProgram = nullptr;
PFNGLDELETEPROGRAMPROC g_realDeleteProgram = nullptr;

GLuint GLAPIENTRY CountingCreateProgram() {
    ++g_counts.createProgram;
    return g_realCreateProgram();
}

void GLAPIENTRY CountingDeleteProgram(GLuint program) {
    ++g_counts.deleteProgram;
    g_realDeleteProgram(program);
}

template <typename Function>
void Wrap(Function& glewPointer, Function& real, Function counting) {
    if (glewPointer == counting) return;
    real = glewPointer;
    glewPointer = counting;
}

// GLEW fills its pointers in glewInit, which may run again: rewrap each time.
void WrapExtensionEntryPoints() {
    Wrap(__glewGenFramebuffersEXT, g_realGenFramebuffers, CountingGenFramebuffers);
    Wrap(__glewDeleteFramebuffersEXT, g_realDeleteFramebuffers, CountingDeleteFramebuffers);
    Wrap(__glewCreateShader, g_realCreateShader, CountingCreateShader);
    Wrap(__glewDeleteShader, g_realDeleteShader, CountingDeleteShader);
    Wrap(__glewLinkProgram, g_realLinkProgram, CountingLinkProgram);
    Wrap(__glewCreateProgram, g_realCreateProgram, CountingCreateProgram);
    Wrap(__glewDeleteProgram, g_realDeleteProgram, CountingDeleteProgram);
}

}  // namespace

GlCallCounter::GlCallCounter() { WrapExtensionEntryPoints(); }

GlCallCounts GlCallCounter::Now() { return g_counts; }

// Definitions in the executable take precedence over libGL's for every call
// made from code linked into it, the framework's static libraries included.
extern "C" {

void GLAPIENTRY glGenTextures(GLsizei n, GLuint* textures) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLsizei, GLuint*)>("glGenTextures");
    ++g_counts.genTextures;
    real(n, textures);
}

void GLAPIENTRY glDeleteTextures(GLsizei n, const GLuint* textures) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLsizei, const GLuint*)>("glDeleteTextures");
    ++g_counts.deleteTextures;
    real(n, textures);
}

void GLAPIENTRY glBindTexture(GLenum target, GLuint texture) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLenum, GLuint)>("glBindTexture");
    ++g_counts.bindTexture;
    real(target, texture);
}

void GLAPIENTRY glTexParameterf(GLenum target, GLenum name, GLfloat value) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLenum, GLenum, GLfloat)>("glTexParameterf");
    ++g_counts.texParameter;
    real(target, name, value);
}

void GLAPIENTRY glTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width,
                                   GLsizei height, GLint border, GLenum format, GLenum type,
                                   const void* pixels) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint,
                                                        GLenum, GLenum, const void*)>("glTexImage2D");
    ++g_counts.texImage2D;
    if (g_noTextureMemory && pixels == nullptr) {
        g_pendingError = GL_OUT_OF_MEMORY;
        return;
    }
    real(target, level, internalFormat, width, height, border, format, type, pixels);
}

GLenum GLAPIENTRY glGetError() {
    static auto real = NextDefinition<GLenum(GLAPIENTRY*)()>("glGetError");
    if (g_pendingError == GL_NO_ERROR) return real();
    return std::exchange(g_pendingError, static_cast<GLenum>(GL_NO_ERROR));
}

void GLAPIENTRY glReadPixels(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format,
                                   GLenum type, void* pixels) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum,
                                                        void*)>("glReadPixels");
    ++g_counts.readPixels;
    real(x, y, width, height, format, type, pixels);
}

void GLAPIENTRY glGetTexImage(GLenum target, GLint level, GLenum format, GLenum type, void* pixels) {
    static auto real =
        NextDefinition<void(GLAPIENTRY*)(GLenum, GLint, GLenum, GLenum, void*)>("glGetTexImage");
    ++g_counts.getTexImage;
    real(target, level, format, type, pixels);
}

void GLAPIENTRY glBegin(GLenum mode) {
    static auto real = NextDefinition<void(GLAPIENTRY*)(GLenum)>("glBegin");
    ++g_counts.begin;
    real(mode);
}

}  // extern "C"

TextureMemoryFault::TextureMemoryFault() { g_noTextureMemory = true; }
TextureMemoryFault::~TextureMemoryFault() { g_noTextureMemory = false; }
