#pragma once

// Small pieces every kernel-owning class of the library uses to build its
// class-wide programs and to run passes.
#include <GL/glew.h>

#include <initializer_list>

class ShaderProgram;
struct TextureDesc;

namespace kernel {

struct SamplerUnit {
    const char* name;
    int unit;
};

struct UniformLocation {
    const char* name;
    GLint* location;
};

// Builds a program from GLSL text, assigns its samplers to their units once
// and caches the locations of the uniforms its passes set, so that no pass
// looks anything up by name.
ShaderProgram* Build(const char* vertexSource, const char* fragmentSource,
                     std::initializer_list<SamplerUnit> samplers,
                     std::initializer_list<UniformLocation> uniforms);

void Delete(ShaderProgram*& program);

void BindTexture(GLenum unit, GLuint texture);

// One point at the centre of a 1x1 viewport, with texture coordinate (0, 0).
void DrawSingleFragment();

// GLSL: vec2 TexelOf(float n, float w), the column and row of texel n in
// row-major order over a texture w texels wide. Exact for n below 2^24
// however the division rounds.
extern const char* const kTexelOfSource;

// Whether the driver lets one pass write two targets (gl_FragData[0] and [1]).
bool TwoRenderTargets();

// One pass of program over a target of shape's size into two textures,
// inputs bound to units 0, 1, ... in order. False, drawing nothing, when a
// target is 0 (a scratch texture the pool could not give).
bool DrawIntoTwoTargets(ShaderProgram* program, const TextureDesc& shape, GLuint first, GLuint second,
                        std::initializer_list<GLuint> inputs);

}  // namespace kernel
