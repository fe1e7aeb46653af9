#include "gpu/ShaderProgram.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/GlPlatform.h"

namespace {

const char* StageName(GLenum stageType) { return stageType == GL_VERTEX_SHADER ? "vertex" : "fragment"; }

// Reads a whole regular file as bytes (no line-end translation). Null on any
// failure; the caller frees the result. A directory opens like a file and
// reports the largest size there is, so anything but a regular file is
// refused before its size is taken.
char* ReadSourceFile(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    if (std::fseek(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return nullptr;
    }
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
    if (text == nullptr) {
        std::fclose(file);
        return nullptr;
    }
    text[size] = '\0';
    const size_t read = std::fread(text, 1, static_cast<size_t>(size), file);
    std::fclose(file);
    if (read < static_cast<size_t>(size)) {
        std::free(text);
        return nullptr;
    }
    return text;
}

// The source with "(0001) "-style line labels, so a driver's "0:12(3)" points
// somewhere a reader can find.
void PrintNumberedSource(const char* source) {
    int line = 1;
    const char* start = source;
    while (true) {
        const char* end = std::strchr(start, '\n');
        const int length = end ? static_cast<int>(end - start) : static_cast<int>(std::strlen(start));
        std::fprintf(stderr, "(%.4i) %.*s\n", line++, length, start);
        if (end == nullptr) break;
        start = end + 1;
    }
}

std::vector<char> ShaderInfoLog(GLuint shader) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    std::vector<char> log(static_cast<size_t>(length > 0 ? length : 1), '\0');
    if (length > 1) glGetShaderInfoLog(shader, length, nullptr, log.data());
    return log;
}

void ReportCompileFailure(GLuint shader, GLenum stageType, const char* source) {
    std::fprintf(stderr, "ShaderProgram::CompileStage: the %s stage failed to compile:\n",
                 StageName(stageType));
    PrintNumberedSource(source);
    if (shader != 0 && glIsShader(shader)) std::fprintf(stderr, "%s\n", ShaderInfoLog(shader).data());
}

void ReportLinkFailure(GLuint program, GLint logLength) {
    std::vector<char> log(static_cast<size_t>(logLength > 0 ? logLength : 1), '\0');
    if (logLength > 1) glGetProgramInfoLog(program, logLength, nullptr, log.data());
    std::fprintf(stderr, "ShaderProgram::Build: the program failed to link:\n%s\n", log.data());
}

// Prints a printf-style label whose only conversion is one %s, without handing
// the label itself to printf as a format.
void PrintLabel(const char* label, const char* argument) {
    const char* placeholder = std::strstr(label, "%s");
    if (placeholder == nullptr) {
        std::fputs(label, stderr);
        return;
    }
    std::fwrite(label, 1, static_cast<size_t>(placeholder - label), stderr);
    std::fputs(argument ? argument : "(null)", stderr);
    std::fputs(placeholder + 2, stderr);
}

// glGetActiveUniform works by index, not location: find the index by name.
// Arrays are reported as "name[0]".
bool FindActiveUniform(GLuint program, const char* name, GLint& size, GLenum& type) {
    GLint count = 0, maxLength = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &count);
    glGetProgramiv(program, GL_ACTIVE_UNIFORM_MAX_LENGTH, &maxLength);
    std::vector<char> activeName(static_cast<size_t>(maxLength > 0 ? maxLength : 1) + 1, '\0');
    const size_t nameLength = std::strlen(name);
    for (GLint i = 0; i < count; ++i) {
        glGetActiveUniform(program, static_cast<GLuint>(i), static_cast<GLsizei>(activeName.size()), nullptr,
                           &size, &type, activeName.data());
        const char* candidate = activeName.data();
        if (std::strncmp(candidate, name, nameLength) != 0) continue;
        if (candidate[nameLength] == '\0' || std::strcmp(candidate + nameLength, "[0]") == 0) return true;
    }
    return false;
}

bool IsSamplerType(GLenum type) { return type >= GL_SAMPLER_1D && type <= GL_SAMPLER_2D_RECT_SHADOW_ARB; }

}  // namespace

ShaderProgram::ShaderProgram(const char* vertexSource, const char* fragmentSource, int sourceKind) {
    CheckGlslSupport();
    Build(vertexSource, fragmentSource, sourceKind);
}

ShaderProgram::~ShaderProgram() {
    glDeleteProgram(handle);
    handle = 0;
}

void ShaderProgram::Bind() {
    if (!valid) return;
    glGetError();
    glUseProgram(handle);
    if (glGetError() == GL_NO_ERROR) bound = true;
}

void ShaderProgram::Unbind() {
    if (!valid) return;
    glGetError();
    glUseProgram(0);
    if (glGetError() == GL_NO_ERROR) bound = false;
}

bool ShaderProgram::CheckGlError(const char* label, const char* argument) {
    const GLenum error = glGetError();
    if (error == GL_NO_ERROR) return false;
    if (label != nullptr) {
        std::fprintf(stderr, "ShaderProgram: GL error 0x%04x after ", error);
        PrintLabel(label, argument);
        std::fputc('\n', stderr);
    }
    return true;
}

GLuint ShaderProgram::CompileStage(const char* source, GLenum stageType, int sourceKind) {
    glGetError();
    char* fileText = nullptr;
    const char* text = nullptr;
    if (sourceKind == kShaderSourceFile) {
        fileText = ReadSourceFile(source);
        if (fileText == nullptr) {
            std::fprintf(stderr, "ShaderProgram::CompileStage: cannot read %s source file \"%s\"\n",
                         StageName(stageType), source);
            return 0;
        }
        text = fileText;
    } else if (sourceKind == kShaderSourceText) {
        text = source;
    } else {
        return 0;
    }

    const std::string driverText = ShaderTextForDriver(text, stageType);
    const char* const driverSource = driverText.c_str();
    GLuint shader = glCreateShader(stageType);
    glShaderSource(shader, 1, &driverSource, nullptr);
    glCompileShader(shader);

    GLint status = GL_FALSE, logLength = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &logLength);
    if (logLength > 1 && !glIsShader(shader)) {
        glDeleteShader(shader);
        shader = 0;
    }
    const bool failed = glGetError() != GL_NO_ERROR || status != GL_TRUE || shader == 0;
    if (failed) ReportCompileFailure(shader, stageType, driverSource);
    std::free(fileText);
    if (!failed) return shader;
    if (shader != 0) glDeleteShader(shader);
    return 0;
}

void ShaderProgram::Build(const char* vertexSource, const char* fragmentSource, int sourceKind) {
    glGetError();
    bool vertexOk = true, fragmentOk = true;
    GLuint vertexShader = 0, fragmentShader = 0;
    if (vertexSource != nullptr) {
        vertexShader = CompileStage(vertexSource, GL_VERTEX_SHADER, sourceKind);
        vertexOk = vertexShader != 0;
    } else if (VertexStageStandIn() != nullptr) {
        vertexShader = CompileStage(VertexStageStandIn(), GL_VERTEX_SHADER, kShaderSourceText);
        vertexOk = vertexShader != 0;
    }
    if (fragmentSource != nullptr) {
        fragmentShader = CompileStage(fragmentSource, GL_FRAGMENT_SHADER, sourceKind);
        fragmentOk = fragmentShader != 0;
    }

    handle = glCreateProgram();
    if (vertexShader != 0) glAttachShader(handle, vertexShader);
    if (fragmentShader != 0) glAttachShader(handle, fragmentShader);

    if (vertexOk && fragmentOk) {
        glLinkProgram(handle);
        GLint status = GL_FALSE, logLength = 0;
        glGetProgramiv(handle, GL_LINK_STATUS, &status);
        glGetProgramiv(handle, GL_INFO_LOG_LENGTH, &logLength);
        // Attached shaders live on with the program; these deletes only drop our names.
        if (vertexShader != 0) glDeleteShader(vertexShader);
        if (fragmentShader != 0) glDeleteShader(fragmentShader);
        if (glGetError() == GL_NO_ERROR && status == GL_TRUE) {
            valid = true;
            return;
        }
        ReportLinkFailure(handle, logLength);
    } else {
        if (vertexShader != 0) glDeleteShader(vertexShader);
        if (fragmentShader != 0) glDeleteShader(fragmentShader);
    }
    glDeleteProgram(handle);
    handle = 0;
    valid = false;
}

bool ShaderProgram::LookUpUniform(const char* name, bool intForm, GLint& location, GLenum& type) {
    CheckGlError(nullptr, nullptr);
    location = intForm ? glGetUniformLocationARB(handle, name) : glGetUniformLocation(handle, name);
    const char* addressLabel = intForm ? "SetUniformVector(%s,int,...) [getting adress]"
                                       : "SetUniformVector(%s,float,...) [getting adress]";
    if (CheckGlError(addressLabel, name) || location == -1) return false;
    GLint size = 0;
    if (!FindActiveUniform(handle, name, size, type)) return false;
    const char* typeLabel = intForm ? "SetUniformVector(%s,int,...) [getting type]"
                                    : "SetUniformVector(%s,float,...) [getting type]";
    return !CheckGlError(typeLabel, name);
}

void ShaderProgram::SetUniformVector(const char* name, int x, int y, int z, int w) {
    GLint location = -1;
    GLenum type = 0;
    if (!LookUpUniform(name, true, location, type)) return;
    const float fx = static_cast<float>(x), fy = static_cast<float>(y), fz = static_cast<float>(z),
                fw = static_cast<float>(w);
    switch (type) {
        case GL_FLOAT: glUniform1f(location, fx); break;
        case GL_FLOAT_VEC2: glUniform2f(location, fx, fy); break;
        case GL_FLOAT_VEC3: glUniform3f(location, fx, fy, fz); break;
        case GL_FLOAT_VEC4: glUniform4f(location, fx, fy, fz, fw); break;
        case GL_INT:
        case GL_BOOL: glUniform1i(location, x); break;
        case GL_INT_VEC2:
        case GL_BOOL_VEC2: glUniform2i(location, x, y); break;
        case GL_INT_VEC3:
        case GL_BOOL_VEC3: glUniform3i(location, x, y, z); break;
        case GL_INT_VEC4:
        case GL_BOOL_VEC4: glUniform4i(location, x, y, z, w); break;
        default:
            if (IsSamplerType(type)) glUniform1i(location, x);
            break;  // matrices and anything else: nothing to set from a vector
    }
}

void ShaderProgram::SetUniformVector(const char* name, float x, float y, float z, float w) {
    GLint location = -1;
    GLenum type = 0;
    if (!LookUpUniform(name, false, location, type)) return;
    // Integer uniforms take the floats truncated toward zero.
    const int ix = static_cast<int>(x), iy = static_cast<int>(y), iz = static_cast<int>(z),
              iw = static_cast<int>(w);
    switch (type) {
        case GL_FLOAT:
        case GL_BOOL: glUniform1f(location, x); break;
        case GL_FLOAT_VEC2:
        case GL_BOOL_VEC2: glUniform2f(location, x, y); break;
        case GL_FLOAT_VEC3:
        case GL_BOOL_VEC3: glUniform3f(location, x, y, z); break;
        case GL_FLOAT_VEC4:
        case GL_BOOL_VEC4: glUniform4f(location, x, y, z, w); break;
        case GL_INT: glUniform1i(location, ix); break;
        case GL_INT_VEC2: glUniform2i(location, ix, iy); break;
        case GL_INT_VEC3: glUniform3i(location, ix, iy, iz); break;
        case GL_INT_VEC4: glUniform4i(location, ix, iy, iz, iw); break;
        default:
            if (IsSamplerType(type)) glUniform1i(location, ix);
            break;
    }
}
