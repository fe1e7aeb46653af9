#pragma once

#include <string>

// What the command line asks for. The demo's own options are --help and
// --version; GLUT's options (-display NAME, -geometry WxH+X+Y, -direct,
// -indirect, -iconic, -gldebug, -sync) are left in place for glutInit.
struct CommandLine {
    enum class Action { Run, Usage, Version, Refuse };
    Action action = Action::Run;
    std::string program;      // argv[0] without its directory
    std::string displayName;  // the value of -display; empty for DISPLAY
    bool displayGiven = false;
    std::string error;  // why the command line is refused
};

CommandLine ParseCommandLine(int argc, char** argv);

// Handles --help, --version and a refused command line; returns the exit
// status, or -1 when the demo is to run.
int AnswerCommandLine(const CommandLine& commandLine);

// Says in one line on standard error when the display cannot be opened:
// GLUT would end the process with a message that names neither DISPLAY nor
// the way to run without one. Returns whether the demo can go on.
bool CheckDisplay(const CommandLine& commandLine);
