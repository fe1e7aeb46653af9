#pragma once

#include <GL/glew.h>

// Real counts of what runs between construction and Take: render passes (each
// framework pass is one glBegin) and fragments that reached the target (an
// occlusion query; nothing in the framework tests depth or stencil, so that
// is every fragment shaded).
class PassCounter {
public:
    PassCounter();
    ~PassCounter();
    PassCounter(const PassCounter&) = delete;
    PassCounter& operator=(const PassCounter&) = delete;

    struct Counts {
        long long passes;
        long long fragments;
    };
    Counts Take();

private:
    GLuint query_ = 0;
    long long startPasses_ = 0;
    bool taken_ = false;
};
