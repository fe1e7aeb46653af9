#include "GpuFrame.h"

#include <cmath>

#include "app/WaveSurface.h"
#include "app/Window.h"
#include "linalg/BandMatrix.h"
#include "linalg/CgSolver.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

namespace perf {

GpuFrame::GpuFrame(int width, int height) : width_(width), height_(height) {
    wave_ = new WaveSurface(width, height, 0);
    wave_->SetParameters(kWaveSpeed, kTimeStep, kSpacing, kSpacing);
    BandMatrix* matrix = new WaveSystemMatrix(width, height, kWaveSpeed, kTimeStep, kSpacing, kSpacing);
    solution_ = new PackedVector(width, height, 0);
    rightHandSide_ = new PackedVector(width, height, 0);
    solver_ = new CgSolver(matrix, solution_, rightHandSide_, 0);
    last_ = new UnpackedVector(width, height, 0);
    current_ = new UnpackedVector(width, height, 0);
    BeginRenderToTexture();
    solution_->Fill(0.0f);
    last_->Fill(0.0f);
    current_->Fill(0.0f);
    EndRenderToTexture();
}

GpuFrame::~GpuFrame() {
    delete solver_;
    delete wave_;
    delete current_;
    delete last_;
}

void GpuFrame::Step() {
    BeginRenderToTexture();
    wave_->Step(last_, current_);
    rightHandSide_->PackFrom(wave_);
    solver_->Solve(kIterationsPerFrame);
    last_->CopyFrom(current_);
    solution_->UnpackInto(current_);
    EndRenderToTexture();
}

void GpuFrame::SetState(const std::vector<float>& current, const std::vector<float>& last,
                        const std::vector<float>& solution) {
    current_->SetData(current.data());
    last_->SetData(last.data());
    solution_->SetData(solution.data());
}

std::vector<float> GpuFrame::Current() { return ReadUnpacked(current_); }
std::vector<float> GpuFrame::Last() { return ReadUnpacked(last_); }

std::vector<float> ReadUnpacked(UnpackedVector* vector) {
    std::vector<float> values(static_cast<size_t>(vector->Size()));
    BeginRenderToTexture();
    vector->GetData(values.data());
    EndRenderToTexture();
    return values;
}

std::vector<float> ReadPacked(PackedVector* vector) {
    std::vector<float> values(static_cast<size_t>(vector->Size()));
    BeginRenderToTexture();
    vector->GetData(values.data());
    EndRenderToTexture();
    return values;
}

}  // namespace perf

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
    const int drops[][2] = {{width / 3, height / 4}, {width / 2, height / 2}, {3 * width / 4, 2 * height / 3}};
    for (const auto& drop : drops) state.current[static_cast<size_t>(drop[1]) * width + drop[0]] = 5.0f;
    state.last = state.current;
    state.solution = state.current;
    return state;
}

}  // namespace perf
