#include "app/Window.h"

#include <GL/glew.h>

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <algorithm>

#include "app/CommandLine.h"
#include "app/FrameLoop.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/XServer.h"
#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"

const char* const g_strTitle = "Zentor Water Surface Demo";
int g_iWindowWidth = 800;
int g_iWindowHeight = 600;
float g_fAspect = 0.0f;

namespace {

// The window manager's close runs the quit keys' teardown; GLUT then returns
// from its loop instead of ending the process, and RunDemo returns 0. The
// callback runs once more when GLUT tears the window down at exit after a
// quit key, where the scene is already gone and nothing happens.
void CloseWindow() { DestroyScene(); }

void RegisterCallbacks() {
    glutDisplayFunc(Display);
    glutReshapeFunc(Reshape);
    glutIdleFunc(Idle);
    glutKeyboardFunc(KeyPressed);
    glutKeyboardUpFunc(KeyReleased);
    glutSpecialFunc(SpecialKeyPressed);
    glutSpecialUpFunc(SpecialKeyReleased);
    glutMouseFunc(Mouse);
    glutMotionFunc(Motion);
    glutEntryFunc(PointerEntry);
}

// A held key acts once: auto-repeat would toggle space and p on and off.
// GLUT's own filter asks for the key's state when it handles a release, not
// at the time of the release, so a repeat still queued when the key comes up
// passes as a new press. The X server can instead report repeats as presses
// without releases, which the key callbacks drop until the real release;
// GLUT's filter is the fallback where it cannot.
void IgnoreKeyRepeat() {
    if (!ReportKeyRepeatsAsPresses()) glutIgnoreKeyRepeat(1);
}

struct WindowSize {
    int width, height;
};

// The largest window the GL can draw into: a bigger one could not show the
// whole grid, and Mesa's software driver crashes drawing into a 32767x32767
// window.
WindowSize LargestWindow() {
    GLint dims[2] = {0, 0};
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, dims);
    return {dims[0] > 0 ? dims[0] : g_iWindowWidth, dims[1] > 0 ? dims[1] : g_iWindowHeight};
}

}  // namespace

int RunDemo(int argc, char** argv) {
    const CommandLine commandLine = ParseCommandLine(argc, argv);
    const int status = AnswerCommandLine(commandLine);
    if (status >= 0) return status;
    if (!CheckDisplay(commandLine)) return 1;
    // The size first, as a default: glutInit then lets -geometry override it.
    glutInitWindowSize(g_iWindowWidth, g_iWindowHeight);
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_ALPHA | GLUT_DEPTH);
    glutCreateWindow(g_strTitle);  // makes the context current, which InitScene needs
    IgnoreKeyRepeat();
    RegisterCallbacks();
    InitScene();
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutCloseFunc(CloseWindow);
    PrintHelp();
    glutMainLoop();
    return 0;
}

// Only the stored size matters to the rest of the program: no vertex stage
// reads the projection. A zero height (a minimised window) keeps the last
// finite aspect rather than dividing by zero. A window beyond what the GL can
// draw into is asked back down to that size and treated as that size.
void Reshape(int width, int height) {
    const WindowSize largest = LargestWindow();
    if (width > largest.width || height > largest.height) {
        width = std::min(width, largest.width);
        height = std::min(height, largest.height);
        glutReshapeWindow(width, height);
    }
    g_iWindowWidth = width;
    g_iWindowHeight = height;
    if (height > 0) g_fAspect = static_cast<float>(width) / static_cast<float>(height);
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    if (g_fAspect > 0.0f) gluPerspective(60.0, g_fAspect, 0.1, 100.0);
    glMatrixMode(GL_MODELVIEW);
    glutPostRedisplay();
}

// The focus is asked for only while a key is down: a round trip to the X
// server every frame would be paid for nothing.
void Idle() {
    if (AnyKeyHeld() && FocusIsElsewhere()) ForgetHeldKeys();
    glutPostRedisplay();
}

bool WindowDrawable() {
    int width = 0, height = 0;
    if (!CurrentWindowSize(&width, &height)) return true;
    const WindowSize largest = LargestWindow();
    return width <= largest.width && height <= largest.height;
}

void BeginRenderToTexture() { glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, g_frameworkFbo); }

void EndRenderToTexture() {
    AttachPassTarget(0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
}
