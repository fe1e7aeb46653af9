#pragma once

class ShaderProgram;

// The lighting program, with its step size and sampler set once for a grid
// of this size.
ShaderProgram* CreateLightingProgram(int gridWidth, int gridHeight);

// Draws the current height field into the whole window as a lit surface seen
// from above: no geometry is displaced, the relief shows through shading.
void DrawSurface();
