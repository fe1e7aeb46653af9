#pragma once

#include <GL/glew.h>
#include <gtest/gtest.h>

// Every GL test executable shares one context, made once in main with the
// framework initialised on it. Tests derive from GlTest, which fails any test
// that leaves a GL error pending.
// Makes that context current: the headless one for the library's tests, a
// window for the demo's (HeadlessTestContext.cpp or WindowTestContext.cpp).
bool OpenTestContext(int* argc, char** argv);

class GlTest : public ::testing::Test {
protected:
    void TearDown() override;
};

// Binds the framework framebuffer for the lifetime of the scope, as the demo's
// render-to-texture bracket does.
class FrameworkFramebufferScope {
public:
    FrameworkFramebufferScope();
    ~FrameworkFramebufferScope();
    FrameworkFramebufferScope(const FrameworkFramebufferScope&) = delete;
    FrameworkFramebufferScope& operator=(const FrameworkFramebufferScope&) = delete;
};

// Captures what the code under test writes to standard output.
class StdoutCapture {
public:
    StdoutCapture() { ::testing::internal::CaptureStdout(); }
    std::string Text() {
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};
