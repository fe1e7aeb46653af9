#pragma once

// GL contexts for the measuring tools. Call one of them once, before anything
// else touches GL.
namespace perf {

// The library's headless context: no display needed, so that the benchmarks
// run on GPU servers too. False, with the reason on standard error, when no
// context can be made.
bool OpenHeadlessContext();

// One freeglut window (on whatever X display is set, normally a private Xvfb)
// made current, nothing drawn into it: for the tools that run the demo's
// displayed frame, which swaps the window's buffers and sets its title.
// Parses and removes GLUT's own options from argv. False, with the reason on
// standard error, when there is no display.
bool OpenGlWindow(int* argc, char** argv, int width, int height, const char* title);

// The renderer and version strings of the current context, for reports.
const char* GlRenderer();
const char* GlVersion();

}  // namespace perf
