#pragma once

#include "linalg/UnpackedVector.h"

// The demo's height-field vector. Step writes the explicit half of a wave
// time step, 2u - v + p*D(u) with D the five-point stencil and edges clamped,
// into its own texture: the right-hand side of the implicit half.
class WaveSurface : public UnpackedVector {
public:
    WaveSurface(int width, int height, int reserved);
    ~WaveSurface() override;

    void CreatePrograms() override;

    // p = speed^2 timeStep^2 / (2 spacingX spacingY). Call before the first Step.
    void SetParameters(float speed, float timeStep, float spacingX, float spacingY);
    // last and current: this vector's size and distinct from it. Needs the
    // framework framebuffer bound.
    void Step(UnpackedVector* last, UnpackedVector* current);

    float PreFactor() const { return m_fPreFac; }
    static int Instances() { return s_iWaveInstances; }

private:
    float m_fSpeed = 0.0f;
    float m_fTimeStep = 0.0f;
    float m_fSpacingX = 0.0f;
    float m_fSpacingY = 0.0f;
    float m_fPreFac = 0.0f;

    static ShaderProgram* s_pWaveProgram;
    static GLint s_iScalarLocation;
    static GLint s_iPreFacLocation;
    static int s_iWaveInstances;
};
