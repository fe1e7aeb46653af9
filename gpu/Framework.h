#pragma once

#include <GL/glew.h>

class GpuResourcePool;

// Process-wide framework state; valid on the thread that owns the GL context.
extern GpuResourcePool* g_resourcePool;
extern GLuint g_frameworkFbo;    // every kernel pass renders through this one
extern int g_frameworkFboIndex;  // its entry in the pool
extern bool g_glslSupported;

// Loads the GL entry points, checks the required extensions and creates the
// pool with the framework framebuffer. Needs a current GL context. Prints the
// reason and returns false when the driver cannot run the framework.
bool InitFramework();

// Releases the framework framebuffer and destroys the pool with every pooled
// texture. Every GPU value must be gone by then: they hand textures back.
void ShutdownFramework();

// Ends the process with status 255 when GLSL cannot be used.
void CheckGlslSupport();
