#include "gpu/FullScreenPass.h"

#include <cstdio>

#include "gpu/GlPlatform.h"

const char* const kPassThroughVertexSource =
    "void main(void){   gl_Position       = vec4( gl_Vertex.xy, 0.0, 1.0 );   "
    "gl_TexCoord[0].xy = gl_MultiTexCoord0.xy;}";

const char* FramebufferStatusMessage(GLenum status) {
    switch (status) {
        case GL_FRAMEBUFFER_COMPLETE_EXT: return nullptr;
        case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT_EXT: return "Framebuffer incomplete attachment\n";
        case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT_EXT:
            return "Framebuffer incomplete, missing attachment\n";
        case 0x8CD8:  // duplicate attachment, dropped from later revisions of the extension
            return "Framebuffer incomplete, duplicate attachment\n";
        case GL_FRAMEBUFFER_INCOMPLETE_DIMENSIONS_EXT:
            return "Framebuffer incomplete, attached images must have same dimensions\n";
        case GL_FRAMEBUFFER_INCOMPLETE_FORMATS_EXT:
            return "Framebuffer incomplete, attached images must have same format\n";
        case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER_EXT:
            return "Framebuffer incomplete, missing draw buffer\n";
        case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER_EXT:
            return "Framebuffer incomplete, missing read buffer\n";
        case GL_FRAMEBUFFER_UNSUPPORTED_EXT: return "Unsupported framebuffer format\n";
        default: return "Unknown framebuffer error\n";
    }
}

bool CheckFramebufferStatus() {
    const char* message = FramebufferStatusMessage(glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT));
    if (message == nullptr) return true;
    std::fputs(message, stdout);
    return false;
}

void AttachPassTarget(GLuint texture, GLenum attachment) {
    if (texture != 0) UnbindFromTextureUnits(texture);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, attachment, GL_TEXTURE_2D, texture, 0);
}

void DrawFullScreenPass() {
    static constexpr TexturedVertex kCovering[3] = {{-1.0f, -1.0f, 0.0f, 0.0f}, {3.0f, -1.0f, 2.0f, 0.0f},
                                                     {-1.0f, 3.0f, 0.0f, 2.0f}};
    DrawTexturedTriangle(kCovering);
}
