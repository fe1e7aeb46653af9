#pragma once

// A GL context for a headless tool: one freeglut window (on whatever X
// display is set, normally a private Xvfb) made current, nothing drawn into
// it. Call once, before anything else touches GL.
namespace perf {

// Parses and removes GLUT's own options from argv. False, with the reason on
// standard error, when there is no display or the framework cannot start.
bool OpenGlWindow(int* argc, char** argv, int width, int height, const char* title);

// The renderer and version strings of the current context, for reports.
const char* GlRenderer();
const char* GlVersion();

}  // namespace perf
