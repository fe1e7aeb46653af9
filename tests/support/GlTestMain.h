#pragma once

#include <GL/glew.h>
#include <gtest/gtest.h>

#include "gpu/Framework.h"

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

// Captures what the code under test writes to standard output.
class StdoutCapture {
public:
    StdoutCapture() { ::testing::internal::CaptureStdout(); }
    std::string Text() {
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};
