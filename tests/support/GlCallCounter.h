#pragma once

// Counts calls the code under test makes to the GL entry points that create,
// destroy, link or read back GL objects, and its passes. The OpenGL 1.1 entry
// points are interposed by definitions in the executable; the ones GLEW loads
// (framebuffer objects, shaders) are wrapped in GLEW's function pointers.
// Single-threaded: the GL context's own thread.
struct GlCallCounts {
    long genTextures = 0;
    long deleteTextures = 0;
    long bindTexture = 0;
    long texParameter = 0;
    long texImage2D = 0;
    long readPixels = 0;
    long getTexImage = 0;
    long genFramebuffers = 0;
    long deleteFramebuffers = 0;
    long createShader = 0;
    long deleteShader = 0;
    long linkProgram = 0;
    long createProgram = 0;
    long deleteProgram = 0;
    long begin = 0;  // glBegin: one per framework pass

    long Total() const;
};

// Every count, for totals and differences.
inline constexpr long GlCallCounts::*kGlCallCountFields[] = {
    &GlCallCounts::genTextures,  &GlCallCounts::deleteTextures,  &GlCallCounts::bindTexture,
    &GlCallCounts::texParameter, &GlCallCounts::texImage2D,      &GlCallCounts::readPixels,
    &GlCallCounts::getTexImage,  &GlCallCounts::genFramebuffers, &GlCallCounts::deleteFramebuffers,
    &GlCallCounts::createShader, &GlCallCounts::deleteShader,    &GlCallCounts::linkProgram,
    &GlCallCounts::createProgram, &GlCallCounts::deleteProgram,  &GlCallCounts::begin};

inline long GlCallCounts::Total() const {
    long total = 0;
    for (auto field : kGlCallCountFields) total += this->*field;
    return total;
}

// Counts since construction.
class GlCallCounter {
public:
    GlCallCounter();
    GlCallCounts Counts() const {
        GlCallCounts delta = Now();
        for (auto field : kGlCallCountFields) delta.*field -= start_.*field;
        return delta;
    }

private:
    static GlCallCounts Now();  // the counts since the process started
    GlCallCounts start_ = Now();
};

// While one lives, the driver refuses texture storage (glTexImage2D without
// data) as a driver out of memory does: the call sets GL_OUT_OF_MEMORY.
class TextureMemoryFault {
public:
    TextureMemoryFault();
    ~TextureMemoryFault();
    TextureMemoryFault(const TextureMemoryFault&) = delete;
    TextureMemoryFault& operator=(const TextureMemoryFault&) = delete;
};
