#include "app/WaterSimulation.h"

#include "app/WaveSurface.h"
#include "gpu/Framework.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

// In the demo's order: the wave surface, the system matrix, the solution and
// right-hand side, the solver that takes all three, the two height fields.
WaterSimulation::WaterSimulation(int width, int height, const WaveParameters& parameters) {
    wave = new WaveSurface(width, height, 0);
    wave->SetParameters(parameters.speed, parameters.timeStep, parameters.spacingX, parameters.spacingY);
    BandMatrix* matrix = new WaveSystemMatrix(width, height, parameters.speed, parameters.timeStep,
                                              parameters.spacingX, parameters.spacingY);
    solution = new PackedVector(width, height, 0);
    rightHandSide = new PackedVector(width, height, 0);
    solver = new CgSolver(matrix, solution, rightHandSide, 0);
    last = new UnpackedVector(width, height, 0);
    current = new UnpackedVector(width, height, 0);
    FrameworkFramebufferScope framebuffer;
    solution->Fill(0.0f);
    last->Fill(0.0f);
    current->Fill(0.0f);
}

WaterSimulation::~WaterSimulation() {
    delete solver;
    delete wave;
    delete current;
    delete last;
}

void WaterSimulation::Step(int iterations) {
    FrameworkFramebufferScope framebuffer;
    wave->Step(last, current);
    rightHandSide->PackFrom(wave);
    solver->Solve(iterations);
    last->CopyFrom(current);
    solution->UnpackInto(current);
}
