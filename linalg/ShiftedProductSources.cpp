#include "linalg/ShiftedProductSources.h"

namespace shifted_product {

const char* const kMulSource = R"(uniform sampler2D g_sVector;
uniform sampler2D g_sVector2;
uniform float g_fScalar;
void main(void)
{
gl_FragColor = texture2D(g_sVector,gl_TexCoord[0].xy)*texture2D(g_sVector2,gl_TexCoord[0].xy)*g_fScalar;
}
)";

const char* const kMulAddSource = R"(uniform sampler2D g_sVector;
uniform sampler2D g_sVector2;
uniform sampler2D g_sVector3;
uniform float g_fScalar;
void main(void)
{
gl_FragColor = texture2D(g_sVector3,gl_TexCoord[0].xy)+texture2D(g_sVector,gl_TexCoord[0].xy)*texture2D(g_sVector2,gl_TexCoord[0].xy)*g_fScalar;
}
)";

// Texel-space centre of the texel whose row-major index is this texel's plus
// fShift: the column wraps within the row, the excess carries into the row,
// and rows past either end wrap through the texture's repeat mode.
#define ZENTOR_COMPUTE_SHIFTED_COORDS                                          \
    "vec2 computeShiftedCoords(vec2 f2InCoords, float fShift, vec2 texSize)\n" \
    "{\n"                                                                      \
    "float temp = f2InCoords.x*texSize.x+fShift;\n"                            \
    "vec2 f2ShiftCoords;\n"                                                    \
    "f2ShiftCoords.x = mod(temp, texSize.x);\n"                                \
    "f2ShiftCoords.y = f2InCoords.y*texSize.y+floor(temp/texSize.x);\n"        \
    "return f2ShiftCoords;\n"                                                  \
    "}\n"

const char* const kMulShiftedSource =
    "uniform sampler2D g_sVector;\n"
    "uniform sampler2D g_sVector2;\n"
    "uniform vec4 g_f4Scalar;\n" ZENTOR_COMPUTE_SHIFTED_COORDS
    R"(void main(void)
{
vec2 f2ShiftCoords = computeShiftedCoords(gl_TexCoord[0].xy, g_f4Scalar.z, g_f4Scalar.xy);
gl_FragColor = texture2D(g_sVector,gl_TexCoord[0].xy)*texture2D(g_sVector2,f2ShiftCoords/g_f4Scalar.xy)*g_f4Scalar.w;
}
)";

const char* const kMulShiftedAddSource =
    "uniform sampler2D g_sVector;\n"
    "uniform sampler2D g_sVector2;\n"
    "uniform sampler2D g_sVector3;\n"
    "uniform vec4 g_f4Scalar;\n" ZENTOR_COMPUTE_SHIFTED_COORDS
    R"(void main(void)
{
vec2 f2ShiftCoords = computeShiftedCoords(gl_TexCoord[0].xy, g_f4Scalar.z, g_f4Scalar.xy);
gl_FragColor = texture2D(g_sVector3,gl_TexCoord[0].xy)+texture2D(g_sVector,gl_TexCoord[0].xy)*texture2D(g_sVector2,f2ShiftCoords/g_f4Scalar.xy)*g_f4Scalar.w;
}
)";

#undef ZENTOR_COMPUTE_SHIFTED_COORDS

}  // namespace shifted_product
