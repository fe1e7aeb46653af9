#include "linalg/KernelSupport.h"

#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"

namespace kernel {

const char* const kTexelOfSource = R"(vec2 TexelOf(float n, float w)
{
float row = floor((n + 0.5) / w);
float column = n - row * w;
if (column < 0.0) {
row -= 1.0;
column += w;
} else if (column >= w) {
row += 1.0;
column -= w;
}
return vec2(column, row);
}
)";

ShaderProgram* Build(const char* vertexSource, const char* fragmentSource,
                     std::initializer_list<SamplerUnit> samplers,
                     std::initializer_list<UniformLocation> uniforms) {
    ShaderProgram* program = new ShaderProgram(vertexSource, fragmentSource, kShaderSourceText);
    program->Bind();
    for (const UniformLocation& uniform : uniforms)
        *uniform.location = glGetUniformLocation(program->GetHandle(), uniform.name);
    for (const SamplerUnit& sampler : samplers)
        program->SetUniformVector(sampler.name, sampler.unit, 0, 0, 0);
    program->Unbind();
    return program;
}

void Delete(ShaderProgram*& program) {
    delete program;
    program = nullptr;
}

void BindTexture(GLenum unit, GLuint texture) {
    glActiveTexture(unit);
    glBindTexture(GL_TEXTURE_2D, texture);
}

void DrawSingleFragment() { DrawTexturedPoint({0.0f, 0.0f, 0.0f, 0.0f}); }

bool TwoRenderTargets() {
    GLint buffers = 0;
    glGetIntegerv(GL_MAX_DRAW_BUFFERS, &buffers);
    return buffers >= 2;
}

bool DrawIntoTwoTargets(ShaderProgram* program, const TextureDesc& shape, GLuint first, GLuint second,
                        std::initializer_list<GLuint> inputs) {
    static const GLenum targets[] = {GL_COLOR_ATTACHMENT0_EXT, GL_COLOR_ATTACHMENT1_EXT};
    if (first == 0 || second == 0) return false;
    glViewport(0, 0, shape.width, shape.height);
    AttachPassTarget(first);
    AttachPassTarget(second, GL_COLOR_ATTACHMENT1_EXT);
    glDrawBuffers(2, targets);
    GLenum unit = GL_TEXTURE0;
    for (GLuint input : inputs) BindTexture(unit++, input);
    program->Bind();
    DrawFullScreenPass();
    program->Unbind();
    glActiveTexture(GL_TEXTURE0);
    glDrawBuffers(1, targets);
    AttachPassTarget(0, GL_COLOR_ATTACHMENT1_EXT);
    return true;
}

}  // namespace kernel
