#include "app/XServer.h"

#include <GL/glx.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

bool DisplayOpens(const char* name) {
    Display* display = XOpenDisplay(name);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

bool ReportKeyRepeatsAsPresses() {
    Display* display = glXGetCurrentDisplay();
    Bool supported = False;
    return display != nullptr && XkbSetDetectableAutoRepeat(display, True, &supported) && supported;
}
