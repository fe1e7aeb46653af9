#include "linalg/ConvergenceGate.h"

#include <cmath>
#include <string>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/GpuScalar.h"
#include "linalg/KernelSupport.h"

// A NaN fails both comparisons, an infinity the second; a non-finite bb makes
// the bound NaN or infinite, which no rr exceeds.
const char* const ConvergenceGate::kRunningSource = R"(bool Running(float rr, float bb, float tolerance2)
{
return rr > bb * tolerance2 && rr <= 3.4028235e38;
}
)";

namespace {

const char* const kTestSource = R"(uniform sampler2D g_sResidual;
uniform sampler2D g_sRhsNorm;
uniform float g_fTolerance2;
void main(void)
{
if (!Running(texture2D(g_sResidual, vec2(0.5)).x, texture2D(g_sRhsNorm, vec2(0.5)).x, g_fTolerance2)) discard;
gl_FragColor = vec4(1.0);
}
)";

}  // namespace

bool ConvergenceGate::Running(float rr, float bb, float tolerance2) {
    const float bound = bb * tolerance2;
    return rr > bound && std::isfinite(rr);
}

ConvergenceGate::ConvergenceGate() : m_pTarget(new GpuScalar()), m_generation(FrameworkGeneration()) {
    m_pTestProgram = kernel::Build(kPassThroughVertexSource, (std::string(kRunningSource) + kTestSource).c_str(),
                                   {{"g_sResidual", 0}, {"g_sRhsNorm", 1}}, {{"g_fTolerance2", &m_iToleranceLocation}});
}

// Query names belong to the context the framework ran on.
ConvergenceGate::~ConvergenceGate() {
    if (!m_queries.empty() && m_generation == FrameworkGeneration())
        glDeleteQueries(static_cast<GLsizei>(m_queries.size()), m_queries.data());
    kernel::Delete(m_pTestProgram);
    delete m_pTarget;
}

bool ConvergenceGate::DriverSkips() { return GLEW_VERSION_3_0 || GLEW_NV_conditional_render; }

void ConvergenceGate::Reserve(int iterations) {
    const size_t held = m_queries.size();
    if (iterations <= static_cast<int>(held)) return;
    m_queries.resize(static_cast<size_t>(iterations));
    glGenQueries(static_cast<GLsizei>(m_queries.size() - held), m_queries.data() + held);
}

void ConvergenceGate::SetTolerance(float tolerance) {
    m_pTestProgram->Bind();
    glUniform1f(m_iToleranceLocation, tolerance * tolerance);
    m_pTestProgram->Unbind();
}

void ConvergenceGate::Test(int i, GpuScalar* residual, GpuScalar* rhsNorm) {
    glViewport(0, 0, 1, 1);
    AttachPassTarget(m_pTarget->Texture());
    kernel::BindTexture(GL_TEXTURE0, residual->Texture());
    kernel::BindTexture(GL_TEXTURE1, rhsNorm->Texture());
    m_pTestProgram->Bind();
    glBeginQuery(GL_SAMPLES_PASSED, m_queries[static_cast<size_t>(i)]);
    kernel::DrawSingleFragment();
    glEndQuery(GL_SAMPLES_PASSED);
    m_pTestProgram->Unbind();
    glActiveTexture(GL_TEXTURE0);
}

// The GPU waits for the test, never the host.
void ConvergenceGate::BeginSkippable(int i) {
    const GLuint query = m_queries[static_cast<size_t>(i)];
    if (GLEW_VERSION_3_0)
        glBeginConditionalRender(query, GL_QUERY_WAIT);
    else
        glBeginConditionalRenderNV(query, GL_QUERY_WAIT_NV);
}

void ConvergenceGate::EndSkippable() {
    if (GLEW_VERSION_3_0)
        glEndConditionalRender();
    else
        glEndConditionalRenderNV();
}

bool ConvergenceGate::Passed(int i) {
    GLuint samples = 0;
    glGetQueryObjectuiv(m_queries[static_cast<size_t>(i)], GL_QUERY_RESULT, &samples);
    return samples != 0;
}

int ConvergenceGate::Passes(int issued) {
    int low = 0, high = issued;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (Passed(middle))
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}
