#pragma once

/// \file
/// What every kernel pass shares: the vertex stage, the target's attachment,
/// the covering triangle and the framebuffer status test.

#include <GL/glew.h>

/// Vertex stage shared by every full-screen kernel: clip position straight from
/// the vertex, texture coordinate unchanged.
extern const char* const kPassThroughVertexSource;

/// Tests the bound framebuffer. Prints a fixed message and returns false when it
/// is incomplete; passes draw all the same.
bool CheckFramebufferStatus();

/// Makes texture the target of the next pass: colour attachment 0 (or the
/// attachment given) of the bound framebuffer. 0 detaches.
void AttachPassTarget(GLuint texture, GLenum attachment = GL_COLOR_ATTACHMENT0_EXT);

/// One triangle covering the viewport: with a viewport of the target's size,
/// the fragment of texel (i, j) gets texture coordinate ((i+.5)/w, (j+.5)/h).
void DrawFullScreenPass();

/// The message CheckFramebufferStatus prints for a status; null for complete.
const char* FramebufferStatusMessage(GLenum status);
