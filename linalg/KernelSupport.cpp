#include "linalg/KernelSupport.h"

#include "gpu/GlPlatform.h"
#include "gpu/ShaderProgram.h"

namespace kernel {

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

}  // namespace kernel
