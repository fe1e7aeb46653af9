#pragma once

/// \file
/// GLSL programs, as every kernel builds them.

#include <GL/glew.h>

/// How the two source arguments of a ShaderProgram are to be read.
enum ShaderSourceKind {
    kShaderSourceFile = 0,  ///< paths of files holding GLSL text
    kShaderSourceText = 1,  ///< the GLSL text itself
};

/// One GLSL program from a vertex and a fragment source. A program that fails
/// to build stays invalid: Bind and Unbind then do nothing, so a kernel built
/// from it simply does not run its shader. The reason is written to standard
/// error for whoever is writing the kernel.
class ShaderProgram {
public:
    /// A null source leaves that stage out. Ends the process with status 255 when
    /// the driver has no GLSL.
    ShaderProgram(const char* vertexSource, const char* fragmentSource, int sourceKind);
    /// Deletes the GL program.
    ~ShaderProgram();

    ShaderProgram(const ShaderProgram&) = delete;
    ShaderProgram& operator=(const ShaderProgram&) = delete;

    /// Makes the program current (when valid).
    void Bind();
    /// Makes no program current (when valid).
    void Unbind();
    /// The GL program's name.
    GLuint GetHandle() const { return handle; }
    /// Built and linked without error.
    bool IsValid() const { return valid; }
    /// Bound by Bind and not yet unbound.
    bool IsBound() const { return bound; }

    /// \name Uniforms
    ///@{

    /// Set a uniform by name, choosing the GL call by its declared GLSL type.
    /// The program must be the current one. Unknown names change nothing.
    void SetUniformVector(const char* name, int x, int y, int z, int w);
    void SetUniformVector(const char* name, float x, float y, float z, float w);
    ///@}

    /// Reads the GL error flag once; true when an error was pending. A non-null
    /// label (printf-style, its \%s filled by argument) is printed to standard
    /// error together with the error.
    static bool CheckGlError(const char* label, const char* argument);

private:
    void Build(const char* vertexSource, const char* fragmentSource, int sourceKind);
    static GLuint CompileStage(const char* source, GLenum stageType, int sourceKind);
    // The int form looks locations up through the ARB entry point, the float
    // form through the core one.
    bool LookUpUniform(const char* name, bool intForm, GLint& location, GLenum& type);

    bool valid = false;
    bool bound = false;
    GLuint handle = 0;
};
