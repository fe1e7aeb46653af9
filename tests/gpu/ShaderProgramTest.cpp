#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "support/GlCallCounter.h"
#include "support/GlTestMain.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const kWhiteFragmentSource = "void main(void){ gl_FragColor = vec4(1.0); }";

const char* const kBrokenFragmentSource =
    "void main(void)\n"
    "{\n"
    "    gl_FragColor = vec4(undeclaredThing);\n"
    "}\n";

const char* const kBrokenVertexSource = "void main(void){ gl_Position = undeclaredThing; }";

// Compiles, but calls a function that is never defined.
const char* const kUnlinkableFragmentSource =
    "float Missing(void);\n"
    "void main(void){ gl_FragColor = vec4(Missing()); }";

GLint CurrentProgram() {
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    return program;
}

std::unique_ptr<ShaderProgram> Build(const char* vertex, const char* fragment, int kind = kShaderSourceText) {
    return std::make_unique<ShaderProgram>(vertex, fragment, kind);
}

void ExpectInvalid(const ShaderProgram& program) {
    EXPECT_FALSE(program.IsValid());
    EXPECT_EQ(program.GetHandle(), 0u);
}

// A GLSL source in a file of its own, removed with the object.
class SourceFile {
public:
    explicit SourceFile(const std::string& text) {
        const char* directory = std::getenv("TMPDIR");
        path_ = std::string(directory && *directory ? directory : "/tmp") + "/zentor-shader-XXXXXX";
        const int descriptor = mkstemp(path_.data());
        EXPECT_NE(descriptor, -1);
        EXPECT_EQ(write(descriptor, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(descriptor);
    }
    ~SourceFile() { std::remove(path_.c_str()); }
    const char* Path() const { return path_.c_str(); }

private:
    std::string path_;
};

using ShaderProgramTest = GlTest;

TEST_F(ShaderProgramTest, BuildsFromTextFromFilesOrFromAFragmentStageAlone) {
    const SourceFile vertex(kPassThroughVertexSource), fragment(kWhiteFragmentSource);
    const auto fromText = Build(kPassThroughVertexSource, kWhiteFragmentSource);
    const auto fromFiles = Build(vertex.Path(), fragment.Path(), kShaderSourceFile);
    const auto fragmentOnly = Build(nullptr, kWhiteFragmentSource);
    for (const ShaderProgram* program : {fromText.get(), fromFiles.get(), fragmentOnly.get()}) {
        EXPECT_TRUE(program->IsValid());
        EXPECT_TRUE(glIsProgram(program->GetHandle()));
    }
}

TEST_F(ShaderProgramTest, SourcesThatCannotBeReadGiveAnInvalidProgramWithoutCompiling) {
    StdoutCapture output;
    ::testing::internal::CaptureStderr();
    GlCallCounter calls;
    ExpectInvalid(*Build(kPassThroughVertexSource, kWhiteFragmentSource, 2));
    ExpectInvalid(*Build("/nonexistent/zentor.vert", "/nonexistent/zentor.frag", kShaderSourceFile));
    ExpectInvalid(*Build("/", "/", kShaderSourceFile));  // opens like a file, reads like none
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(calls.Counts().createShader, 0);
    EXPECT_EQ(calls.Counts().linkProgram, 0);
}

struct BrokenStageCase {
    const char* name;
    const char* vertex;
    const char* fragment;
};

class BrokenStageTest : public GlTest, public ::testing::WithParamInterface<BrokenStageCase> {};

// Both stages are compiled either way; whatever compiled is deleted again.
TEST_P(BrokenStageTest, DeletesEveryStageAndNeverLinks) {
    ::testing::internal::CaptureStderr();
    GlCallCounter calls;
    const auto program = Build(GetParam().vertex, GetParam().fragment);
    ::testing::internal::GetCapturedStderr();

    ExpectInvalid(*program);
    EXPECT_EQ(calls.Counts().createShader, 2);
    EXPECT_EQ(calls.Counts().deleteShader, 2);
    EXPECT_EQ(calls.Counts().linkProgram, 0);
}

INSTANTIATE_TEST_SUITE_P(
    ShaderProgram, BrokenStageTest,
    ::testing::Values(BrokenStageCase{"Vertex", kBrokenVertexSource, kWhiteFragmentSource},
                      BrokenStageCase{"Fragment", kPassThroughVertexSource, kBrokenFragmentSource}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShaderProgramTest, ALinkFailureLeavesTheProgramInvalid) {
    ::testing::internal::CaptureStderr();
    GlCallCounter calls;
    const auto program = Build(kPassThroughVertexSource, kUnlinkableFragmentSource);
    ::testing::internal::GetCapturedStderr();

    ExpectInvalid(*program);
    EXPECT_EQ(calls.Counts().linkProgram, 1);
    EXPECT_EQ(calls.Counts().deleteShader, 2);
}

// Whoever writes a kernel needs to see where it broke; standard output stays
// the program's own.
TEST_F(ShaderProgramTest, ACompileFailureListsTheNumberedSourceAndTheLogOnStandardError) {
    StdoutCapture output;
    ::testing::internal::CaptureStderr();
    Build(kPassThroughVertexSource, kBrokenFragmentSource);
    const std::string errors = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(output.Text(), "");
    EXPECT_NE(errors.find("(0001) void main(void)\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("(0002) {\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("(0003)     gl_FragColor = vec4(undeclaredThing);\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("error"), std::string::npos) << "no driver log in: " << errors;
}

TEST_F(ShaderProgramTest, BindMakesTheProgramCurrentAndUnbindClearsIt) {
    const auto program = Build(kPassThroughVertexSource, kWhiteFragmentSource);
    program->Bind();
    EXPECT_EQ(CurrentProgram(), static_cast<GLint>(program->GetHandle()));
    EXPECT_TRUE(program->IsBound());
    program->Unbind();
    EXPECT_EQ(CurrentProgram(), 0);
    EXPECT_FALSE(program->IsBound());
}

TEST_F(ShaderProgramTest, AnInvalidProgramLeavesTheCurrentProgramAlone) {
    const auto valid = Build(kPassThroughVertexSource, kWhiteFragmentSource);
    const auto invalid = Build(kPassThroughVertexSource, kWhiteFragmentSource, 2);
    valid->Bind();

    invalid->Bind();
    EXPECT_EQ(CurrentProgram(), static_cast<GLint>(valid->GetHandle()));
    EXPECT_FALSE(invalid->IsBound());
    invalid->Unbind();
    EXPECT_EQ(CurrentProgram(), static_cast<GLint>(valid->GetHandle()));
    valid->Unbind();
}

// Every uniform type SetUniformVector distinguishes, all of them active.
const char* const kUniformFragmentSource =
    "uniform float g_fScale;\n"
    "uniform vec2 g_f2Step;\n"
    "uniform vec3 g_f3Colour;\n"
    "uniform vec4 g_f4Weights;\n"
    "uniform int g_iCount;\n"
    "uniform ivec2 g_i2Offset;\n"
    "uniform ivec3 g_i3Extent;\n"
    "uniform ivec4 g_i4Index;\n"
    "uniform bool g_bEnabled;\n"
    "uniform bvec2 g_b2Mask;\n"
    "uniform bvec3 g_b3Mask;\n"
    "uniform bvec4 g_b4Mask;\n"
    "uniform mat4 g_mTransform;\n"
    "uniform sampler2D g_sInput;\n"
    "uniform float g_fSeries[2];\n"
    "uniform float g_fUnused;\n"
    "void main(void){\n"
    "    vec4 sum = vec4(g_fScale) + g_f2Step.xyxy + g_f3Colour.xyzx + g_f4Weights;\n"
    "    sum += vec4(float(g_iCount)) + vec4(g_i2Offset, g_i2Offset);\n"
    "    sum += vec4(g_i3Extent, 0) + vec4(g_i4Index);\n"
    "    sum += vec4(float(g_bEnabled)) + vec4(vec2(g_b2Mask), vec2(g_b2Mask));\n"
    "    sum += vec4(vec3(g_b3Mask), 0.0) + vec4(g_b4Mask);\n"
    "    sum += vec4(g_fSeries[0] + g_fSeries[1]);\n"
    "    gl_FragColor = g_mTransform * sum + texture2D(g_sInput, gl_TexCoord[0].xy);\n"
    "}\n";

class SetUniformVectorTest : public GlTest {
protected:
    static void SetUpTestSuite() {
        program = new ShaderProgram(nullptr, kUniformFragmentSource, kShaderSourceText);
    }
    static void TearDownTestSuite() {
        delete program;
        program = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(program->IsValid());
        program->Bind();
    }
    void TearDown() override {
        program->Unbind();
        GlTest::TearDown();
    }

    static GLint Location(const char* name) { return glGetUniformLocation(program->GetHandle(), name); }

    static std::vector<GLfloat> ReadFloats(const char* name, size_t count) {
        std::vector<GLfloat> values(16, -1.0f);
        glGetUniformfv(program->GetHandle(), Location(name), values.data());
        values.resize(count);
        return values;
    }

    static std::vector<GLint> ReadInts(const char* name, size_t count) {
        std::vector<GLint> values(4, -1);
        glGetUniformiv(program->GetHandle(), Location(name), values.data());
        values.resize(count);
        return values;
    }

    static ShaderProgram* program;
};

ShaderProgram* SetUniformVectorTest::program = nullptr;

using Floats = std::vector<GLfloat>;
using Ints = std::vector<GLint>;

TEST_F(SetUniformVectorTest, FloatUniformsTakeFloatsOrIntsConvertedToFloat) {
    program->SetUniformVector("g_fScale", 3, 0, 0, 0);
    EXPECT_EQ(ReadFloats("g_fScale", 1), Floats({3.0f}));
    program->SetUniformVector("g_f2Step", 0.5f, -1.5f, 9.0f, 9.0f);
    EXPECT_EQ(ReadFloats("g_f2Step", 2), Floats({0.5f, -1.5f}));
    program->SetUniformVector("g_f3Colour", 1, -2, 3, 9);
    EXPECT_EQ(ReadFloats("g_f3Colour", 3), Floats({1.0f, -2.0f, 3.0f}));
    program->SetUniformVector("g_f4Weights", 0.25f, 0.5f, 0.75f, 1.0f);
    EXPECT_EQ(ReadFloats("g_f4Weights", 4), Floats({0.25f, 0.5f, 0.75f, 1.0f}));
}

TEST_F(SetUniformVectorTest, IntegerUniformsTakeIntsOrFloatsTruncatedTowardZero) {
    program->SetUniformVector("g_iCount", 2.9f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(ReadInts("g_iCount", 1), Ints({2}));
    program->SetUniformVector("g_i2Offset", 2.9f, -2.9f, 0.0f, 0.0f);
    EXPECT_EQ(ReadInts("g_i2Offset", 2), Ints({2, -2}));
    program->SetUniformVector("g_i3Extent", 7, -8, 9, 10);
    EXPECT_EQ(ReadInts("g_i3Extent", 3), Ints({7, -8, 9}));
    program->SetUniformVector("g_i4Index", 1.5f, -1.5f, 3.99f, -0.5f);
    EXPECT_EQ(ReadInts("g_i4Index", 4), Ints({1, -1, 3, 0}));
}

// The float form passes the floats on as they are, so any non-zero fraction
// is true; truncating them to integers would make 0.5 false.
TEST_F(SetUniformVectorTest, BooleanUniformsTakeIntsAsIntsAndFloatsAsFloats) {
    program->SetUniformVector("g_bEnabled", 0.5f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(ReadInts("g_bEnabled", 1), Ints({1}));
    program->SetUniformVector("g_bEnabled", 0, 0, 0, 0);
    EXPECT_EQ(ReadInts("g_bEnabled", 1), Ints({0}));
    program->SetUniformVector("g_b2Mask", 0.25f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(ReadInts("g_b2Mask", 2), Ints({1, 0}));
    program->SetUniformVector("g_b3Mask", 0, 7, 0, 0);
    EXPECT_EQ(ReadInts("g_b3Mask", 3), Ints({0, 1, 0}));
    program->SetUniformVector("g_b4Mask", 0.0f, 0.5f, 0.0f, -0.5f);
    EXPECT_EQ(ReadInts("g_b4Mask", 4), Ints({0, 1, 0, 1}));
}

TEST_F(SetUniformVectorTest, SamplersTakeTheTextureUnitFromEitherForm) {
    program->SetUniformVector("g_sInput", 3, 0, 0, 0);
    EXPECT_EQ(ReadInts("g_sInput", 1), Ints({3}));
    program->SetUniformVector("g_sInput", 2.0f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(ReadInts("g_sInput", 1), Ints({2}));
}

TEST_F(SetUniformVectorTest, MatricesAreLeftUnchanged) {
    const Floats identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    glUniformMatrix4fv(Location("g_mTransform"), 1, GL_FALSE, identity.data());

    // Each form on its own: the next call would clear an error the first left.
    program->SetUniformVector("g_mTransform", 5, 6, 7, 8);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    program->SetUniformVector("g_mTransform", 5.0f, 6.0f, 7.0f, 8.0f);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(ReadFloats("g_mTransform", 16), identity);
}

TEST_F(SetUniformVectorTest, OnlyTheFirstElementOfAnArrayIsSet) {
    glUniform1f(Location("g_fSeries[1]"), 9.0f);
    program->SetUniformVector("g_fSeries", 5.0f, 6.0f, 7.0f, 8.0f);
    EXPECT_EQ(ReadFloats("g_fSeries[0]", 1), Floats({5.0f}));
    EXPECT_EQ(ReadFloats("g_fSeries[1]", 1), Floats({9.0f}));
}

// g_fUnused is declared but removed by the linker: it has no location.
TEST_F(SetUniformVectorTest, NamesWithoutALocationAreIgnoredSilently) {
    ASSERT_EQ(Location("g_fUnused"), -1);
    StdoutCapture output;
    ::testing::internal::CaptureStderr();
    for (const char* name : {"g_fUnused", "g_fNoSuchUniform"}) {
        program->SetUniformVector(name, 1, 2, 3, 4);
        program->SetUniformVector(name, 1.0f, 2.0f, 3.0f, 4.0f);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(output.Text(), "");
}

TEST_F(SetUniformVectorTest, AnInvalidProgramSetsNothingAndPrintsNothingToStandardOutput) {
    const auto invalid = Build(nullptr, kWhiteFragmentSource, 2);
    program->SetUniformVector("g_fScale", 1.0f, 0.0f, 0.0f, 0.0f);

    StdoutCapture output;
    ::testing::internal::CaptureStderr();
    invalid->SetUniformVector("g_fScale", 4, 0, 0, 0);
    invalid->SetUniformVector("g_fScale", 4.0f, 0.0f, 0.0f, 0.0f);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(ReadFloats("g_fScale", 1), Floats({1.0f}));
}

}  // namespace
