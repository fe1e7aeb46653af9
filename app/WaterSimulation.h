#pragma once

class CgSolver;
class PackedVector;
class UnpackedVector;
class WaveSurface;

// Speed, time step and the two grid spacings, in the order every user of the
// wave's pre-factor takes them.
struct WaveParameters {
    float speed;
    float timeStep;
    float spacingX;
    float spacingY;
};

// The demo's water at any grid size: the objects a simulation frame steps,
// built, stepped and torn down in the one order the demo, its tests and its
// benchmarks share. Needs the framework initialised; destroy it before
// ShutdownFramework. The grid is even in both directions.
class WaterSimulation {
public:
    // The water starts flat and at rest.
    WaterSimulation(int width, int height, const WaveParameters& wave);
    // The solver (with the system matrix, solution and right-hand side), the
    // wave surface, the current and the last height field.
    ~WaterSimulation();
    WaterSimulation(const WaterSimulation&) = delete;
    WaterSimulation& operator=(const WaterSimulation&) = delete;

    // One time step on the GPU: the explicit wave step, its packing into the
    // right-hand side, `iterations` CG iterations warm-started from the last
    // solution, the shift of the time levels and the unpacking of the new one.
    void Step(int iterations);

    WaveSurface* wave;              // the explicit step: right-hand side, unpacked
    PackedVector* solution;         // the implicit solution, warm start of the next step
    PackedVector* rightHandSide;    // the explicit step, packed
    CgSolver* solver;               // owns the system matrix, solution and right-hand side
    UnpackedVector* last;           // time level n-1
    UnpackedVector* current;        // time level n
};
