// The browser build's counter. Emscripten offers every GL entry point also
// under an emscripten_ prefix, so that a program may define the plain name
// itself: these definitions count and forward, for every call made from the
// test executable and the libraries linked into it. WebGL has no
// glGetTexImage and no glBegin: a pass is one glDrawArrays.
#include <GL/glew.h>

#include <utility>

#include "support/GlCallCounter.h"

namespace {
GlCallCounts g_counts;
bool g_noTextureMemory = false;
GLenum g_pendingError = GL_NO_ERROR;
}  // namespace

GlCallCounter::GlCallCounter() = default;

GlCallCounts GlCallCounter::Now() { return g_counts; }

extern "C" {

void emscripten_glGenTextures(GLsizei, GLuint*);
void emscripten_glDeleteTextures(GLsizei, const GLuint*);
void emscripten_glBindTexture(GLenum, GLuint);
void emscripten_glTexParameterf(GLenum, GLenum, GLfloat);
GLenum emscripten_glGetError();
void emscripten_glTexImage2D(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void*);
void emscripten_glReadPixels(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void*);
void emscripten_glGenFramebuffers(GLsizei, GLuint*);
void emscripten_glDeleteFramebuffers(GLsizei, const GLuint*);
GLuint emscripten_glCreateShader(GLenum);
void emscripten_glDeleteShader(GLuint);
void emscripten_glLinkProgram(GLuint);
GLuint emscripten_glCreateProgram();
void emscripten_glDeleteProgram(GLuint);
void emscripten_glDrawArrays(GLenum, GLint, GLsizei);

void glGenTextures(GLsizei n, GLuint* textures) {
    ++g_counts.genTextures;
    emscripten_glGenTextures(n, textures);
}

void glDeleteTextures(GLsizei n, const GLuint* textures) {
    ++g_counts.deleteTextures;
    emscripten_glDeleteTextures(n, textures);
}

void glBindTexture(GLenum target, GLuint texture) {
    ++g_counts.bindTexture;
    emscripten_glBindTexture(target, texture);
}

void glTexParameterf(GLenum target, GLenum name, GLfloat value) {
    ++g_counts.texParameter;
    emscripten_glTexParameterf(target, name, value);
}

void glTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height, GLint border,
                  GLenum format, GLenum type, const void* pixels) {
    ++g_counts.texImage2D;
    if (g_noTextureMemory && pixels == nullptr) {
        g_pendingError = GL_OUT_OF_MEMORY;
        return;
    }
    emscripten_glTexImage2D(target, level, internalFormat, width, height, border, format, type, pixels);
}

GLenum glGetError() {
    if (g_pendingError == GL_NO_ERROR) return emscripten_glGetError();
    return std::exchange(g_pendingError, static_cast<GLenum>(GL_NO_ERROR));
}

void glReadPixels(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format, GLenum type, void* pixels) {
    ++g_counts.readPixels;
    emscripten_glReadPixels(x, y, width, height, format, type, pixels);
}

void glGenFramebuffers(GLsizei n, GLuint* framebuffers) {
    ++g_counts.genFramebuffers;
    emscripten_glGenFramebuffers(n, framebuffers);
}

void glDeleteFramebuffers(GLsizei n, const GLuint* framebuffers) {
    ++g_counts.deleteFramebuffers;
    emscripten_glDeleteFramebuffers(n, framebuffers);
}

GLuint glCreateShader(GLenum type) {
    ++g_counts.createShader;
    return emscripten_glCreateShader(type);
}

void glDeleteShader(GLuint shader) {
    ++g_counts.deleteShader;
    emscripten_glDeleteShader(shader);
}

void glLinkProgram(GLuint program) {
    ++g_counts.linkProgram;
    emscripten_glLinkProgram(program);
}

GLuint glCreateProgram() {
    ++g_counts.createProgram;
    return emscripten_glCreateProgram();
}

void glDeleteProgram(GLuint program) {
    ++g_counts.deleteProgram;
    emscripten_glDeleteProgram(program);
}

void glDrawArrays(GLenum mode, GLint first, GLsizei count) {
    ++g_counts.begin;
    emscripten_glDrawArrays(mode, first, count);
}

}  // extern "C"

TextureMemoryFault::TextureMemoryFault() { g_noTextureMemory = true; }
TextureMemoryFault::~TextureMemoryFault() { g_noTextureMemory = false; }
