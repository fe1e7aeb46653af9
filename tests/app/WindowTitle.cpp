#include "WindowTitle.h"

// Xlib's macros (None, Status, ...) clash with other headers, so it stays in
// this file alone.
#include <GL/glx.h>
#include <X11/Xlib.h>

namespace app_test {

std::string CurrentWindowTitle() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return "<no display>";
    std::string title = "<no title>";
    char* name = nullptr;
    if (XFetchName(display, static_cast<Window>(glXGetCurrentDrawable()), &name) != 0 && name != nullptr) {
        title = name;
        XFree(name);
    }
    XCloseDisplay(display);
    return title;
}

}  // namespace app_test
