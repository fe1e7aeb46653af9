#pragma once

// Emscripten's GLUT is freeglut's standard part; the demo also uses two of
// freeglut's extensions, declared here and defined by BrowserPage.cpp.
#include <GL/freeglut_std.h>

#define GLUT_ACTION_ON_WINDOW_CLOSE 0x01F9
#define GLUT_ACTION_GLUTMAINLOOP_RETURNS 1

extern "C" {
void glutSetOption(GLenum what, int value);
void glutCloseFunc(void (*callback)(void));
}
