// OpenGL 2.0 through GLEW: the entry points GLEW loads, immediate-mode draws
// and the GL calls as the driver takes them.
#include <cstdio>

#include "gpu/FragmentQueries.h"
#include "gpu/Framework.h"
#include "gpu/GlPlatform.h"

namespace {

struct RequiredExtension {
    const char* name;
    const char* missingMessage;
};

// Tested in this order; only the first missing one is reported.
constexpr RequiredExtension kRequiredExtensions[] = {
    {"GL_EXT_framebuffer_object", "GL_EXT_framebuffer_object not supported.\n"},
    {"GL_ARB_shader_objects", "ARB_shader_objects not supported!\n"},
    {"GL_ARB_shading_language_100", "ARB_shading_language_100 not supported!\n"},
};

// Programs are built through the OpenGL 2.0 entry points. A driver that offers
// GLSL only through the extensions may leave them unresolved (when no
// InitFramework had GLEW resolve everything), and a call through a null
// pointer would crash where the process should end cleanly.
bool ShaderEntryPointsResolved() {
    return glCreateShader && glShaderSource && glCompileShader && glGetShaderiv && glIsShader &&
           glDeleteShader && glCreateProgram && glAttachShader && glLinkProgram && glGetProgramiv &&
           glDeleteProgram && glUseProgram;
}

}  // namespace

bool LoadGlEntryPoints() {
    // Resolve every entry point GLEW knows, whatever the extension string says.
    glewExperimental = GL_TRUE;
    // A GLEW built for GLX loads every GL entry point before it looks for a
    // GLX display, which a context made through EGL does not have: then only
    // its GLX part has failed, and the framework needs none of it.
    const GLenum result = glewInit();
    if (result != GLEW_OK && result != GLEW_ERROR_NO_GLX_DISPLAY) {
        std::printf("Error initializing GLEW %s\n",
                    reinterpret_cast<const char*>(glewGetErrorString(result)));
        if (result == GLEW_ERROR_NO_GL_VERSION)
            Refuse("InitFramework", "the GL gives no version, as when no OpenGL context is current on this thread: "
                                    "open a HeadlessContext (gpu/HeadlessContext.h) or create a window first");
        return false;
    }
    return true;
}

bool HasRequiredExtensions() {
    for (const RequiredExtension& extension : kRequiredExtensions) {
        if (!glewGetExtension(extension.name)) {
            std::fputs(extension.missingMessage, stdout);
            return false;
        }
    }
    return true;
}

bool GlslOffered() {
    glewInit();
    const bool glslOffered =
        GLEW_VERSION_2_0 ||
        (glewGetExtension("GL_ARB_shader_objects") && glewGetExtension("GL_ARB_shading_language_100"));
    return glslOffered && ShaderEntryPointsResolved();
}

void ReleasePlatformObjects() {}

std::string ShaderTextForDriver(const char* source, GLenum) { return source; }

const char* VertexStageStandIn() { return nullptr; }

void DrawTexturedTriangle(const TexturedVertex (&vertices)[3]) {
    glBegin(GL_TRIANGLES);
    for (const TexturedVertex& vertex : vertices) {
        glTexCoord2f(vertex.s, vertex.t);
        glVertex2f(vertex.x, vertex.y);
    }
    glEnd();
}

void DrawTexturedQuad(const TexturedVertex (&vertices)[4]) {
    glBegin(GL_QUADS);
    for (const TexturedVertex& vertex : vertices) {
        glTexCoord2f(vertex.s, vertex.t);
        glVertex2f(vertex.x, vertex.y);
    }
    glEnd();
}

void DrawTexturedPoint(const TexturedVertex& vertex) {
    glBegin(GL_POINTS);
    glTexCoord2f(vertex.s, vertex.t);
    glVertex2f(vertex.x, vertex.y);
    glEnd();
}

void DrawPoint(float x, float y) {
    glBegin(GL_POINTS);
    glVertex2f(x, y);
    glEnd();
}

void UnbindFromTextureUnits(GLuint) {}

void UploadFloatTexels(GLenum target, GLint internalFormat, int width, int height, GLenum format,
                       const float* values) {
    glTexImage2D(target, 0, internalFormat, width, height, 0, format, GL_FLOAT, values);
}

void ReadFloatPixels(int x, int y, int width, int height, GLenum format, float* values) {
    glReadPixels(x, y, width, height, format, GL_FLOAT, values);
}

bool SeparateReadAndDrawBindings() { return GLEW_VERSION_3_0 || GLEW_EXT_framebuffer_blit; }

bool ConditionalRenderingAvailable() { return GLEW_VERSION_3_0 || GLEW_NV_conditional_render; }

// The GPU waits for the query, never the host.
void BeginConditionalRendering(GLuint query) {
    if (GLEW_VERSION_3_0)
        glBeginConditionalRender(query, GL_QUERY_WAIT);
    else
        glBeginConditionalRenderNV(query, GL_QUERY_WAIT_NV);
}

void EndConditionalRendering() {
    if (GLEW_VERSION_3_0)
        glEndConditionalRender();
    else
        glEndConditionalRenderNV();
}

FragmentQueries::FragmentQueries() : m_generation(FrameworkGeneration()) {}

// Query names belong to the context the framework ran on.
FragmentQueries::~FragmentQueries() {
    if (!m_queries.empty() && m_generation == FrameworkGeneration())
        glDeleteQueries(static_cast<GLsizei>(m_queries.size()), m_queries.data());
}

void FragmentQueries::Reserve(int count) {
    const size_t held = m_queries.size();
    if (count <= static_cast<int>(held)) return;
    m_queries.resize(static_cast<size_t>(count));
    glGenQueries(static_cast<GLsizei>(m_queries.size() - held), m_queries.data() + held);
}

void FragmentQueries::Begin(int i) { glBeginQuery(GL_SAMPLES_PASSED, m_queries[static_cast<size_t>(i)]); }

void FragmentQueries::End() { glEndQuery(GL_SAMPLES_PASSED); }

bool FragmentQueries::AnySurvived(int i) {
    GLuint samples = 0;
    glGetQueryObjectuiv(m_queries[static_cast<size_t>(i)], GL_QUERY_RESULT, &samples);
    return samples != 0;
}

GLuint FragmentQueries::Name(int i) const { return m_queries[static_cast<size_t>(i)]; }
