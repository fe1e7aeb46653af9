// Sums and inner products folded on the GPU: each pass adds every texel of the
// lower-left part of the region to its partner half a region away, ping-ponging
// between two pooled scratch textures, until a 2x2 region is left for the last
// pass into a 1x1 target.
#include <algorithm>

#include "gpu/Framework.h"
#include "gpu/ShaderProgram.h"
#include "linalg/GpuScalar.h"
#include "linalg/GpuVector.h"
#include "linalg/KernelSupport.h"

using kernel::AttachTarget;
using kernel::BindTexture;
using kernel::DrawSingleFragment;

namespace {

void DrawQuad(const ReductionQuad& quad) {
    glBegin(GL_QUADS);
    for (const ReductionQuad::Vertex& vertex : quad.vertices) {
        glTexCoord2f(vertex.s, vertex.t);
        glVertex2f(vertex.x, vertex.y);
    }
    glEnd();
}

void HalveX(ReductionQuad::Vertex& vertex) {
    vertex.x = (vertex.x + 1.0f) * 0.5f - 1.0f;
    vertex.s *= 0.5f;
}

void HalveY(ReductionQuad::Vertex& vertex) {
    vertex.y = (vertex.y + 1.0f) * 0.5f - 1.0f;
    vertex.t *= 0.5f;
}

enum { kLowerLeft, kLowerRight, kUpperRight, kUpperLeft };

}  // namespace

void GpuVector::AcquireReductionTextures() {
    tempSlot[0] = g_resourcePool->AcquireTexture(Desc(), tempTexture[0]);
    tempSlot[1] = g_resourcePool->AcquireTexture(Desc(), tempTexture[1]);
}

void GpuVector::ReleaseReductionTextures() {
    g_resourcePool->ReleaseTexture(tempSlot[0]);
    g_resourcePool->ReleaseTexture(tempSlot[1]);
}

// Folds this vector, or its element-wise product with other when given, down
// to the 2x2 region whose total the caller's last pass writes.
int GpuVector::BeginReduction(GpuVector* other) {
    AcquireReductionTextures();
    BindTexture(GL_TEXTURE0, texture);
    if (other != nullptr) BindTexture(GL_TEXTURE1, other->texture);
    return ReduceSquare(other != nullptr);
}

void GpuVector::EndReduction(GpuVector* other) {
    if (other != nullptr) BindTexture(GL_TEXTURE1, 0);
    BindTexture(GL_TEXTURE0, 0);
    ReleaseReductionTextures();
}

void GpuVector::ReduceIntoScalar(GpuVector* other, GpuScalar* result) {
    const int step = BeginReduction(other);
    ReduceInto(step, result->Texture());
    EndReduction(other);
}

// Combining channels is left to the layout's read-back.
float GpuVector::ReduceToHost(GpuVector* other) {
    TextureDesc single = Desc();
    single.width = single.height = 1;
    GLuint total = 0;
    const int totalSlot = g_resourcePool->AcquireTexture(single, total);
    const int step = BeginReduction(other);
    ReduceFinal(step, total, false);
    const float value = ReadReduced(total);
    EndReduction(other);
    g_resourcePool->ReleaseTexture(totalSlot);
    return value;
}

void GpuVector::Sum(GpuScalar* result) { ReduceIntoScalar(nullptr, result); }

void GpuVector::Dot(GpuVector* other, GpuScalar* result) { ReduceIntoScalar(other, result); }

float GpuVector::SumValue() { return ReduceToHost(nullptr); }

float GpuVector::DotValue(GpuVector* other) { return ReduceToHost(other); }

// The source of the next pass is what this pass rendered.
void GpuVector::FinishReductionPass(int* step) {
    *step *= 2;
    BindTexture(GL_TEXTURE0, tempTexture[pingIndex]);
    pingIndex = 1 - pingIndex;
}

void GpuVector::DrawReductionPass(ShaderProgram* program, GLint location, int step,
                                  const ReductionQuad& quad) {
    AttachTarget(tempTexture[pingIndex]);
    program->Bind();
    glUniform1f(location, static_cast<float>(1.0 / (2.0 * step)));
    DrawQuad(quad);
    program->Unbind();
}

// Below 4 texels on a side no square pass runs, and the square pass is the one
// that applies the product; apply it on its own first.
void GpuVector::MultiplyIntoScratch() {
    AttachTarget(tempTexture[pingIndex]);
    s_pElementProductProgram->Bind();
    DrawFullScreenPass();
    s_pElementProductProgram->Unbind();
    BindTexture(GL_TEXTURE0, tempTexture[pingIndex]);
    pingIndex = 1 - pingIndex;
}

int GpuVector::ReduceSquare(bool dot) {
    int step = 1;
    ReductionQuad quad;
    glViewport(0, 0, width, height);
    const bool squarePassRuns = 2 * step < width && 2 * step < height;
    if (dot && !squarePassRuns) {
        MultiplyIntoScratch();
        dot = false;
    }
    ShaderProgram* program = dot ? s_pReduceDotProgram : s_pReduceSumProgram;
    GLint location = dot ? s_iReduceDotLocation : s_iReduceSumLocation;
    while (2 * step < width && 2 * step < height) {
        HalveX(quad.vertices[kLowerRight]);
        HalveX(quad.vertices[kUpperRight]);
        HalveY(quad.vertices[kUpperRight]);
        HalveY(quad.vertices[kUpperLeft]);
        DrawReductionPass(program, location, step, quad);
        FinishReductionPass(&step);
        if (step == 2) {
            program = s_pReduceSumProgram;
            location = s_iReduceSumLocation;
        }
    }
    if (width != height) {
        ReduceX(&step, &quad);
        ReduceY(&step, &quad);
    }
    return step;
}

void GpuVector::ReduceX(int* step, ReductionQuad* quad) {
    while (2 * *step < width) {
        HalveX(quad->vertices[kLowerRight]);
        HalveX(quad->vertices[kUpperRight]);
        DrawReductionPass(s_pReduceSumXProgram, s_iReduceSumXLocation, *step, *quad);
        FinishReductionPass(step);
    }
}

void GpuVector::ReduceY(int* step, ReductionQuad* quad) {
    while (2 * *step < height) {
        HalveY(quad->vertices[kUpperRight]);
        HalveY(quad->vertices[kUpperLeft]);
        DrawReductionPass(s_pReduceSumYProgram, s_iReduceSumYLocation, *step, *quad);
        FinishReductionPass(step);
    }
}

// The offsets are one texel of the remaining 2x2 region whatever the aspect:
// x uses height/width and y width/height.
void GpuVector::ReduceFinal(int step, GLuint target, bool sumChannels) {
    const int xs = std::max(1, width / height);
    const int ys = std::max(1, height / width);
    const float offsetX = static_cast<float>(ys) / static_cast<float>(2 * step);
    const float offsetY = static_cast<float>(xs) / static_cast<float>(2 * step);
    glViewport(0, 0, 1, 1);
    AttachTarget(target);
    if (width > 1 && height > 1) {
        ShaderProgram* program = sumChannels ? s_pFinalTotalProgram : s_pFinalSumProgram;
        program->Bind();
        glUniform2f(sumChannels ? s_iFinalTotalLocation : s_iFinalSumLocation, offsetX, offsetY);
        DrawSingleFragment();
        program->Unbind();
        return;
    }
    s_pFinalPartialProgram->Bind();
    glUniform2f(s_iFinalPartialStepLocation, offsetX, offsetY);
    glUniform2f(s_iFinalPartialPartnerLocation, width > 1 ? 1.0f : 0.0f, height > 1 ? 1.0f : 0.0f);
    glUniform1f(s_iFinalPartialChannelsLocation, sumChannels ? 1.0f : 0.0f);
    DrawSingleFragment();
    s_pFinalPartialProgram->Unbind();
}
