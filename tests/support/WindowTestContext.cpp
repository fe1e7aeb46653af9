#include "support/GlTestMain.h"

#include <GL/freeglut.h>

// The demo's code draws into, and asks about, a window of its own.
bool OpenTestContext(int* argc, char** argv) {
    glutInit(argc, argv);
    glutInitWindowSize(64, 64);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_ALPHA | GLUT_DEPTH);
    return glutCreateWindow("zentor tests") != 0;
}
