#pragma once

#include <GL/glew.h>
#include <gtest/gtest.h>

#include "gpu/Framework.h"

// Every GL test executable shares one freeglut window, made once in main with
// the framework initialised through it. Tests derive from GlTest, which fails
// any test that leaves a GL error pending.
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
