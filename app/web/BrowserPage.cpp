// The demo's window system in the browser build, in place of XServer.cpp:
// the page is the display and the canvas the window. Emscripten's GLUT
// lacks a few calls the demo makes, and WebGL the fixed-function state the
// desktop frame sets; both are defined here for what they mean on a page.
#include <emscripten/emscripten.h>

#include <GL/glew.h>

#include <GL/freeglut.h>
#include <GL/glu.h>

#include "app/XServer.h"

bool DisplayOpens(const char*) { return true; }

const char* DefaultDisplayName() { return "the page"; }

// GLUT's pending idle timeout and animation frame hold the program alive
// through a plain exit, and would go on drawing a scene that is gone.
void EndProgram(int status) { emscripten_force_exit(status); }

// A held key sends keydown after keydown with no keyup between them.
bool ReportKeyRepeatsAsPresses() { return true; }

// The page has the keyboard while the browser window holding it has.
bool FocusIsElsewhere() { return EM_ASM_INT({ return document.hasFocus() ? 0 : 1; }) != 0; }

// The canvas's size reaches Reshape directly, and no canvas outgrows the GL.
bool CurrentWindowSize(int*, int*) { return false; }

extern "C" {

void glutSetWindowTitle(const char* title) {
    EM_ASM({ document.title = UTF8ToString($0); }, title);
}

// Never reached: ReportKeyRepeatsAsPresses holds on every page.
void glutIgnoreKeyRepeat(int) {}

// On a page the keyboard does not follow the pointer, and Idle asks the page
// for the focus (FocusIsElsewhere): the pointer's comings and goings matter to
// no key.
void glutEntryFunc(void (*)(int)) {}

// A page has no close button of its own: closing the tab ends everything.
void glutSetOption(GLenum, int) {}
void glutCloseFunc(void (*)(void)) {}

// No vertex stage reads the fixed-function matrices, and WebGL has none.
void glMatrixMode(GLenum) {}
void glLoadIdentity() {}
void gluPerspective(GLdouble, GLdouble, GLdouble, GLdouble) {}

// Nor fixed-function texturing to switch off: only the other capabilities reach WebGL.
void emscripten_glDisable(GLenum capability);
void glDisable(GLenum capability) {
    if (capability != GL_TEXTURE_2D) emscripten_glDisable(capability);
}

}  // extern "C"
