#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

namespace {

const char* const kWhite = "void main(void){ gl_FragColor = vec4(1.0); }";
const char* const kBrokenFragment = "void main(void)\n{\n    gl_FragColor = vec4(undeclaredThing);\n}\n";
const char* const kBrokenVertex = "void main(void){ gl_Position = undeclaredThing; }";
// Compiles, but calls a function that is never defined.
const char* const kUnlinkable = "float Missing(void);\nvoid main(void){ gl_FragColor = vec4(Missing()); }";

using ShaderProgramTest = GlTest;

TEST_F(ShaderProgramTest, BuildsFromTextFromFilesOrFromAFragmentStageAlone) {
    const std::string stem = ::testing::TempDir() + "zentor-" + std::to_string(getpid());
    const std::string vertexPath = stem + ".vert", fragmentPath = stem + ".frag";
    std::ofstream(vertexPath) << kPassThroughVertexSource;
    std::ofstream(fragmentPath) << kWhite;
    ShaderProgram fromText(kPassThroughVertexSource, kWhite, kShaderSourceText);
    ShaderProgram fromFiles(vertexPath.c_str(), fragmentPath.c_str(), kShaderSourceFile);
    ShaderProgram fragmentOnly(nullptr, kWhite, kShaderSourceText);
    std::remove(vertexPath.c_str());
    std::remove(fragmentPath.c_str());
    for (const ShaderProgram* program : {&fromText, &fromFiles, &fragmentOnly})
        EXPECT_TRUE(program->IsValid() && glIsProgram(program->GetHandle()));
}

TEST_F(ShaderProgramTest, UnreadableSourcesGiveAnInvalidProgramWithoutCompiling) {
    StdoutCapture output;
    ::testing::internal::CaptureStderr();
    GlCallCounter calls;
    const ShaderProgram unknownKind(kPassThroughVertexSource, kWhite, 2);
    const ShaderProgram missing("/nonexistent/zentor.vert", "/nonexistent/zentor.frag", kShaderSourceFile);
    const ShaderProgram directory("/", "/", kShaderSourceFile);  // opens like a file, reads like none
    ::testing::internal::GetCapturedStderr();
    for (const ShaderProgram* program : {&unknownKind, &missing, &directory})
        EXPECT_TRUE(!program->IsValid() && program->GetHandle() == 0);
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(calls.Counts().createShader, 0);
    EXPECT_EQ(calls.Counts().linkProgram, 0);
}

// Both stages are compiled either way; whatever compiled is deleted again.
// Whoever writes a kernel needs to see where it broke, on standard error:
// standard output stays the program's own.
TEST_F(ShaderProgramTest, AFailingStageOrLinkLeavesAnInvalidProgramAndNoStage) {
    struct Case {
        const char* vertex;
        const char* fragment;
        int links;
    };
    for (const Case& c : {Case{kBrokenVertex, kWhite, 0}, Case{kPassThroughVertexSource, kBrokenFragment, 0},
                          Case{kPassThroughVertexSource, kUnlinkable, 1}}) {
        SCOPED_TRACE(c.fragment);
        StdoutCapture output;
        ::testing::internal::CaptureStderr();
        GlCallCounter calls;
        const ShaderProgram program(c.vertex, c.fragment, kShaderSourceText);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(output.Text(), "");
        EXPECT_TRUE(!program.IsValid() && program.GetHandle() == 0);
        EXPECT_EQ(calls.Counts().createShader, 2);
        EXPECT_EQ(calls.Counts().deleteShader, 2);
        EXPECT_EQ(calls.Counts().linkProgram, c.links);
        EXPECT_EQ(calls.Counts().deleteProgram, 1);
        if (c.fragment != kBrokenFragment) continue;
        for (const char* line : {"(0001) void main(void)\n", "(0002) {\n",
                                 "(0003)     gl_FragColor = vec4(undeclaredThing);\n", "error"})
            EXPECT_NE(errors.find(line), std::string::npos) << line << " missing in:\n" << errors;
    }
}

// Every uniform type SetUniformVector distinguishes, all of them active.
const char* const kUniformSource =
    "uniform float g_fScale; uniform vec2 g_f2Step; uniform vec3 g_f3Colour; uniform vec4 g_f4Weights;\n"
    "uniform int g_iCount; uniform ivec2 g_i2Offset; uniform ivec3 g_i3Extent; uniform ivec4 g_i4Index;\n"
    "uniform bool g_bEnabled; uniform bvec2 g_b2Mask; uniform bvec3 g_b3Mask; uniform bvec4 g_b4Mask;\n"
    "uniform mat4 g_mTransform; uniform sampler2D g_sInput; uniform float g_fSeries[2]; uniform float "
    "g_fUnused;\n"
    "void main(void){\n"
    "    vec4 sum = vec4(g_fScale) + g_f2Step.xyxy + g_f3Colour.xyzx + g_f4Weights + vec4(float(g_iCount));\n"
    "    sum += vec4(g_i2Offset, g_i2Offset) + vec4(g_i3Extent, 0) + vec4(g_i4Index) + "
    "vec4(float(g_bEnabled));\n"
    "    sum += vec4(vec2(g_b2Mask), vec2(g_b2Mask)) + vec4(vec3(g_b3Mask), 0.0) + vec4(g_b4Mask);\n"
    "    sum += vec4(g_fSeries[0] + g_fSeries[1]);\n"
    "    gl_FragColor = g_mTransform * sum + texture2D(g_sInput, gl_TexCoord[0].xy);\n"
    "}\n";

std::vector<GLfloat> ReadUniform(const ShaderProgram& program, const char* name, size_t count) {
    std::vector<GLfloat> values(16, -1.0f);
    glGetUniformfv(program.GetHandle(), glGetUniformLocation(program.GetHandle(), name), values.data());
    values.resize(count);
    return values;
}

TEST_F(ShaderProgramTest, SetUniformVectorPicksTheCallByTheDeclaredType) {
    struct Row {
        const char* name;
        bool floatForm;  // else the int form, with the values converted
        float x, y, z, w;
        std::vector<GLfloat> expected;
    };
    const Row rows[] = {
        {"g_fScale", false, 3, 0, 0, 0, {3}},
        {"g_f2Step", true, 0.5f, -1.5f, 9, 9, {0.5f, -1.5f}},
        {"g_f3Colour", false, 1, -2, 3, 9, {1, -2, 3}},
        {"g_f4Weights", true, 0.25f, 0.5f, 0.75f, 1, {0.25f, 0.5f, 0.75f, 1}},
        // Integers take floats truncated toward zero.
        {"g_iCount", true, 2.9f, 0, 0, 0, {2}},
        {"g_i2Offset", true, 2.9f, -2.9f, 0, 0, {2, -2}},
        {"g_i2Offset", false, 4, -5, 0, 0, {4, -5}},
        {"g_i3Extent", false, 7, -8, 9, 10, {7, -8, 9}},
        {"g_i4Index", true, 1.5f, -1.5f, 3.99f, -0.5f, {1, -1, 3, 0}},
        // The float form hands booleans the floats as they are: 0.5 is true.
        {"g_bEnabled", true, 0.5f, 0, 0, 0, {1}},
        {"g_bEnabled", false, 0, 0, 0, 0, {0}},
        {"g_b2Mask", true, 0.25f, 0, 0, 0, {1, 0}},
        {"g_b2Mask", false, 0, 3, 0, 0, {0, 1}},
        {"g_b3Mask", false, 0, 7, 0, 0, {0, 1, 0}},
        {"g_b4Mask", true, 0, 0.5f, 0, -0.5f, {0, 1, 0, 1}},
        {"g_sInput", false, 3, 0, 0, 0, {3}},
        {"g_sInput", true, 2, 0, 0, 0, {2}},
        {"g_fSeries", true, 5, 6, 7, 8, {5}},  // the first element only
    };
    ShaderProgram program(nullptr, kUniformSource, kShaderSourceText);
    ASSERT_TRUE(program.IsValid());
    program.Bind();
    for (const Row& r : rows) {
        if (r.floatForm)
            program.SetUniformVector(r.name, r.x, r.y, r.z, r.w);
        else
            program.SetUniformVector(r.name, int(r.x), int(r.y), int(r.z), int(r.w));
        EXPECT_EQ(ReadUniform(program, r.name, r.expected.size()), r.expected)
            << r.name << (r.floatForm ? " float form" : " int form");
    }

    // Matrices have nothing to take from a vector; unknown names (g_fUnused is
    // removed by the linker) change nothing and say nothing.
    const std::vector<GLfloat> identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    glUniformMatrix4fv(glGetUniformLocation(program.GetHandle(), "g_mTransform"), 1, GL_FALSE,
                       identity.data());
    StdoutCapture output;
    ::testing::internal::CaptureStderr();
    for (const char* name : {"g_mTransform", "g_fUnused", "g_fNoSuchUniform"}) {
        program.SetUniformVector(name, 5, 6, 7, 8);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)) << name;
        program.SetUniformVector(name, 5.0f, 6.0f, 7.0f, 8.0f);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)) << name;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(ReadUniform(program, "g_mTransform", 16), identity);
    program.Unbind();
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0) << "Unbind leaves no program current";
}

}  // namespace
