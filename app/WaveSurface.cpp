#include "app/WaveSurface.h"

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/KernelSupport.h"

namespace {

const char* const kWaveVertexSource = R"(uniform vec2 g_f2Scalar;
void main(void)
{
gl_Position       = vec4( gl_Vertex.xy, 0.0, 1.0 );
gl_TexCoord[0].xy = gl_MultiTexCoord0.xy;
gl_TexCoord[1].xy = vec2(gl_MultiTexCoord0.x + g_f2Scalar.x, gl_MultiTexCoord0.y);
gl_TexCoord[1].zw = vec2(gl_MultiTexCoord0.x - g_f2Scalar.x, gl_MultiTexCoord0.y);
gl_TexCoord[2].xy = vec2(gl_MultiTexCoord0.x, gl_MultiTexCoord0.y + g_f2Scalar.y);
gl_TexCoord[2].zw = vec2(gl_MultiTexCoord0.x, gl_MultiTexCoord0.y - g_f2Scalar.y);
}
)";

const char* const kWaveFragmentSource = R"(uniform sampler2D g_sCurrent;
uniform sampler2D g_sLast;
uniform float g_fPreFac;
void main(void)
{
float Uij    = texture2D(g_sCurrent, gl_TexCoord[0].xy).r;
float Uijtm1 = texture2D(g_sLast, gl_TexCoord[0].xy).r;
float Uip1j  = texture2D(g_sCurrent, gl_TexCoord[1].xy).r;
float Uim1j  = texture2D(g_sCurrent, gl_TexCoord[1].zw).r;
float Uijp1  = texture2D(g_sCurrent, gl_TexCoord[2].xy).r;
float Uijm1  = texture2D(g_sCurrent, gl_TexCoord[2].zw).r;
gl_FragColor = vec4(g_fPreFac*(Uip1j+Uim1j+Uijp1+Uijm1)+(2.0-4.0*g_fPreFac)*Uij-Uijtm1);
}
)";

void SetWrap(GLint mode) {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, mode);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, mode);
}

}  // namespace

ShaderProgram* WaveSurface::s_pWaveProgram = nullptr;
GLint WaveSurface::s_iScalarLocation = 0;
GLint WaveSurface::s_iPreFacLocation = 0;
int WaveSurface::s_iWaveInstances = 0;

// Create runs here, once the object is a WaveSurface, so that it reaches this
// class's CreatePrograms.
WaveSurface::WaveSurface(int width, int height, int reserved) {
    Create(width, height, reserved, GL_RGBA32F_ARB);
}

WaveSurface::~WaveSurface() {
    // A surface whose creation was refused never joined the wave program.
    if (IsCreated() && --s_iWaveInstances == 0) kernel::Delete(s_pWaveProgram);
}

void WaveSurface::CreatePrograms() {
    UnpackedVector::CreatePrograms();
    if (++s_iWaveInstances > 1) return;
    s_pWaveProgram =
        kernel::Build(kWaveVertexSource, kWaveFragmentSource, {{"g_sCurrent", 0}, {"g_sLast", 1}},
                      {{"g_f2Scalar", &s_iScalarLocation}, {"g_fPreFac", &s_iPreFacLocation}});
}

void WaveSurface::SetParameters(float speed, float timeStep, float spacingX, float spacingY) {
    m_fSpeed = speed;
    m_fTimeStep = timeStep;
    m_fSpacingX = spacingX;
    m_fSpacingY = spacingY;
    const double c = speed, dt = timeStep;
    m_fPreFac = static_cast<float>((c * c * dt * dt) / (2.0 * spacingX * static_cast<double>(spacingY)));
}

// Written in place: the kernel reads only the other two fields. The stencil
// clamps at the edges, unlike every other kernel, so the inputs' wrap modes are
// switched for this pass only.
void WaveSurface::Step(UnpackedVector* last, UnpackedVector* current) {
    const char* const call = "WaveSurface::Step";
    if (!CheckMatches(call, last) || !CheckMatches(call, current)) return;
    if (last == this || current == this) {
        Refuse(call, "the surface cannot be its own input: it is written in place");
        return;
    }
    FrameworkFramebufferScope framebuffer;
    AttachOwnTexture();
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, current->Texture());
    SetWrap(GL_CLAMP_TO_EDGE);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, last->Texture());
    SetWrap(GL_CLAMP_TO_EDGE);
    s_pWaveProgram->Bind();
    glUniform2f(s_iScalarLocation, 1.0f / static_cast<float>(width), 1.0f / static_cast<float>(height));
    glUniform1f(s_iPreFacLocation, m_fPreFac);
    DrawFullScreenPass();
    s_pWaveProgram->Unbind();
    SetWrap(GL_REPEAT);
    glActiveTexture(GL_TEXTURE0);
    SetWrap(GL_REPEAT);
}
