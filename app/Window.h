#pragma once

extern const char* const g_strTitle;  // window title, help heading, frame-rate title prefix
extern int g_iWindowWidth;            // current window size, updated by Reshape
extern int g_iWindowHeight;
extern float g_fAspect;

// The demo's entry: window, callbacks, scene, help text, main loop.
int RunDemo(int argc, char** argv);

void Reshape(int width, int height);
void Idle();

// Whether the GL can draw the whole window at the size the X server gives it
// now. The driver takes a new size from the server before Reshape hears of
// it, so the frame asks the server itself before drawing.
bool WindowDrawable();

// Bracket around GPU work issued outside the framework classes: every pass in
// between renders through the framework framebuffer.
void BeginRenderToTexture();
void EndRenderToTexture();
