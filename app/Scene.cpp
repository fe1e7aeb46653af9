#include "app/Scene.h"

#include <cstdio>
#include <cstdlib>

#include "app/Interaction.h"
#include "app/SurfaceRenderer.h"
#include "app/WaterSimulation.h"
#include "app/Window.h"
#include "app/XServer.h"
#include "gpu/Framework.h"
#include "gpu/ShaderProgram.h"

int g_iGridWidth = 0;
int g_iGridHeight = 0;
float g_fWaveSpeed = 0.0f;
float g_fTimeStep = 0.0f;
float g_fSpacingX = 0.0f;
float g_fSpacingY = 0.0f;

WaveSurface* g_pWaveSurface = nullptr;
PackedVector* g_pSolution = nullptr;
PackedVector* g_pRightHandSide = nullptr;
CgSolver* g_pSolver = nullptr;
UnpackedVector* g_pHeightLast = nullptr;
UnpackedVector* g_pHeightCurrent = nullptr;
ShaderProgram* g_pLightingProgram = nullptr;
ShaderProgram* g_pDropProgram = nullptr;

namespace {

WaterSimulation* g_pWater = nullptr;  // the objects behind the six pointers above

// CG iterations per frame: warm-started from the last frame's solution, two
// keep the cost of a frame fixed and the waves smooth.
constexpr int kSolverIterationsPerFrame = 2;

template <typename T>
void DeleteAndClear(T*& object) {
    delete object;
    object = nullptr;
}

void SetSceneParameters() {
    g_iGridWidth = 512;
    g_iGridHeight = 512;
    g_fTimeStep = 0.3f;
    g_fWaveSpeed = 1.0f;
    g_fSpacingX = 1.0f;
    g_fSpacingY = 1.0f;
}

}  // namespace

void InitScene() {
    SetSceneParameters();
    if (!InitFramework()) {
        std::printf("Zentor failed to initalize.\n");
        EndProgram(-1);
    }
    g_pWater = new WaterSimulation(g_iGridWidth, g_iGridHeight, {g_fWaveSpeed, g_fTimeStep, g_fSpacingX, g_fSpacingY});
    g_pWaveSurface = g_pWater->wave;
    g_pSolution = g_pWater->solution;
    g_pRightHandSide = g_pWater->rightHandSide;
    g_pSolver = g_pWater->solver;
    g_pHeightLast = g_pWater->last;
    g_pHeightCurrent = g_pWater->current;
    g_pLightingProgram = CreateLightingProgram(g_iGridWidth, g_iGridHeight);
    g_pDropProgram = CreateDropProgram();
}

void DestroyScene() {
    // The solver, then the wave surface, the current and the last field; the
    // solver disposes of the system matrix, the solution and the right-hand side.
    DeleteAndClear(g_pWater);
    g_pWaveSurface = nullptr;
    g_pSolution = nullptr;
    g_pRightHandSide = nullptr;
    g_pSolver = nullptr;
    g_pHeightLast = nullptr;
    g_pHeightCurrent = nullptr;
    // Every vector has handed its texture back by now.
    ShutdownFramework();
    DeleteAndClear(g_pLightingProgram);
    DeleteAndClear(g_pDropProgram);
}

void SimulationStep() {
    BeginRenderToTexture();
    g_pWater->Step(kSolverIterationsPerFrame);
    EndRenderToTexture();
}
