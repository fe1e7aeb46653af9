#include "app/XServer.h"

#include <GL/glx.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <cstdlib>

bool DisplayOpens(const char* name) {
    Display* display = XOpenDisplay(name);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

const char* DefaultDisplayName() { return std::getenv("DISPLAY"); }

void EndProgram(int status) { std::exit(status); }

bool ReportKeyRepeatsAsPresses() {
    Display* display = glXGetCurrentDisplay();
    Bool supported = False;
    return display != nullptr && XkbSetDetectableAutoRepeat(display, True, &supported) && supported;
}

namespace {

// The window, or a frame a window manager wraps it in, below the root.
bool IsOrEncloses(Display* display, Window candidate, Window window) {
    for (Window current = window; current != 0;) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, current, &root, &parent, &children, &count)) return false;
        if (children != nullptr) XFree(children);
        if (current == root) return false;
        if (current == candidate) return true;
        current = parent;
    }
    return false;
}

}  // namespace

bool FocusIsElsewhere() {
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable drawable = glXGetCurrentDrawable();
    if (display == nullptr || drawable == 0) return false;
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == PointerRoot) return false;
    return focus == None || !IsOrEncloses(display, focus, drawable);
}

bool CurrentWindowSize(int* width, int* height) {
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable drawable = glXGetCurrentDrawable();
    if (display == nullptr || drawable == 0) return false;
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(display, drawable, &root, &x, &y, &w, &h, &border, &depth)) return false;
    // X sizes are 16-bit, so they always fit.
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}
