#include "app/FrameLoop.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include "app/FrameTiming.h"
#include "app/Interaction.h"
#include "app/Scene.h"
#include "app/SurfaceRenderer.h"
#include "app/Window.h"

// The time step is constant: the frame rate changes only how fast the waves
// appear to move. Drops land after the frame was drawn and show in the next.
// Paused, the frame still draws, so the pointer's drops show where they fell
// and the title keeps its rate. A window too large to draw into gets no
// picture until Reshape has brought it back within the limit.
void Display() {
    TickClock();
    if (!g_bPaused) SimulationStep();
    const bool drawable = WindowDrawable();
    if (drawable) DrawSurface();
    ApplyDrops();
    glDisable(GL_TEXTURE_2D);
    if (drawable) glutSwapBuffers();
    UpdateFrameRate(DemoTitle());
}
