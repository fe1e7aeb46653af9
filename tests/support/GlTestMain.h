#pragma once

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

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

// Collects the library's refusals while it lives, one "call: reason" line
// each, instead of letting them reach standard error.
class RefusalRecorder {
public:
    RefusalRecorder() { SetRefusalHandler(&Record, this); }
    ~RefusalRecorder() { SetRefusalHandler(nullptr); }
    RefusalRecorder(const RefusalRecorder&) = delete;
    RefusalRecorder& operator=(const RefusalRecorder&) = delete;
    // Every line so far, each ended by a newline, and forgets them.
    std::string Take() { return std::exchange(text_, std::string()); }

private:
    static void Record(const char* call, const char* reason, void* self) {
        static_cast<RefusalRecorder*>(self)->text_ += std::string(call) + ": " + reason + "\n";
    }
    std::string text_;
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
