#include "app/Scene.h"

#include <cstdio>
#include <cstdlib>

#include "app/SurfaceRenderer.h"
#include "app/WaveSurface.h"
#include "app/Window.h"
#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/ShaderProgram.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

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

const char* const kDropFragmentSource = R"(void main(void)
{
gl_FragColor = vec4(5.0);
}
)";

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

void BuildSimulation() {
    g_pWaveSurface = new WaveSurface(g_iGridWidth, g_iGridHeight, 0);
    g_pWaveSurface->SetParameters(g_fWaveSpeed, g_fTimeStep, g_fSpacingX, g_fSpacingY);
    BandMatrix* systemMatrix = new WaveSystemMatrix(g_iGridWidth, g_iGridHeight, g_fWaveSpeed, g_fTimeStep,
                                                    g_fSpacingX, g_fSpacingY);
    g_pSolution = new PackedVector(g_iGridWidth, g_iGridHeight, 0);
    g_pRightHandSide = new PackedVector(g_iGridWidth, g_iGridHeight, 0);
    g_pSolver = new CgSolver(systemMatrix, g_pSolution, g_pRightHandSide, 0);
    g_pHeightLast = new UnpackedVector(g_iGridWidth, g_iGridHeight, 0);
    g_pHeightCurrent = new UnpackedVector(g_iGridWidth, g_iGridHeight, 0);
}

// The water starts flat and at rest.
void ClearWater() {
    BeginRenderToTexture();
    g_pSolution->Fill(0.0f);
    g_pHeightLast->Fill(0.0f);
    g_pHeightCurrent->Fill(0.0f);
    EndRenderToTexture();
}

}  // namespace

void InitScene() {
    SetSceneParameters();
    if (!InitFramework()) {
        std::printf("Zentor failed to initalize.\n");
        std::exit(-1);
    }
    BuildSimulation();
    ClearWater();
    g_pLightingProgram = CreateLightingProgram(g_iGridWidth, g_iGridHeight);
    g_pDropProgram = new ShaderProgram(kPassThroughVertexSource, kDropFragmentSource, kShaderSourceText);
}

void DestroyScene() {
    // The solver disposes of the system matrix, the solution and the
    // right-hand side it was given.
    DeleteAndClear(g_pSolver);
    g_pSolution = nullptr;
    g_pRightHandSide = nullptr;
    DeleteAndClear(g_pWaveSurface);
    DeleteAndClear(g_pHeightCurrent);
    DeleteAndClear(g_pHeightLast);
    // Every vector has handed its texture back by now.
    ShutdownFramework();
    DeleteAndClear(g_pLightingProgram);
    DeleteAndClear(g_pDropProgram);
}

void SimulationStep() {
    BeginRenderToTexture();
    g_pWaveSurface->Step(g_pHeightLast, g_pHeightCurrent);
    g_pRightHandSide->PackFrom(g_pWaveSurface);
    g_pSolver->Solve(kSolverIterationsPerFrame);
    g_pHeightLast->CopyFrom(g_pHeightCurrent);
    g_pSolution->UnpackInto(g_pHeightCurrent);
    EndRenderToTexture();
}
