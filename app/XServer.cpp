#include "app/XServer.h"

#include <GL/glx.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

bool ReportKeyRepeatsAsPresses() {
    Display* display = glXGetCurrentDisplay();
    Bool supported = False;
    return display != nullptr && XkbSetDetectableAutoRepeat(display, True, &supported) && supported;
}
