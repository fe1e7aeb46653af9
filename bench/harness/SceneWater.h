#pragma once

#include <memory>
#include <vector>

#include "app/WaterSimulation.h"

// The demo's water as the measuring tools start it, at any grid size.
namespace perf {

// The scene's wave settings and CG iterations a frame.
constexpr WaveParameters kSceneWave{1.0f, 0.3f, 1.0f, 1.0f};
constexpr int kIterationsPerFrame = 2;

// Heights of order one everywhere (no value drifts towards the denormal
// range, which would slow the CPU peers for reasons of no interest here), a
// few drops on top, at rest (last equal to current) and warm-started
// (solution equal to current). Row-major, one float per grid point.
struct WaterState {
    std::vector<float> current, last, solution;
};
WaterState RipplingWater(int width, int height);

// The scene's water on a width x height grid in that state. Needs the
// framework initialised.
std::unique_ptr<WaterSimulation> RipplingSimulation(int width, int height);

}  // namespace perf
