#include "app/FrameTiming.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cmath>
#include <cstdio>

#include "app/TickCounter.h"

uint32_t g_uTick = 0;
double g_dTime = 0.0;
double g_dLastTitleTime = 0.0;
double g_dFrames = 0.0;
double g_dFrameRate = 0.0;

// Time advances by the unsigned difference of two readings, so it keeps
// running straight through the counter's wrap instead of jumping back 49.7
// days and freezing the title. Starting from zero, the first reading gives the
// counter's own value, so the very first frame refreshes the title at once.
// The time is always a whole number of milliseconds times 0.001: summing the
// frames' 0.017 s and 0.016 s in double instead drifts below an exact second,
// delaying the refresh by a frame (59.98 fps at a steady 60).
void TickClock() {
    const uint32_t now = GetTickCount();
    const uint32_t elapsed = now - g_uTick;
    g_uTick = now;
    const double milliseconds = std::round(g_dTime * 1000.0) + static_cast<double>(elapsed);
    g_dTime = milliseconds * 0.001;
}

void FormatFrameRateTitle(char* buffer, size_t size, const char* title, double rate) {
    std::snprintf(buffer, size, "%s @ %.2f fps", title, rate);
}

void ShowFrameRateTitle(const char* title) {
    char buffer[256];
    FormatFrameRateTitle(buffer, sizeof buffer, title, g_dFrameRate);
    glutSetWindowTitle(buffer);
}

double UpdateFrameRate(const char* title) {
    const double elapsed = g_dTime - g_dLastTitleTime;
    if (elapsed >= 1.0) {
        g_dFrameRate = g_dFrames / elapsed;
        ShowFrameRateTitle(title);
        g_dLastTitleTime = g_dTime;
        g_dFrames = 0.0;
    }
    g_dFrames += 1.0;
    return g_dFrameRate;
}
