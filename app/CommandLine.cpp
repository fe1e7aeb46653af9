#include "app/CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Window.h"
#include "app/XServer.h"

#ifndef ZENTOR_VERSION
#define ZENTOR_VERSION "unknown"
#endif

namespace {

const char* const kGlutOptionsWithValue[] = {"-display", "-geometry"};
const char* const kGlutFlags[] = {"-direct", "-indirect", "-iconic", "-gldebug", "-sync"};
const char* const kHeadlessCommand = "scripts/demo.sh";

template <size_t N>
bool IsOneOf(const char* argument, const char* const (&names)[N]) {
    for (const char* name : names)
        if (std::strcmp(argument, name) == 0) return true;
    return false;
}

std::string BaseName(const char* path) {
    if (path == nullptr || *path == '\0') return "zentor_water";
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

CommandLine Refused(CommandLine commandLine, const std::string& error) {
    commandLine.action = CommandLine::Action::Refuse;
    commandLine.error = error;
    return commandLine;
}

void PrintUsage(std::FILE* stream, const std::string& program) {
    std::fprintf(stream,
                 "Usage: %s [option]...\n"
                 "%s: water on a 512x512 grid, simulated on the graphics card.\n"
                 "\n"
                 "  --help              print this text and exit\n"
                 "  --version           print the version and exit\n"
                 "\n"
                 "Options of the window system (GLUT):\n"
                 "  -display NAME       the X display to open instead of $DISPLAY\n"
                 "  -geometry WxH+X+Y   size and position of the window\n"
                 "  -direct, -indirect  insist on a direct or an indirect GL context\n"
                 "  -iconic             start as an icon\n"
                 "  -gldebug            report GL errors after every frame\n"
                 "  -sync               synchronous X calls, for debugging\n"
                 "\n"
                 "Without a display, %s runs the demo headless. The keys and buttons are\n"
                 "listed at start-up and on F1.\n",
                 program.c_str(), g_strTitle, kHeadlessCommand);
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine commandLine;
    commandLine.program = BaseName(argc > 0 ? argv[0] : nullptr);
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0) {
            commandLine.action = CommandLine::Action::Usage;
            return commandLine;
        }
        if (std::strcmp(argument, "--version") == 0) {
            commandLine.action = CommandLine::Action::Version;
            return commandLine;
        }
        if (IsOneOf(argument, kGlutFlags)) continue;
        if (!IsOneOf(argument, kGlutOptionsWithValue))
            return Refused(commandLine, std::string("unknown option '") + argument + "'");
        if (i + 1 >= argc) return Refused(commandLine, std::string("option '") + argument + "' needs a value");
        ++i;
        // An empty name makes Xlib fall back on DISPLAY, as if none was given.
        if (std::strcmp(argument, "-display") == 0) {
            commandLine.displayName = argv[i];
            commandLine.displayGiven = !commandLine.displayName.empty();
        }
    }
    return commandLine;
}

int AnswerCommandLine(const CommandLine& commandLine) {
    switch (commandLine.action) {
        case CommandLine::Action::Run: return -1;
        case CommandLine::Action::Usage: PrintUsage(stdout, commandLine.program); return 0;
        case CommandLine::Action::Version: std::printf("%s %s\n", g_strTitle, ZENTOR_VERSION); return 0;
        case CommandLine::Action::Refuse:
            std::fprintf(stderr, "%s: %s\n", commandLine.program.c_str(), commandLine.error.c_str());
            PrintUsage(stderr, commandLine.program);
            return 2;
    }
    return 2;
}

bool CheckDisplay(const CommandLine& commandLine) {
    const char* program = commandLine.program.c_str();
    const char* name = commandLine.displayGiven ? commandLine.displayName.c_str() : DefaultDisplayName();
    if (name == nullptr || *name == '\0') {
        std::fprintf(stderr, "%s: no display to open: DISPLAY is not set; %s runs the demo headless\n", program,
                     kHeadlessCommand);
        return false;
    }
    // Opened once to see whether it can be; GLUT opens its own connection.
    if (DisplayOpens(name)) return true;
    const char* source = commandLine.displayGiven ? "-display in place of DISPLAY" : "DISPLAY";
    std::fprintf(stderr, "%s: cannot open display \"%s\" named by %s; %s runs the demo headless\n", program, name,
                 source, kHeadlessCommand);
    return false;
}
