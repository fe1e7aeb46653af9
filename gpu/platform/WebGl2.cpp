// WebGL 2 in a web page, through Emscripten: no GLEW, GLSL ES 3.00, draws
// from a vertex buffer, RGBA uploads and read-backs, and no conditional
// rendering.
#include <emscripten/html5.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "gpu/FragmentQueries.h"
#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
#include "gpu/GlslEs.h"

namespace {

// Where the draws' vertices go: one buffer, made at the first draw, with
// room for the four vertices of a quad.
GLuint g_vertexBuffer = 0;
constexpr int kMostVertices = 4;

void BindVertexBuffer() {
    if (g_vertexBuffer == 0) {
        glGenBuffers(1, &g_vertexBuffer);
        glBindBuffer(GL_ARRAY_BUFFER, g_vertexBuffer);
        glBufferData(GL_ARRAY_BUFFER, kMostVertices * sizeof(TexturedVertex), nullptr, GL_DYNAMIC_DRAW);
        return;
    }
    glBindBuffer(GL_ARRAY_BUFFER, g_vertexBuffer);
}

// Positions feed attribute 0 (gl_Vertex), texture coordinates attribute 1
// (gl_MultiTexCoord0); without them attribute 1 keeps its constant value.
void DrawVertices(GLenum mode, const TexturedVertex* vertices, int count, bool withTexCoords) {
    BindVertexBuffer();
    glBufferSubData(GL_ARRAY_BUFFER, 0, count * sizeof(TexturedVertex), vertices);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, sizeof(TexturedVertex), nullptr);
    if (withTexCoords) {
        glEnableVertexAttribArray(1);
        glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, sizeof(TexturedVertex),
                              reinterpret_cast<const void*>(2 * sizeof(float)));
    } else {
        glDisableVertexAttribArray(1);
    }
    glDrawArrays(mode, 0, count);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

// One value a texel (luminance) or four (RGBA), as four: a luminance value
// goes to red, green and blue with alpha 1, as desktop GL spreads it.
std::vector<float> AsRgba(const float* values, size_t texels, GLenum format) {
    if (format != GL_LUMINANCE) return std::vector<float>(values, values + texels * 4);
    std::vector<float> rgba(texels * 4, 1.0f);
    for (size_t texel = 0; texel < texels; ++texel)
        rgba[texel * 4] = rgba[texel * 4 + 1] = rgba[texel * 4 + 2] = values[texel];
    return rgba;
}

std::vector<unsigned char> AsBytes(const std::vector<float>& rgba) {
    std::vector<unsigned char> bytes(rgba.size());
    for (size_t i = 0; i < rgba.size(); ++i)
        bytes[i] = static_cast<unsigned char>(std::min(std::max(rgba[i], 0.0f), 1.0f) * 255.0f + 0.5f);
    return bytes;
}

// The float formats that take RGBA floats.
bool IsFloatFormat(GLint internalFormat) { return internalFormat == GL_RGBA32F || internalFormat == GL_RGBA16F; }

}  // namespace

bool LoadGlEntryPoints() {
    const EMSCRIPTEN_WEBGL_CONTEXT_HANDLE context = emscripten_webgl_get_current_context();
    if (context <= 0)
        return Refuse("InitFramework", "no WebGL context is current on this thread: open a HeadlessContext "
                                       "(gpu/HeadlessContext.h) or make a canvas's WebGL 2 context current first");
    EmscriptenWebGLContextAttributes attributes;
    if (emscripten_webgl_get_context_attributes(context, &attributes) != EMSCRIPTEN_RESULT_SUCCESS ||
        attributes.majorVersion < 2) {
        std::printf("WebGL 2 not supported.\n");
        return false;
    }
    return true;
}

// Float textures are renderable only with this extension.
bool HasRequiredExtensions() {
    if (emscripten_webgl_enable_extension(emscripten_webgl_get_current_context(), "EXT_color_buffer_float"))
        return true;
    std::fputs("EXT_color_buffer_float not supported.\n", stdout);
    return false;
}

bool GlslOffered() { return emscripten_webgl_get_current_context() > 0; }

void ReleasePlatformObjects() {
    if (g_vertexBuffer != 0) glDeleteBuffers(1, &g_vertexBuffer);
    g_vertexBuffer = 0;
}

std::string ShaderTextForDriver(const char* source, GLenum stageType) {
    return TranslateToGlslEs(source, stageType == GL_VERTEX_SHADER);
}

const char* VertexStageStandIn() { return kPassThroughVertexSource; }

void DrawTexturedTriangle(const TexturedVertex (&vertices)[3]) { DrawVertices(GL_TRIANGLES, vertices, 3, true); }

// A fan over the four corners covers what GL_QUADS does, with the same two triangles.
void DrawTexturedQuad(const TexturedVertex (&vertices)[4]) { DrawVertices(GL_TRIANGLE_FAN, vertices, 4, true); }

void DrawTexturedPoint(const TexturedVertex& vertex) { DrawVertices(GL_POINTS, &vertex, 1, true); }

void DrawPoint(float x, float y) {
    const TexturedVertex vertex = {x, y, 0.0f, 0.0f};
    DrawVertices(GL_POINTS, &vertex, 1, false);
}

// A scratch texture a pass renders into may still be bound where an earlier
// pass read it, before it went back to the pool.
void UnbindFromTextureUnits(GLuint texture) {
    GLint units = 0, active = GL_TEXTURE0;
    glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &units);
    glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
    for (int unit = 0; unit < units; ++unit) {
        glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
        GLint bound = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
        if (static_cast<GLuint>(bound) == texture) glBindTexture(GL_TEXTURE_2D, 0);
    }
    glActiveTexture(static_cast<GLenum>(active));
}

// WebGL 2 takes texels as RGBA alone: floats into float formats, bytes into
// the others.
void UploadFloatTexels(GLenum target, GLint internalFormat, int width, int height, GLenum format,
                       const float* values) {
    const bool floats = IsFloatFormat(internalFormat);
    const GLenum type = floats ? GL_FLOAT : GL_UNSIGNED_BYTE;
    if (values == nullptr || (floats && format == GL_RGBA)) {
        glTexImage2D(target, 0, internalFormat, width, height, 0, GL_RGBA, type, values);
        return;
    }
    const std::vector<float> rgba = AsRgba(values, static_cast<size_t>(width) * height, format);
    const std::vector<unsigned char> bytes = floats ? std::vector<unsigned char>() : AsBytes(rgba);
    glTexImage2D(target, 0, internalFormat, width, height, 0, GL_RGBA, type,
                 floats ? static_cast<const void*>(rgba.data()) : bytes.data());
}

// A float framebuffer is read as RGBA floats; one channel is taken from that.
void ReadFloatPixels(int x, int y, int width, int height, GLenum format, float* values) {
    if (format == GL_RGBA) {
        glReadPixels(x, y, width, height, GL_RGBA, GL_FLOAT, values);
        return;
    }
    std::vector<float> texels(static_cast<size_t>(width) * height * 4);
    glReadPixels(x, y, width, height, GL_RGBA, GL_FLOAT, texels.data());
    for (size_t texel = 0; texel < texels.size() / 4; ++texel) values[texel] = texels[texel * 4];
}

bool SeparateReadAndDrawBindings() { return true; }

bool ConditionalRenderingAvailable() { return false; }
void BeginConditionalRendering(GLuint) {}
void EndConditionalRendering() {}

FragmentQueries::FragmentQueries() : m_generation(FrameworkGeneration()) {}

FragmentQueries::~FragmentQueries() {
    if (m_texture != 0 && m_generation == FrameworkGeneration()) glDeleteTextures(1, &m_texture);
}

// One byte texel per query, rows as wide as the driver allows.
void FragmentQueries::Reserve(int count) {
    if (count <= static_cast<int>(m_queries.size())) return;
    m_queries.resize(static_cast<size_t>(count), 0);
    const int widest = g_iMaxTextureSize > 0 ? g_iMaxTextureSize : 1;
    m_textureWidth = count < widest ? count : widest;
    m_textureHeight = (count + m_textureWidth - 1) / m_textureWidth;
    if (m_texture == 0) glGenTextures(1, &m_texture);
    glBindTexture(GL_TEXTURE_2D, m_texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, m_textureWidth, m_textureHeight, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void FragmentQueries::Begin(int i) {
    const int x = i % m_textureWidth, y = i / m_textureWidth;
    AttachPassTarget(m_texture);
    glViewport(x, y, 1, 1);
    const GLfloat cleared[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    glEnable(GL_SCISSOR_TEST);
    glScissor(x, y, 1, 1);
    glClearBufferfv(GL_COLOR, 0, cleared);
    glDisable(GL_SCISSOR_TEST);
}

void FragmentQueries::End() {}

bool FragmentQueries::AnySurvived(int i) {
    FrameworkFramebufferScope framebuffer;
    AttachPassTarget(m_texture);
    unsigned char texel[4] = {0, 0, 0, 0};
    glReadPixels(i % m_textureWidth, i / m_textureWidth, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel);
    return texel[0] != 0;
}

GLuint FragmentQueries::Name(int) const { return 0; }
