#include "SceneWater.h"

#include <cmath>

#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace perf {

WaterState RipplingWater(int width, int height) {
    WaterState state;
    state.current.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    const double pi = 3.14159265358979323846;
    for (int j = 0; j < height; ++j)
        for (int i = 0; i < width; ++i)
            state.current[static_cast<size_t>(j) * width + i] = static_cast<float>(
                1.0 + 0.25 * std::sin(6.0 * pi * i / width) * std::cos(4.0 * pi * j / height));
    // Drops as the demo makes them: one texel set to 5.
    const int drops[][2] = {
        {width / 3, height / 4}, {width / 2, height / 2}, {3 * width / 4, 2 * height / 3}};
    for (const auto& drop : drops) state.current[static_cast<size_t>(drop[1]) * width + drop[0]] = 5.0f;
    state.last = state.current;
    state.solution = state.current;
    return state;
}

// Packed element order is the grid's row-major order, so the solution takes
// the same host vector as the unpacked fields.
std::unique_ptr<WaterSimulation> RipplingSimulation(int width, int height) {
    auto simulation = std::make_unique<WaterSimulation>(width, height, kSceneWave);
    const WaterState water = RipplingWater(width, height);
    simulation->current->SetData(water.current.data(), water.current.size());
    simulation->last->SetData(water.last.data(), water.last.size());
    simulation->solution->SetData(water.solution.data(), water.solution.size());
    return simulation;
}

}  // namespace perf
