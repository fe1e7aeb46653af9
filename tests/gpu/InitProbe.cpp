// Runs the start-up steps named on its command line, in order, against the
// driver the environment gives it, for tests that need a process of its own.
// Standard output carries only what the framework itself prints; the probe's
// own report goes to standard error.
//
//   init    InitFramework; reports "init=true|false pool=present|absent"
//   shader  builds a fragment-only ShaderProgram; reports "shader=valid|invalid"

#include "gpu/Framework.h"
#include "gpu/ShaderProgram.h"

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kFragmentSource = "void main(void){ gl_FragColor = vec4(1.0); }";

void ReportExitHandlers() { std::fputs("exit handlers ran\n", stderr); }

void RunInit() {
    const bool ready = InitFramework();
    std::fprintf(stderr, "init=%s pool=%s\n", ready ? "true" : "false",
                 g_resourcePool != nullptr ? "present" : "absent");
}

void RunShader() {
    ShaderProgram program(nullptr, kFragmentSource, kShaderSourceText);
    std::fprintf(stderr, "shader=%s\n", program.IsValid() ? "valid" : "invalid");
}

}  // namespace

int main(int argc, char** argv) {
    glutInit(&argc, argv);
    glutInitWindowSize(16, 16);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutCreateWindow("zentor init probe");
    std::atexit(ReportExitHandlers);

    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "init") == 0) {
            RunInit();
        } else if (std::strcmp(argv[i], "shader") == 0) {
            RunShader();
        } else {
            std::fprintf(stderr, "unknown step %s\n", argv[i]);
            return 2;
        }
    }
    return 0;
}
