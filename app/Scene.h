#pragma once

class WaveSurface;
class PackedVector;
class UnpackedVector;
class CgSolver;
class ShaderProgram;

// Scene settings, assigned by InitScene and never changed afterwards.
extern int g_iGridWidth;
extern int g_iGridHeight;
extern float g_fWaveSpeed;
extern float g_fTimeStep;
extern float g_fSpacingX;
extern float g_fSpacingY;

// Scene objects; null before InitScene and after DestroyScene.
extern WaveSurface* g_pWaveSurface;       // explicit step: right-hand side, unpacked
extern PackedVector* g_pSolution;         // implicit solution, warm start of the next frame
extern PackedVector* g_pRightHandSide;    // the explicit step, packed
extern CgSolver* g_pSolver;               // owns the system matrix, solution and right-hand side
extern UnpackedVector* g_pHeightLast;     // time level n-1
extern UnpackedVector* g_pHeightCurrent;  // time level n: drawn, and where drops land
extern ShaderProgram* g_pLightingProgram;
extern ShaderProgram* g_pDropProgram;

// Initialises the framework and builds the whole scene; ends the process with
// status -1 (255) when the framework cannot initialise. Needs the window's
// GL context current.
void InitScene();
// Tears the scene down; the process ends right after.
void DestroyScene();

// One simulation step on the GPU: explicit wave step, pack, two warm-started
// CG iterations, shift of the time levels, unpack. Brackets its own GPU work.
void SimulationStep();
