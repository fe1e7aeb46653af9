#pragma once

extern int g_aiMouseButton[3];  // by GLUT button: >0 while held (1 pressed, 2 dragged)
extern int g_iMouseX;           // last pointer position, window pixels, y from the top
extern int g_iMouseY;
extern bool g_bRandomDrops;
extern int g_iDropFrame;  // frames counted while random drops are on
extern bool g_bPaused;    // p: the water stands still; picture, title and pointer drops go on

void Keyboard(unsigned char key, int x, int y);
void SpecialKey(int key, int x, int y);

// The key callbacks GLUT calls: a key acts once per press, however long it is
// held. Keyboard and SpecialKey run on a key's first press only; presses
// before its release are auto-repeat.
void KeyPressed(unsigned char key, int x, int y);
void KeyReleased(unsigned char key, int x, int y);
void SpecialKeyPressed(int key, int x, int y);
void SpecialKeyReleased(int key, int x, int y);
// A release that happens while another window has the keyboard never
// arrives, and the key's next press would pass for auto-repeat: the window
// forgets its held keys when the pointer leaves it or the focus goes elsewhere.
void ForgetHeldKeys();
bool AnyKeyHeld();
// GLUT's entry callback: GLUT_LEFT forgets the held keys.
void PointerEntry(int state);

void Mouse(int button, int state, int x, int y);
void Motion(int x, int y);

// Sets the height at texture coordinates (x, y) of the grid, origin lower
// left, to 5.0: the one texel (floor(x*w), floor(y*h)). Points outside [0, 1)
// change nothing.
void AddDrop(float x, float y);

// Random drops on every fifth counted frame, then the pointer drop while the
// left button is held. Random drops wait while the water is paused.
void ApplyDrops();

// The window title's text before the frame rate: marked while paused.
const char* DemoTitle();

void PrintHelp();

class ShaderProgram;
// The drop program: the value 5.0 in every channel of each fragment it covers.
ShaderProgram* CreateDropProgram();
