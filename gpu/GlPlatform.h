#pragma once

// What differs between desktop OpenGL 2.0 and WebGL 2 (OpenGL ES 3.0 in a web
// page), behind one set of calls. The desktop build implements them with
// GLEW, immediate mode and the GL calls the library has always made
// (platform/DesktopGl.cpp); the browser build with WebGL 2's own means
// (platform/WebGl2.cpp). Everything above gpu/ draws, uploads, reads back
// and renders conditionally through these, and is the same in both builds.
#include <GL/glew.h>

#include <string>

// Start-up: the entry points, the extensions the framework needs (the first
// one missing is printed on standard output) and whether GLSL can be used.
bool LoadGlEntryPoints();
bool HasRequiredExtensions();
bool GlslOffered();
// Releases what the platform made for the context at start-up.
void ReleasePlatformObjects();

// The text handed to the driver for one stage's GLSL: the source itself on
// the desktop, its GLSL ES 3.00 translation in the browser (GlslEs.h).
std::string ShaderTextForDriver(const char* source, GLenum stageType);
// The vertex stage a program without one gets: none on the desktop, where
// the fixed-function stage runs; the pass-through stage in the browser, which
// has no fixed function.
const char* VertexStageStandIn();

// Vertices of the framework's draws, in clip space with one texture
// coordinate pair.
struct TexturedVertex {
    float x, y, s, t;
};

void DrawTexturedTriangle(const TexturedVertex (&vertices)[3]);
// Four vertices in the order a GL_QUADS draw takes them.
void DrawTexturedQuad(const TexturedVertex (&vertices)[4]);
void DrawTexturedPoint(const TexturedVertex& vertex);
// A point with no texture coordinate of its own.
void DrawPoint(float x, float y);

// Unbinds a texture about to become a render target from every texture unit
// it is still bound to. WebGL refuses a draw whose target is bound to a unit
// that any sampler of the program reads, even one its shader skips at run
// time; desktop GL leaves only an actual read undefined, and no pass reads
// its own target, so there this does nothing.
void UnbindFromTextureUnits(GLuint texture);

// Fills level 0 of the bound texture from host floats, or gives it
// storage alone when values is null. format is GL_RGBA or GL_LUMINANCE.
void UploadFloatTexels(GLenum target, GLint internalFormat, int width, int height, GLenum format,
                       const float* values);
// Reads a rectangle of the read framebuffer's colour attachment as floats;
// format is GL_RGBA or GL_RED.
void ReadFloatPixels(int x, int y, int width, int height, GLenum format, float* values);

// Whether the framebuffer read from is bound apart from the one drawn into:
// OpenGL 3.0 or GL_EXT_framebuffer_blit on the desktop, always in WebGL 2.
bool SeparateReadAndDrawBindings();

// Conditional rendering on an occlusion query (FragmentQueries::Name): GL
// 3.0 or GL_NV_conditional_render. WebGL 2 has none.
bool ConditionalRenderingAvailable();
void BeginConditionalRendering(GLuint query);
void EndConditionalRendering();
