#pragma once

#include <string>

// The library's GLSL (1.10, for OpenGL 2.0) as GLSL ES 3.00, which WebGL 2
// compiles. One set of kernel sources serves both builds; this translation
// is all that differs:
//   - "#version 300 es" and high precision for floats and ints go first; a
//     #version line of the source is dropped;
//   - texture2D becomes texture;
//   - gl_Vertex and gl_MultiTexCoord0 become the vertex inputs zentor_Vertex
//     (location 0) and zentor_MultiTexCoord0 (location 1), which the
//     browser's draws feed from their vertex buffer;
//   - gl_TexCoord[n] becomes zentor_TexCoordn, out of the vertex stage and
//     into the fragment stage;
//   - gl_FragColor and gl_FragData[n] become the outputs zentor_FragData0,
//     zentor_FragData1, ... at locations 0, 1, ...;
//   - the vertex stage's main also sets gl_PointSize to 1, the point size GL
//     has by default and GLSL ES leaves undefined;
//   - a float literal just above the largest float, which GLSL rounds to
//     that float and GLSL ES makes infinite, becomes one just below it.
// Names are replaced as whole identifiers, in the preprocessor's lines too.
// gl_TexCoord and gl_FragData need a literal index: with any other, the name
// stays and the ES compiler rejects it.
std::string TranslateToGlslEs(const std::string& source, bool vertexStage);
