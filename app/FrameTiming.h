#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t g_uTick;         // last reading of the tick counter, ms
extern double g_dTime;           // seconds
extern double g_dLastTitleTime;  // g_dTime of the frame that last refreshed the title
extern double g_dFrames;         // frames counted since that refresh
extern double g_dFrameRate;      // frames per second at the last refresh

// Samples the clock; first thing in every frame.
void TickClock();

// Counts a frame and, once a second has passed since the last refresh, writes
// "<title> @ <rate> fps" into the window title. Returns the last rate.
double UpdateFrameRate(const char* title);

// Writes "<title> @ <last rate> fps" into the window title now.
void ShowFrameRateTitle(const char* title);

// The text UpdateFrameRate puts into the window title.
void FormatFrameRateTitle(char* buffer, size_t size, const char* title, double rate);
