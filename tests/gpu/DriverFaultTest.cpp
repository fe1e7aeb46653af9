// Start-up against drivers that lack what the framework needs. Each case runs
// the init probe in a process of its own, since a failed start-up may end it.

#include "faults/FaultyDriverProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ProcessResult RunProbe(const std::vector<std::string>& steps, const DriverFaults& faults) {
    return RunWithDriverFaults(ZENTOR_INIT_PROBE, steps, faults);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

DriverFaults HiddenExtensions(const std::string& names) {
    DriverFaults faults;
    faults.hiddenExtensions = names;
    return faults;
}

TEST(DriverFaultTest, ACompleteDriverInitialisesSilently) {
    const ProcessResult run = RunProbe({"init", "shader"}, DriverFaults{});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_TRUE(Contains(run.standardError, "init=true pool=present")) << run.standardError;
    EXPECT_TRUE(Contains(run.standardError, "shader=valid")) << run.standardError;
}

struct MissingExtensionCase {
    const char* hidden;
    const char* output;
};

class MissingExtensionTest : public ::testing::TestWithParam<MissingExtensionCase> {};

// Only the first missing extension is reported, and no pool is left behind.
TEST_P(MissingExtensionTest, InitialisationFailsWithTheFirstMissingExtensionsMessage) {
    const ProcessResult run = RunProbe({"init"}, HiddenExtensions(GetParam().hidden));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, GetParam().output);
    EXPECT_TRUE(Contains(run.standardError, "init=false pool=absent")) << run.standardError;
}

INSTANTIATE_TEST_SUITE_P(
    DriverFaultTest, MissingExtensionTest,
    ::testing::Values(
        MissingExtensionCase{"GL_EXT_framebuffer_object,GL_ARB_shader_objects,GL_ARB_shading_language_100",
                             "GL_EXT_framebuffer_object not supported.\n"},
        MissingExtensionCase{"GL_EXT_framebuffer_object", "GL_EXT_framebuffer_object not supported.\n"},
        MissingExtensionCase{"GL_ARB_shader_objects,GL_ARB_shading_language_100",
                             "ARB_shader_objects not supported!\n"},
        MissingExtensionCase{"GL_ARB_shading_language_100", "ARB_shading_language_100 not supported!\n"}));

TEST(DriverFaultTest, AFailingGlewInitialisationIsReportedWithGlewsOwnText) {
    DriverFaults faults;
    faults.hideVersion = true;
    const ProcessResult run = RunProbe({"init"}, faults);
    EXPECT_EQ(run.standardOutput, "Error initializing GLEW Missing GL version\n");
    EXPECT_TRUE(Contains(run.standardError, "init=false pool=absent")) << run.standardError;
}

// OpenGL 2.0 is enough for shader programs; the framework still wants both
// shader extensions.
TEST(DriverFaultTest, OpenGl20WithoutShaderExtensionsBuildsProgramsButCannotInitialise) {
    const ProcessResult run =
        RunProbe({"shader", "init"}, HiddenExtensions("GL_ARB_shader_objects,GL_ARB_shading_language_100"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "ARB_shader_objects not supported!\n");
    EXPECT_TRUE(Contains(run.standardError, "shader=valid")) << run.standardError;
    EXPECT_TRUE(Contains(run.standardError, "init=false pool=absent")) << run.standardError;
}

// InitFramework runs first, as in the application: it has GLEW resolve every
// entry point, the OpenGL 2.0 ones the programs use included.
TEST(DriverFaultTest, ShaderExtensionsWithoutOpenGl20AreEnoughForPrograms) {
    DriverFaults faults;
    faults.hideGl20 = true;
    const ProcessResult run = RunProbe({"init", "shader"}, faults);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_TRUE(Contains(run.standardError, "shader=valid")) << run.standardError;
}

// Without that, the OpenGL 2.0 entry points stay unresolved: the process ends
// as it does without GLSL rather than calling through a null pointer.
TEST(DriverFaultTest, ShaderExtensionsWithoutOpenGl20AndWithoutInitialisationEndWithStatus255) {
    DriverFaults faults;
    faults.hideGl20 = true;
    const ProcessResult run = RunProbe({"shader"}, faults);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(run.standardOutput, "");
}

class NoGlslTest : public ::testing::TestWithParam<const char*> {};

// Without OpenGL 2.0 both shader extensions are needed. The process ends
// through exit, so handlers registered with atexit still run.
TEST_P(NoGlslTest, TheFirstShaderProgramEndsTheProcessSilentlyWithStatus255) {
    DriverFaults faults = HiddenExtensions(GetParam());
    faults.hideGl20 = true;
    const ProcessResult run = RunProbe({"shader"}, faults);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_FALSE(Contains(run.standardError, "shader=")) << run.standardError;
    EXPECT_TRUE(Contains(run.standardError, "exit handlers ran")) << run.standardError;
}

INSTANTIATE_TEST_SUITE_P(DriverFaultTest, NoGlslTest,
                         ::testing::Values("GL_ARB_shader_objects,GL_ARB_shading_language_100",
                                           "GL_ARB_shader_objects", "GL_ARB_shading_language_100"));

}  // namespace
