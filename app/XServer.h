#pragma once

// What the demo asks of the X server itself. Xlib stays in its own file:
// its Display and Window types clash with the names of the demo. The browser
// build answers for the page instead (web/BrowserPage.cpp).

// Whether a connection to the display can be opened (null for DISPLAY).
bool DisplayOpens(const char* name);

// The display GLUT opens when none is named: DISPLAY's value, or null.
const char* DefaultDisplayName();

// Ends the program with that status: the process, or on a page the program
// with its pending callbacks.
[[noreturn]] void EndProgram(int status);

// Asks the server to report a held key's auto-repeat as further presses
// without the release before each, on the connection of the current GL
// context. False where the server cannot.
bool ReportKeyRepeatsAsPresses();

// Whether the keyboard focus is set to a window other than the current GL
// context's. False where the server cannot tell, and where the focus follows
// the pointer (GLUT's entry callback covers that).
bool FocusIsElsewhere();

// The size the server gives the window of the current GL context now, which
// may be newer than the last size Reshape heard of. False without one.
bool CurrentWindowSize(int* width, int* height);
