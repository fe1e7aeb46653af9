#include "linalg/ConvergenceGate.h"

#include <cmath>
#include <string>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
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

ConvergenceGate::ConvergenceGate() : m_pTarget(new GpuScalar()) {
    m_pTestProgram = kernel::Build(kPassThroughVertexSource, (std::string(kRunningSource) + kTestSource).c_str(),
                                   {{"g_sResidual", 0}, {"g_sRhsNorm", 1}}, {{"g_fTolerance2", &m_iToleranceLocation}});
}

ConvergenceGate::~ConvergenceGate() {
    kernel::Delete(m_pTestProgram);
    delete m_pTarget;
}

bool ConvergenceGate::DriverSkips() { return ConditionalRenderingAvailable(); }

void ConvergenceGate::Reserve(int iterations) { m_queries.Reserve(iterations); }

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
    m_queries.Begin(i);
    kernel::DrawSingleFragment();
    m_queries.End();
    m_pTestProgram->Unbind();
    glActiveTexture(GL_TEXTURE0);
}

// The GPU waits for the test, never the host.
void ConvergenceGate::BeginSkippable(int i) { BeginConditionalRendering(m_queries.Name(i)); }

void ConvergenceGate::EndSkippable() { EndConditionalRendering(); }

bool ConvergenceGate::Passed(int i) { return m_queries.AnySurvived(i); }

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
