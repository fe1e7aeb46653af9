// The library calls framebuffer objects and uniform lookups by the names an
// OpenGL 2.0 driver offers them under, with the EXT and ARB suffixes. WebGL 2
// has them in its core, and Emscripten links only the core names: these
// forward one to the other.
#include <GL/glew.h>

extern "C" {

void glBindFramebufferEXT(GLenum target, GLuint framebuffer) { glBindFramebuffer(target, framebuffer); }

void glGenFramebuffersEXT(GLsizei count, GLuint* framebuffers) { glGenFramebuffers(count, framebuffers); }

void glDeleteFramebuffersEXT(GLsizei count, const GLuint* framebuffers) {
    glDeleteFramebuffers(count, framebuffers);
}

GLboolean glIsFramebufferEXT(GLuint framebuffer) { return glIsFramebuffer(framebuffer); }

GLenum glCheckFramebufferStatusEXT(GLenum target) { return glCheckFramebufferStatus(target); }

void glFramebufferTexture2DEXT(GLenum target, GLenum attachment, GLenum textureTarget, GLuint texture,
                               GLint level) {
    glFramebufferTexture2D(target, attachment, textureTarget, texture, level);
}

GLint glGetUniformLocationARB(GLhandleARB program, const GLcharARB* name) {
    return glGetUniformLocation(program, name);
}

}  // extern "C"
