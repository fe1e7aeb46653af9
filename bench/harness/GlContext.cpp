#include "GlContext.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include "gpu/HeadlessContext.h"

namespace perf {

namespace {
HeadlessContext g_headless;  // closed at exit, after the tool has shut the framework down
}

bool OpenHeadlessContext() { return g_headless.Open(); }

bool OpenGlWindow(int* argc, char** argv, int width, int height, const char* title) {
    if (std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "OpenGlWindow: no X display; run this through scripts/with-xvfb.sh\n");
        return false;
    }
    glutInit(argc, argv);
    glutInitWindowSize(width, height);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_ALPHA | GLUT_DEPTH);
    glutCreateWindow(title);
    return true;
}

const char* GlRenderer() { return reinterpret_cast<const char*>(glGetString(GL_RENDERER)); }
const char* GlVersion() { return reinterpret_cast<const char*>(glGetString(GL_VERSION)); }

}  // namespace perf
