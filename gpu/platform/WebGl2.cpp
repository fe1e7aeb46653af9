// WebGL 2 in a web page, through Emscripten: no GLEW, GLSL ES 3.00, draws
// from a vertex buffer, RGBA uploads and read-backs, and no conditional
// rendering.
#include <emscripten/html5.h>

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

bool IsFloatFormat(GLint internalFormat) {
    return internalFormat == GL_RGBA32F || internalFormat == GL_RGBA16F || internalFormat == GL_R32F ||
           internalFormat == GL_RG32F || internalFormat == GL_RGB32F;
}

}  // namespace

bool LoadGlEntryPoints() {
    const EMSCRIPTEN_WEBGL_CONTEXT_HANDLE context = emscripten_webgl_get_current_context();
    if (context <= 0) {
        std::printf("No WebGL context is current.\n");
        return false;
    }
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

// WebGL 2 takes float texels into float formats as RGBA alone: a luminance
// upload is spread over red, green and blue with alpha 1, as desktop GL does.
// Other formats take bytes.
void UploadFloatTexels(GLenum target, GLint internalFormat, int width, int height, GLenum format,
                       const float* values) {
    if (!IsFloatFormat(internalFormat)) {
        std::vector<unsigned char> bytes;
        if (values != nullptr) {
            const size_t channels = format == GL_LUMINANCE ? 1 : 4;
            bytes.resize(static_cast<size_t>(width) * height * 4);
            for (size_t texel = 0; texel < bytes.size() / 4; ++texel)
                for (size_t c = 0; c < 4; ++c) {
                    float v = values[texel * channels + (channels == 1 ? 0 : c)];
                    if (channels == 1 && c == 3) v = 1.0f;
                    v = v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v;
                    bytes[texel * 4 + c] = static_cast<unsigned char>(v * 255.0f + 0.5f);
                }
        }
        glTexImage2D(target, 0, internalFormat, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     values != nullptr ? bytes.data() : nullptr);
        return;
    }
    if (format != GL_LUMINANCE || values == nullptr) {
        glTexImage2D(target, 0, internalFormat, width, height, 0, GL_RGBA, GL_FLOAT, values);
        return;
    }
    std::vector<float> texels(static_cast<size_t>(width) * height * 4);
    for (size_t texel = 0; texel < texels.size() / 4; ++texel) {
        const float v = values[texel];
        texels[texel * 4] = texels[texel * 4 + 1] = texels[texel * 4 + 2] = v;
        texels[texel * 4 + 3] = 1.0f;
    }
    glTexImage2D(target, 0, internalFormat, width, height, 0, GL_RGBA, GL_FLOAT, texels.data());
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
