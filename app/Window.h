#pragma once

extern const char* const g_strTitle;  // window title, help heading, frame-rate title prefix
extern int g_iWindowWidth;            // current window size, updated by Reshape
extern int g_iWindowHeight;
extern float g_fAspect;

// The demo's entry: window, callbacks, scene, help text, main loop.
int RunDemo(int argc, char** argv);

void Reshape(int width, int height);
void Idle();

// Bracket around GPU work issued outside the framework classes: every pass in
// between renders through the framework framebuffer.
void BeginRenderToTexture();
void EndRenderToTexture();
