#include "app/SurfaceRenderer.h"

#include "app/Scene.h"
#include "app/Window.h"
#include "gpu/GlPlatform.h"
#include "gpu/ShaderProgram.h"
#include "linalg/UnpackedVector.h"

namespace {

// Texture coordinates of the four neighbours ride in two varyings: (s, t-dy,
// t+dy) and (t, s-dx, s+dx).
const char* const kLightingVertexSource = R"(uniform vec2 g_f2StepSize;
void main(void)
{
gl_Position       = vec4( gl_Vertex.xy, 0.0, 1.0 );
gl_TexCoord[0] = vec4(gl_MultiTexCoord0.x, gl_MultiTexCoord0.y - g_f2StepSize.y, gl_MultiTexCoord0.y + g_f2StepSize.y, 0);
gl_TexCoord[1] = vec4(gl_MultiTexCoord0.y, gl_MultiTexCoord0.x - g_f2StepSize.x, gl_MultiTexCoord0.x + g_f2StepSize.x, 0);
}
)";

// The normal comes from the height differences to the four neighbours; a
// grey diffuse term and a white highlight from a fixed light and half vector.
const char* const kLightingFragmentSource = R"(uniform sampler2D g_sVector;
void main(void)
{
const vec3 viewPos      = vec3(0.0, 1.0, 0.0);
const vec3 mtrlAmbient  = vec3(0.0, 0.0, 0.0);
const vec3 mtrlDiffuse  = vec3(0.4, 0.4, 0.4);
const vec3 mtrlSpecular = vec3(1.0, 1.0, 1.0);
vec3 lightPos = normalize(vec3(0.2, 1.0, 0.5));
vec4 f4Neigbours;
f4Neigbours.x = texture2D(g_sVector, gl_TexCoord[0].xy).r;
f4Neigbours.y = texture2D(g_sVector, gl_TexCoord[0].xz).r;
f4Neigbours.z = texture2D(g_sVector, gl_TexCoord[1].yx).r;
f4Neigbours.w = texture2D(g_sVector, gl_TexCoord[1].zx).r;
vec3 normal = normalize(vec3(f4Neigbours.x-f4Neigbours.y,2.0,f4Neigbours.z-f4Neigbours.w));
float fHeight = texture2D(g_sVector, vec2(gl_TexCoord[0].x, gl_TexCoord[1].x)).r;
vec2 uv = gl_TexCoord[0].xy - 0.5;
vec3 lightDir = normalize(lightPos - vec3(uv.x, fHeight, uv.y));
vec3 halfVec = normalize(lightPos + viewPos);
vec3 color = mtrlAmbient + mtrlDiffuse * clamp(dot(lightDir, normal), 0.0, 1.0);
color += mtrlSpecular * pow(clamp(dot(halfVec, normal), 0.0, 1.0),32.0);
gl_FragColor = vec4(color,1.0);
}
)";

}  // namespace

ShaderProgram* CreateLightingProgram(int gridWidth, int gridHeight) {
    ShaderProgram* program =
        new ShaderProgram(kLightingVertexSource, kLightingFragmentSource, kShaderSourceText);
    program->Bind();
    program->SetUniformVector("g_f2StepSize", 1.0f / static_cast<float>(gridWidth),
                              1.0f / static_cast<float>(gridHeight), 0.0f, 0.0f);
    program->SetUniformVector("g_sVector", 0, 0, 0, 0);
    program->Unbind();
    return program;
}

// Texture coordinate (0, 0), grid point (0, 0), is the window's lower-left
// corner; the grid stretches over the window whatever its size.
void DrawSurface() {
    glViewport(0, 0, g_iWindowWidth, g_iWindowHeight);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, g_pHeightCurrent->Texture());
    g_pLightingProgram->Bind();
    DrawTexturedQuad({{-1.0f, -1.0f, 0.0f, 0.0f}, {-1.0f, 1.0f, 0.0f, 1.0f}, {1.0f, 1.0f, 1.0f, 1.0f},
                      {1.0f, -1.0f, 1.0f, 0.0f}});
    g_pLightingProgram->Unbind();
}
