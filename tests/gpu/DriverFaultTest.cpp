// Start-up against drivers that lack what the framework needs. A failed
// start-up may end the process, so each case runs this executable again as a
// probe under the faulty driver: "probe init shader" opens the headless
// context, runs InitFramework and builds a fragment-only program, in that
// order; "close" and "open" close the context and open it again. Standard
// output carries only what the framework prints; the probe's transcript goes
// to standard error, beside any note of the context's.

#include <GL/glew.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "faults/FaultyDriverProcess.h"
#include "gpu/Framework.h"
#include "gpu/HeadlessContext.h"
#include "gpu/ShaderProgram.h"

namespace {

HeadlessContext g_context;

int RunProbe(int argc, char** argv) {
    std::atexit([] { std::fputs("probe: exit\n", stderr); });
    const bool open = g_context.Open();
    std::fprintf(stderr, "probe: open=%s\n", open ? g_context.Platform() : "0");
    if (!open) return 1;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "close") == 0) {
            g_context.Close();
        } else if (std::strcmp(argv[i], "open") == 0) {
            std::fprintf(stderr, "probe: reopen=%s\n", g_context.Open() ? g_context.Platform() : "0");
        } else if (std::strcmp(argv[i], "init") == 0) {
            const bool ready = InitFramework();
            std::fprintf(stderr, "probe: init=%d/%d\n", ready, g_resourcePool != nullptr);
        } else {
            ShaderProgram program(nullptr, "void main(void){ gl_FragColor = vec4(1.0); }", kShaderSourceText);
            std::fprintf(stderr, "probe: shader=%d\n", program.IsValid());
        }
    }
    return 0;
}

struct StartUpCase {
    const char* name;
    std::vector<std::string> steps;
    DriverFaults faults;
    int exitStatus;
    const char* output;
    const char* transcript;  // open=<platform>, init=<result>/<pool present>, shader=<valid>
    const char* note = "";   // the rest of standard error
};

const std::string kNoShaderObjects = "GL_ARB_shader_objects,GL_ARB_shading_language_100";
const std::string kNoExtensions = "GL_EXT_framebuffer_object," + kNoShaderObjects;
const char* const kNoLanguage = "GL_ARB_shading_language_100";
const char* const kFboMissing = "GL_EXT_framebuffer_object not supported.\n";
const char* const kObjectsMissing = "ARB_shader_objects not supported!\n";
const char* const kLanguageMissing = "ARB_shading_language_100 not supported!\n";
const char* const kGlewFailed = "Error initializing GLEW Missing GL version\n";

const char* const kNoVersionHint =
    "InitFramework: the GL gives no version, as when no OpenGL context is current on this thread: open a "
    "HeadlessContext (gpu/HeadlessContext.h) or create a window first\n";

const char* const kNoContext =
    "HeadlessContext::Open: neither an EGL device nor Mesa's surfaceless platform gives an OpenGL context\n";

const StartUpCase kCases[] = {
    {"CompleteDriver", {"init", "shader"}, {}, 0, "", "open=surfaceless init=1/1 shader=1 exit"},
    // Only the first missing extension is reported, and no pool is left behind.
    {"NoExtensions", {"init"}, {kNoExtensions}, 0, kFboMissing, "open=surfaceless init=0/0 exit"},
    {"NoShaderObjects", {"init"}, {kNoShaderObjects}, 0, kObjectsMissing, "open=surfaceless init=0/0 exit"},
    {"NoLanguage", {"init"}, {kNoLanguage}, 0, kLanguageMissing, "open=surfaceless init=0/0 exit"},
    {"NoVersion", {"init"}, {"", false, true}, 0, kGlewFailed, "open=surfaceless init=0/0 exit", kNoVersionHint},
    {"NoCurrentContext", {"close", "init"}, {}, 0, kGlewFailed, "open=surfaceless init=0/0 exit", kNoVersionHint},
    {"ClosedAndOpenedAgain", {"close", "open", "init", "shader"}, {}, 0, "",
     "open=surfaceless reopen=surfaceless init=1/1 shader=1 exit"},
    // OpenGL 2.0 is enough for programs; the framework still wants both extensions.
    {"Gl20Only", {"shader", "init"}, {kNoShaderObjects}, 0, kObjectsMissing,
     "open=surfaceless shader=1 init=0/0 exit"},
    // InitFramework has GLEW resolve every entry point, the OpenGL 2.0 ones
    // included; without it they stay unresolved, and the process ends as
    // without GLSL.
    {"ExtensionsOnly", {"init", "shader"}, {"", true}, 0, "", "open=surfaceless init=1/1 shader=1 exit"},
    {"ExtensionsOnlyWithoutInit", {"shader"}, {"", true}, 255, "", "open=surfaceless exit"},
    {"NoGlsl", {"shader"}, {kNoLanguage, true}, 255, "", "open=surfaceless exit"},
    // Entry points resolved by InitFramework do not stand in for the extensions.
    {"NoGlslAfterInit", {"init", "shader"}, {kNoLanguage, true}, 255, kLanguageMissing,
     "open=surfaceless init=0/0 exit"},
    // A GPU comes first; one that fails gives way without a word.
    {"GpuDevice", {"init", "shader"}, {"", false, false, "gpu"}, 0, "", "open=device init=1/1 shader=1 exit"},
    {"BrokenGpuDevice", {"init"}, {"", false, false, "broken-gpu"}, 0, "", "open=surfaceless init=1/1 exit"},
    {"NoEglDisplay", {"init"}, {"", false, false, "none"}, 1, "", "open=0 exit", kNoContext},
};

void PrintTo(const StartUpCase& c, std::ostream* out) { *out << c.name; }

class StartUpTest : public ::testing::TestWithParam<StartUpCase> {};

TEST_P(StartUpTest, ReportsWhatTheDriverLacks) {
    const StartUpCase& c = GetParam();
    std::vector<std::string> arguments{"probe"};
    arguments.insert(arguments.end(), c.steps.begin(), c.steps.end());
    const ProcessResult run = RunWithDriverFaults("/proc/self/exe", arguments, c.faults);
    std::istringstream lines(run.standardError);
    std::string line, transcript, note;
    while (std::getline(lines, line)) {
        if (line.rfind("probe: ", 0) == 0)
            transcript += (transcript.empty() ? "" : " ") + line.substr(7);
        else
            note += line + "\n";
    }
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(run.standardOutput, c.output);
    EXPECT_EQ(transcript, c.transcript) << run.standardError;
    EXPECT_EQ(note, c.note);
}

INSTANTIATE_TEST_SUITE_P(Drivers, StartUpTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "probe") == 0) return RunProbe(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
